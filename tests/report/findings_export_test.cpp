#include "report/findings_export.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/file_contents.h"
#include "files/file_facts.h"
#include "report/findings_text.h"
#include "support/fake_platform.h"
#include "ui/message_service.h"
#include "ui/messages.h"
#include "ui/unattended.h"

namespace velumtar {
namespace {

TEST(FindingsText, JsonTextEscapesEveryByteANameMayHold) {
    struct Case {
        std::string text, json;
        bool exact;
    };
    const std::vector<Case> cases = {
        {"C:\\APP\\A.EXE", "\"C:\\\\APP\\\\A.EXE\"", true},
        {"\"q\"", "\"\\\"q\\\"\"", true},
        {"a\tb\r\nc", "\"a\\tb\\r\\nc\"", true},
        {std::string("x\0y\x1f\x7f", 5), "\"x\\u0000y\\u001f\\u007f\"", true},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\"", true},
        {"lat\xe9.exe", "\"lat\\ufffd.exe\"", false},
        {"cut\xe2\x82", "\"cut\\ufffd\\ufffd\"", false},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\"", false},  // a surrogate
    };
    for (const Case& c : cases) {
        bool exact = true;
        EXPECT_EQ(findings::jsonText(c.text, &exact), c.json) << c.text;
        EXPECT_EQ(exact, c.exact) << c.text;
    }
}

TEST(FindingsText, EachKindHasItsRecordAndItsEvent) {
    const FileFacts facts = factsFrom(
        {.size = 1234, .year = 2025, .month = 6, .day = 30, .hour = 8, .minute = 15, .second = 42},
        attr::archive | attr::hidden, "    ");
    const std::string json =
        "{\"written\": \"2025-06-30T08:15:42\", \"size\": 1234, \"attributes\": \"AH\"}";
    // Where the database keeps fingerprints of the contents, the facts tell it.
    FileFacts printed = facts;
    setFingerprint(printed, "ABCDEFGHIJKLMNOPQRSTUVWXYZ+/");
    const std::string printedJson =
        json.substr(0, json.size() - 1) + ", \"fingerprint\": \"ABCDEFGHIJKLMNOPQRSTUVWXYZ+/\"}";
    struct Case {
        Finding finding;
        std::string record;
        unsigned id;
        std::string text;
    };
    const std::string head = "{\"record\": \"finding\", \"kind\": ";
    const std::vector<Case> cases = {
        {{FindingCounters::kNew, "C:\\A.EXE", false, false, &facts},
         head +
             "\"New\", \"entry\": \"file\", \"path\": \"C:\\\\A.EXE\", \"truncated\": false, "
             "\"new\": " +
             json + "}\n",
         1001,
         "New: C:\\A.EXE (written 2025-06-30 08:15:42, 1234 bytes, attributes AH)"},
        {{FindingCounters::kChanged, "C:\\B.DLL", true, false, &printed},
         head +
             "\"Changed\", \"entry\": \"file\", \"path\": \"C:\\\\B.DLL\", \"truncated\": "
             "true, \"new\": " +
             printedJson + "}\n",
         1002,
         "Changed: C:\\B.DLL... (now written 2025-06-30 08:15:42, 1234 bytes, attributes AH)"},
        {{FindingCounters::kDeleted, "C:\\\xff.SYS", false, false, &facts},
         head +
             "\"Deleted\", \"entry\": \"file\", \"path\": \"C:\\\\\\ufffd.SYS\", \"path_hex\": "
             "\"433a5cff2e535953\", \"truncated\": false, \"old\": " +
             json + "}\n",
         1003,
         "Deleted: C:\\\xff.SYS (last recorded as written 2025-06-30 08:15:42, 1234 bytes, "
         "attributes AH)"},
        {{FindingCounters::kLocked, "C:\\LOCKED", false, true, nullptr},
         head + "\"LOCKED\", \"entry\": \"directory\", \"path\": \"C:\\\\LOCKED\", \"truncated\": "
                "false}\n",
         1004,
         "LOCKED directory, not examined: C:\\LOCKED"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(findings::findingRecord(c.finding), c.record);
        const SystemEvent event = findings::findingEvent(c.finding);
        EXPECT_EQ(event.id, c.id);
        EXPECT_EQ(event.level, EventLevel::warning);
        EXPECT_EQ(event.text, c.text);
    }
    FindingCounters counters;
    counters.value = {1, 2, 0, 3};
    const SystemEvent run = findings::runEvent("C", false, counters, 4);
    EXPECT_EQ(run.text,
              "Compare did not complete: 1 New, 2 Changed, 0 Deleted, 3 LOCKED, 4 errors shown.");
    EXPECT_EQ(run.level, EventLevel::error);
    EXPECT_EQ(findings::runEvent("N", true, FindingCounters{}, 0).level, EventLevel::information);
}

struct ExportFixture {
    test::FakePlatform platform;
    Unattended unattended{platform};
    MessageService messages{platform, unattended, "VELUMTAR"};
    FindingsExport out{platform, messages, "VELUMTAR 4.01.03 File-Comparing-Tool"};
    FindingCounters counters;

    ExportFixture() {
        platform.directories.insert("C:\\OUT");
        platform.clock = {"20261207", "10300000"};
    }
    std::vector<std::string> lines(const std::string& path) const {
        std::vector<std::string> out;
        const std::string text = platform.contentOf(path);
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = text.find('\n', at);
            out.push_back(text.substr(at, end - at));
            at = end == std::string::npos ? text.size() : end + 1;
        }
        return out;
    }
};

