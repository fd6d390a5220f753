// The help's page of messages shows each box the tool can show as an
// example. Every example must be a text the tool really shows: runs of the
// tool on the in-memory platform meet each situation the page describes, and
// each example must equal one of their boxes line by line (trailing blanks
// of the fixed-width fields aside).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "control/run_control.h"
#include "db/basic_database.h"
#include "files/file_facts.h"
#include "help_messages_page.h"
#include "support/fake_platform.h"
#include "ui/message_service.h"
#include "ui/unattended.h"

namespace velumtar {
namespace {

using Lines = std::vector<std::string>;

// A text split at its line breaks (CR LF in a box, LF in the page), each
// line without its trailing blanks.
Lines linesOf(std::string_view text) {
    Lines lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        std::string line(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            return lines;
        start = end + 1;
    }
}

std::string unescaped(std::string text) {
    const std::pair<std::string_view, std::string_view> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, character] : entities) {
        for (std::size_t at = text.find(entity); at != std::string::npos;
             at = text.find(entity, at + character.size()))
            text.replace(at, entity.size(), character);
    }
    return text;
}

// The contents of every <pre> block of the page.
std::vector<Lines> examples(std::string_view page) {
    std::vector<Lines> out;
    for (std::size_t at = page.find("<pre>"); at != std::string_view::npos;
         at = page.find("<pre>", at)) {
        at += 5;
        std::size_t end = page.find("</pre>", at);
        out.push_back(linesOf(unescaped(std::string(page.substr(at, end - at)))));
    }
    return out;
}

struct Runs {
    test::FakePlatform platform;

    void run(const std::string& arguments) {
        platform.arguments = arguments;
        RunControl control(platform);
        (void)control.run(0, nullptr);
    }
    // Leaves the run state of an interrupted build or compare.
    void interrupted(RunState state) {
        Unattended unattended{platform};
        MessageService messages{platform, unattended, "VELUMTAR"};
        RunStamp stamp{platform};
        BasicDatabase database{platform, messages, stamp};
        ASSERT_TRUE(database.open(KeyedOpenMode::update));
        ASSERT_TRUE(database.storeRunState(state));
        database.close();
    }
};

TEST(HelpExamples, EveryMessageExampleIsATextTheToolShows) {
    std::set<Lines> shown;
    Runs held;
    held.platform.putFile("C:\\VELUMTAR.AKT", "");
    held.platform.heldByOthers.insert("C:\\VELUMTAR.AKT");
    held.run("?");

    Runs r;
    test::FakePlatform& p = r.platform;
    for (const char* arguments : {"X", "?", "L"})
        r.run(arguments);
    for (const char* name : {"a", "b", "c", "d", "e"})
        p.addFile(std::string("C:\\App\\") + name + ".exe", 1);
    p.addFile("C:\\Some\\Directory\\program.exe", 1);
    r.run("N");
    r.run("C");
    // Three new files, one changed, two deleted, one directory locked:
    // answered OK, Yes to go on, No to the details.
    for (const char* name : {"n1", "n2", "n3"})
        p.addFile(std::string("C:\\App\\") + name + ".exe", 1);
    p.tree.at("C:\\APP\\C.EXE").info.size = 2;
    p.tree.erase("C:\\APP\\D.EXE");
    p.tree.erase("C:\\APP\\E.EXE");
    p.tree.at("C:\\SOME\\DIRECTORY").enterable = false;
    p.boxAnswers = {1, 6, 7};
    p.clock = LocalDateTime{"20261208", "09300000"};
    r.run("C");
    p.tree.at("C:\\SOME\\DIRECTORY").enterable = true;
    p.listingFaults["C:\\SOME\\DIRECTORY"] = test::ListingFault{};
    r.run("C");
    p.listingFaults.clear();
    p.tree.at("C:\\SOME\\DIRECTORY\\PROGRAM.EXE").infoStatus = PlatformStatus::accessDenied;
    r.run("C");
    p.tree.at("C:\\SOME\\DIRECTORY\\PROGRAM.EXE").infoStatus = PlatformStatus::ok;
    p.refused.insert("C:\\VELUMTAR.DBI");
    r.run("C");
    p.refused.clear();
    for (RunState state : {RunState::buildingAnew, RunState::comparing}) {
        r.interrupted(state);
        r.run("C");
    }

    for (const auto& box : held.platform.boxes)
        shown.insert(linesOf(box.text));
    for (const auto& box : p.boxes)
        shown.insert(linesOf(box.text));
    const std::vector<Lines> pageExamples = examples(test::kHelpMessagesPage);
    EXPECT_GE(pageExamples.size(), 14u);
    for (const Lines& example : pageExamples) {
        std::string text;
        for (const std::string& line : example)
            text += line + "\n";
        EXPECT_EQ(shown.count(example), 1u) << "not a text the tool shows:\n" << text;
    }
}

}  // namespace
}  // namespace velumtar
