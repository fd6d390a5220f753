#include "control/run_control.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace velumtar {
namespace {

using test::FakePlatform;

TEST(RunControl, CommandLetterIsTheFirstNonBlankCharacterUpperCased) {
    FakePlatform platform;
    EXPECT_EQ(RunControl::letterOf("compare", platform), "C");
    EXPECT_EQ(RunControl::letterOf("   n x", platform), "N");
    EXPECT_EQ(RunControl::letterOf("", platform), " ");
    EXPECT_EQ(RunControl::letterOf("   ", platform), " ");
    EXPECT_EQ(RunControl::letterOf("?", platform), "?");
    EXPECT_EQ(RunControl::letterOf("\xc3\xa9t\xc3\xa9", platform), "\xc3\xa9");
}

TEST(RunControl, StartDirectoryInPatternForm) {
    FakePlatform platform;
    EXPECT_EQ(RunControl::patternOf("C:", platform), std::string("C:\\*") + std::string(251, ' '));
    EXPECT_EQ(RunControl::patternOf("C:\\", platform).substr(0, 5), "C:\\* ");
    EXPECT_EQ(RunControl::patternOf("c:\\Tools\\x", platform).substr(0, 14), "C:\\TOOLS\\X\\*  ");
    EXPECT_EQ(RunControl::patternOf(std::string(300, 'a'), platform).size(), 255u);
}

struct ToolRun {
    FakePlatform platform;
    int code = -1;
    void start(const std::string& args) {
        platform.arguments = args;
        RunControl control(platform);
        code = control.run(0, nullptr);
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& b : platform.boxes)
            out.push_back(b.text);
        return out;
    }
};

TEST(RunControl, SecondInstanceIsRefusedAndLeavesTheMarker) {
    ToolRun run;
    run.platform.putFile("C:\\VELUMTAR.AKT", "");
    run.platform.heldByOthers.insert("C:\\VELUMTAR.AKT");
    run.start("?");
    EXPECT_EQ(run.code, 0);
    ASSERT_EQ(run.texts().size(), 1u);
    EXPECT_EQ(run.texts()[0], "The program already runs. You can't start it a 2nd or more times.");
    EXPECT_EQ(run.platform.boxes[0].type, 64u);
    EXPECT_TRUE(run.platform.has("C:\\VELUMTAR.AKT"));
}

TEST(RunControl, LeftoverMarkerIsTakenOverAndRemovedAtTheEnd) {
    ToolRun run;
    run.platform.putFile("C:\\VELUMTAR.AKT", "");
    run.start("x");
    EXPECT_EQ(run.code, 0);
    ASSERT_EQ(run.texts().size(), 2u);
    EXPECT_NE(run.texts()[0].find("'X'"), std::string::npos);
    EXPECT_EQ(run.texts()[1], "Would you like to open the help?");
    EXPECT_FALSE(run.platform.has("C:\\VELUMTAR.AKT"));
    EXPECT_TRUE(run.platform.launches.empty());
}

TEST(RunControl, UnreadableStartDirectoryEndsTheRun) {
    ToolRun run;
    run.platform.workingDirectoryReadable = false;
    run.start("L");
    ASSERT_EQ(run.texts().size(), 1u);
    EXPECT_NE(run.texts()[0].find("Path of the software-start"), std::string::npos);
    EXPECT_EQ(run.platform.boxes[0].type, 16u);
    EXPECT_FALSE(run.platform.has("C:\\VELUMTAR.AKT"));
}

TEST(RunControl, HelpPromptLaunchesTheViewerOnYes) {
    ToolRun run;
    run.platform.boxAnswers = {1, 6};
    run.start("?");
    ASSERT_EQ(run.platform.launches.size(), 1u);
    EXPECT_EQ(run.platform.launches[0].commandLine, "HH vlmhelpx.chm");
    EXPECT_FALSE(run.platform.launches[0].wait);
}

TEST(RunControl, ShowLogOpensTheLogOrSaysThereIsNone) {
    ToolRun none;
    none.start("l");
    ASSERT_EQ(none.texts().size(), 1u);
    EXPECT_EQ(none.texts()[0], "No Log-File found.");
    EXPECT_TRUE(none.platform.launches.empty());

    ToolRun some;
    some.platform.putFile("C:\\VELUMTAR.LOG", "x\r\n");
    some.start("L");
    EXPECT_TRUE(some.texts().empty());
    ASSERT_EQ(some.platform.launches.size(), 1u);
    EXPECT_EQ(some.platform.launches[0].commandLine, "NOTEPAD C:\\VELUMTAR.LOG");
    EXPECT_FALSE(some.platform.has("C:\\VELUMTAR.AKT"));
}

TEST(RunControl, EndOfRunRemovesTheWorkFile) {
    ToolRun run;
    run.platform.putFile("C:\\VELUCMPT.TMP", "left over");
    run.start("z");
    EXPECT_FALSE(run.platform.has("C:\\VELUCMPT.TMP"));
}

}  // namespace
}  // namespace velumtar
