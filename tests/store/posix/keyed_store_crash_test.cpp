// Real crashes on POSIX: the child is killed with SIGKILL at a random moment,
// hundreds of times (see keyed_crash_check.h for what is checked).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "platform/posix/posix_test_util.h"
#include "store/keyed_crash_check.h"
#include "support/scratch.h"

namespace velumtar {
namespace {

TEST(KeyedStoreCrash, KilledWritersLeaveACommittedState) {
    const std::string dir = test::scratchDirectory();
    auto runAndKill = [](const std::vector<std::string>& arguments, unsigned microseconds) {
        std::vector<std::string> argv{test::helperProgram("keyed_crash_child")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_t child = test::spawnProcess(argv);
        EXPECT_GT(child, 0);
        if (child <= 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
        ::kill(child, SIGKILL);
        int exitCode = test::waitForExit(child);
        EXPECT_TRUE(exitCode == -1 || exitCode == 0) << "child failed with " << exitCode;
        return exitCode == -1;
    };
    test::runCrashRounds(runAndKill, dir + "\\CRASH.DBI", test::hostPath(dir) + "/note",
                         test::crashRounds(300), 40000);
}

}  // namespace
}  // namespace velumtar