const std::string kStart =
    "{\"record\": \"start\", \"schema\": 1, \"program\": \"VELUMTAR 4.01.03 File-Comparing-Tool\", "
    "\"command\": \"C\", \"start\": \"2026-12-07T10:30:00.00\"}";

TEST(FindingsExport, ALeftoverPartIsContinuedFromItsLastWholeRecordAndPutInPlace) {
    ExportFixture f;
    f.platform.env["VELUMTAR_FINDINGS"] = "C:\\OUT\\F.JSONL";
    f.platform.env["VELUMTAR_SYSTEM_LOG"] = "on";
    f.platform.systemLogFails = true;
    f.platform.putFile("C:\\OUT\\F.JSONL.PART", "{\"record\": \"killed\"}\n{\"record\": \"fin");
    f.out.begin("C");
    f.out.finish("C", true, f.counters);
    EXPECT_FALSE(f.platform.has("C:\\OUT\\F.JSONL.PART"));
    const std::vector<std::string> lines = f.lines("C:\\OUT\\F.JSONL");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{\"record\": \"killed\"}");
    EXPECT_EQ(lines[1], kStart);
    // The log that took nothing changed nothing but its count.
    EXPECT_EQ(
        lines[2],
        "{\"record\": \"run\", \"command\": \"C\", \"ran\": \"C\", \"start\": "
        "\"2026-12-07T10:30:00.00\", \"end\": \"2026-12-07T10:30:00.00\", \"completed\": "
        "true, \"counters\": {\"New\": 0, \"Changed\": 0, \"Deleted\": 0, \"LOCKED\": 0}, "
        "\"findings\": 0, \"errors_shown\": 0, \"system_log\": {\"asked\": true, \"sent\": 0, "
        "\"failed\": 1}}");
    EXPECT_FALSE(f.out.failed());
    EXPECT_TRUE(f.platform.boxes.empty());
}

TEST(FindingsExport, NothingAskedDoesNothingAndAToolsOwnFileIsRefused) {
    {
        ExportFixture f;
        f.out.begin("C");
        f.out.finish("C", true, f.counters);
        EXPECT_EQ(f.platform.systemLogsOpened, 0);
        EXPECT_TRUE(f.platform.syncs.empty());
    }
    ExportFixture f;
    f.platform.env["VELUMTAR_FINDINGS"] = "c:\\velumtar.dbi";
    f.platform.putFile("C:\\VELUMTAR.DBI", "database");
    f.out.begin("C");
    f.out.finish("C", true, f.counters);
    EXPECT_TRUE(f.out.failed());
    EXPECT_EQ(f.platform.boxes.size(), 1u);
    EXPECT_EQ(f.platform.boxes[0].text, messages::fileError("OPEN", "c:\\velumtar.dbi"));
    EXPECT_EQ(f.platform.contentOf("C:\\VELUMTAR.DBI"), "database");
    EXPECT_FALSE(f.platform.has("C:\\VELUMTAR.DBI.PART"));
}

}  // namespace
}  // namespace velumtar
