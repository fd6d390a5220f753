// Real crashes on Windows: the child is ended with TerminateProcess at a
// random moment, hundreds of times (see keyed_crash_check.h for what is
// checked).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "store/keyed_crash_check.h"
#include "support/scratch.h"
#include "platform/win32/win32_test_util.h"
#include "store/keyed_crash_check.h"

namespace velumtar {
namespace {

TEST(KeyedStoreCrash, TerminatedWritersLeaveACommittedState) {
    const std::string dir = test::scratchDirectory();
    auto runAndKill = [](const std::vector<std::string>& arguments, unsigned microseconds) {
        std::wstring commandLine =
            test::win32::inQuotes(test::win32::binaryDirectory() + L"\\keyed_crash_child.exe");
        for (const std::string& argument : arguments) {
            commandLine += L' ';
            commandLine += test::win32::inQuotes(test::win32::wide(argument));
        }
        test::win32::ChildProcess child;
        bool started = child.start(commandLine);
        EXPECT_TRUE(started);
        if (!started) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
        bool killed = child.running();
        EXPECT_TRUE(child.kill() || !killed);
        long exitCode = child.wait(10000);
        EXPECT_TRUE(exitCode == 99 || exitCode == 0) << "child failed with " << exitCode;
        return killed && exitCode == 99;
    };
    // Process start under Wine takes tens of milliseconds: the delays are
    // longer than on POSIX.
    test::runCrashRounds(runAndKill, dir + "\\CRASH.DBI", dir + "\\note", test::crashRounds(200),
                         150000);
}

}  // namespace
}  // namespace velumtar
