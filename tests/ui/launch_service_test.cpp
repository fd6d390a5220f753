#include "ui/launch_service.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"
#include "ui/unattended.h"

namespace velumtar {
namespace {

TEST(LaunchService, TerminatesAtTheLastText) {
    std::string buffer = "NOTEPAD C:\\VELUMTAR.TXT";
    buffer.resize(255, ' ');
    EXPECT_EQ(LaunchService::terminateAtLastText(buffer), "NOTEPAD C:\\VELUMTAR.TXT");
    EXPECT_EQ(LaunchService::terminateAtLastText(std::string(255, ' ')), "");
    std::string marked = "HH x\x05   ";
    EXPECT_EQ(LaunchService::terminateAtLastText(marked), "HH x");
    EXPECT_EQ(LaunchService::terminateAtLastText(std::string(255, 'a')).size(), 255u);
}

TEST(LaunchService, StartsWithoutWaiting) {
    test::FakePlatform platform;
    Unattended unattended(platform);
    LaunchService launcher(platform, unattended);
    EXPECT_EQ(launcher.launchWithoutWaiting(kShowReportCommand), LaunchService::Result::started);
    ASSERT_EQ(platform.launches.size(), 1u);
    EXPECT_EQ(platform.launches[0].commandLine, "NOTEPAD C:\\VELUMTAR.TXT");
    EXPECT_EQ(platform.launches[0].show, 1);
    EXPECT_FALSE(platform.launches[0].wait);
}

TEST(LaunchService, ReportsTheFailureStage) {
    test::FakePlatform platform;
    platform.launchResult = LaunchStage::notStarted;
    Unattended unattended(platform);
    LaunchService launcher(platform, unattended);
    launcher.setCommandLine("HH vlmhelpx.chm");
    EXPECT_EQ(
        launcher.launchProgram(LaunchService::Window::hidden, LaunchService::Wait::untilEnded),
        LaunchService::Result::notStarted);
    EXPECT_EQ(platform.launches[0].show, 0);
    EXPECT_TRUE(platform.launches[0].wait);
    platform.launchResult = LaunchStage::exitCodeUnknown;
    EXPECT_EQ(launcher.launchProgram(LaunchService::Window::normal, LaunchService::Wait::no),
              LaunchService::Result::exitCodeUnknown);
}

TEST(LaunchService, UnattendedModeRecordsInsteadOfStarting) {
    test::FakePlatform platform;
    platform.env["VELUMTAR_TRANSCRIPT"] = "C:\\T.JSONL";
    Unattended unattended(platform);
    LaunchService launcher(platform, unattended);
    launcher.launchWithoutWaiting(kShowLogCommand);
    EXPECT_TRUE(platform.launches.empty());
    EXPECT_EQ(platform.contentOf("C:\\T.JSONL"),
              "{\"launch\": \"NOTEPAD C:\\\\VELUMTAR.LOG\", \"show\": 1, \"wait\": false}\n");
}

}  // namespace
}  // namespace velumtar
