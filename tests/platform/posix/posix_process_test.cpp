// Message boxes on the terminal, program starts with the NOTEPAD and HH
// mapping, and the end of the process.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_test_util.h"
#include "support/scratch.h"

namespace velumtar::test {
namespace {

Platform& platform() {
    return systemPlatform();
}

// Runs `body` in a child whose controlling terminal is a new pseudo-terminal,
// types `input` on it and collects what the child shows. Returns the child's
// exit code (the body's result), or -1.
int onTerminal(const std::function<int()>& body, const std::string& input, std::string& shown) {
    int master = -1;
    pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        ::_exit(body());
    }
    if (!input.empty()) {
        EXPECT_EQ(::write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    }
    shown.clear();
    for (;;) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 20000) <= 0) {
            ::kill(child, SIGKILL);
            break;
        }
        char buffer[512];
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EIO once the child and its terminal are gone
        }
        shown.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    return waitForExit(child);
}

// Runs `body` in a child without a controlling terminal.
int withoutTerminal(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        ::setsid();
        ::_exit(body());
    }
    return waitForExit(child);
}

// Sets environment variables for one test and restores them afterwards.
class Environment {
  public:
    ~Environment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A shell script that records its arguments and its standard input in `log`
// and exits with `code`.
std::string fakeProgram(const std::string& path, const std::string& log, int code) {
    writeHostFile(path, "#!/bin/sh\nprintf '%s\\n' \"$*\" \"$(readlink /proc/$$/fd/0)\" > '" + log +
                            ".part'\nmv '" + log + ".part' '" + log + "'\nexit " +
                            std::to_string(code) + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(PosixMessageBox, AnswersFromTheTerminal) {
    std::string shown;
    // The answer comes back as the button's identifier (Yes 6, No 7, ...).
    auto box = [](BoxType type) {
        return [type] {
            return static_cast<int>(
                platform().messageBox("line one   \r\nline two\x1b[2J", "VELUMTAR       ", type));
        };
    };
    using Buttons = BoxType::Buttons;
    using Icon = BoxType::Icon;
    const BoxType question{Buttons::yesNo, Icon::information, 1};
    const BoxType questionError{Buttons::yesNo, Icon::error};
    const BoxType retryCancel{Buttons::retryCancel, Icon::information};
    const BoxType retryCancelError{Buttons::retryCancel, Icon::error, 1};
    const BoxType information{Buttons::ok, Icon::information};
    EXPECT_EQ(onTerminal(box(question), "\n", shown), 7) << shown;
    EXPECT_NE(shown.find("== VELUMTAR =="), std::string::npos) << shown;
    EXPECT_NE(shown.find("Information:"), std::string::npos) << shown;
    EXPECT_NE(shown.find("line one\r\nline two?[2J"), std::string::npos) << shown;
    EXPECT_NE(shown.find("[Y]es"), std::string::npos) << shown;
    EXPECT_NE(shown.find("<[N]o>"), std::string::npos) << shown;

    EXPECT_EQ(onTerminal(box(question), "Y\n", shown), 6) << shown;
    EXPECT_EQ(onTerminal(box(questionError), "\n", shown), 6) << shown;
    EXPECT_NE(shown.find("Error:"), std::string::npos) << shown;
    EXPECT_EQ(onTerminal(box(questionError), " n\n", shown), 7) << shown;
    EXPECT_EQ(onTerminal(box(retryCancel), "x\nr\n", shown), 4) << shown;
    EXPECT_EQ(onTerminal(box(retryCancelError), "\n", shown), 2) << shown;
    EXPECT_EQ(onTerminal(box(information), "\n", shown), 1) << shown;
    EXPECT_EQ(onTerminal(box(BoxType{}), "o\n", shown), 1) << shown;
    EXPECT_EQ(onTerminal(box(question), "\x04", shown), 7) << "end of input takes the default";
    EXPECT_EQ(withoutTerminal(box(question)), 0);
}

TEST(PosixLaunch, OtherProgramsStartFromThePath) {
    const std::string host = hostPath(scratchDirectory());
    EXPECT_EQ(platform().startProcess("true", 1, true), LaunchStage::started);
    EXPECT_EQ(platform().startProcess("sh -c \"exit 3\"", 1, true), LaunchStage::started);
    EXPECT_EQ(platform().startProcess("sh -c \"kill -9 $$\"", 1, true),
              LaunchStage::exitCodeUnknown);
    EXPECT_EQ(platform().startProcess("velumtar-no-such-program", 1, false),
              LaunchStage::notStarted);
    EXPECT_EQ(platform().startProcess("   ", 1, false), LaunchStage::notStarted);

    EXPECT_EQ(platform().startProcess("sh -c \"echo started > '" + host + "/out'\"", 1, false),
              LaunchStage::started);
    EXPECT_TRUE(waitForFile(host + "/out"));
    int status;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a started program leaves no child behind";
    EXPECT_EQ(errno, ECHILD);
}

TEST(PosixLaunch, ViewerAndHelpOpenWithTheDesktop) {
    const std::string dir = scratchDirectory();
    const std::string host = std::filesystem::canonical(hostPath(dir)).string();
    writeHostFile(host + "/Report.txt", "report");
    writeHostFile(host + "/bin/html/index.html", "help");
    std::filesystem::create_directories(host + "/bin");
    fakeProgram(host + "/bin/xdg-open", host + "/opened", 0);
    Environment env;
    env.set("DISPLAY", ":0");
    env.set("PATH", host + "/bin:" + std::getenv("PATH"));
    WorkingDirectoryGuard guard;

    EXPECT_EQ(platform().startProcess("NOTEPAD " + dir + "\\REPORT.TXT", 1, false),
              LaunchStage::started);
    ASSERT_TRUE(waitForFile(host + "/opened"));
    EXPECT_EQ(readHostFile(host + "/opened"), host + "/Report.txt\n/dev/null\n");
    std::filesystem::remove(host + "/opened");

    // The help shows the tool's own pages, whatever file is named.
    ASSERT_TRUE(platform().changeDirectory(dir));
    EXPECT_EQ(
        posix::launchCommand(posix::processResolver(), "HH vlmhelpx.chm", true, host + "/bin"),
        LaunchStage::started);
    EXPECT_EQ(readHostFile(host + "/opened"), host + "/bin/html/index.html\n/dev/null\n");
    EXPECT_EQ(posix::launchCommand(posix::processResolver(), "HH vlmhelpx.chm", true, host),
              LaunchStage::notStarted)
        << "no pages beside the program";

    EXPECT_EQ(platform().startProcess("NOTEPAD " + dir + "\\MISSING.TXT", 1, false),
              LaunchStage::notStarted);
    EXPECT_EQ(platform().startProcess("NOTEPAD", 1, false), LaunchStage::notStarted);
}

TEST(PosixLaunch, ViewerOnATerminalRunsAfterTheTool) {
    const std::string dir = scratchDirectory();
    const std::string host = std::filesystem::canonical(hostPath(dir)).string();
    writeHostFile(host + "/Tool.log", "log");
    writeHostFile(host + "/share/man/man1/velumtar.1.gz", "compressed");
    const std::string editor = fakeProgram(host + "/editor", host + "/edited", 42);
    fakeProgram(host + "/bin/man", host + "/edited", 42);
    Environment env;
    env.set("DISPLAY", std::nullopt);
    env.set("WAYLAND_DISPLAY", std::nullopt);

    auto runTool = [&](const std::string& command) {
        return [&, command]() -> int {
            if (posix::launchCommand(posix::processResolver(), command, false, host + "/bin") !=
                LaunchStage::started) {
                return 20;
            }
            if (std::filesystem::exists(host + "/edited")) {
                return 21;  // the viewer must not run before the tool ends
            }
            platform().exitProcess(0);
            return 22;  // not reached
        };
    };
    std::string shown;
    env.set("VISUAL", editor + " --read-only");
    env.set("EDITOR", "/bin/false");
    // The viewer ends with 42; the tool's process still ends with its own 0,
    // once the viewer is done.
    EXPECT_EQ(onTerminal(runTool("NOTEPAD " + dir + "\\TOOL.LOG"), "", shown), 0) << shown;
    const std::string edited = readHostFile(host + "/edited");
    EXPECT_EQ(edited.substr(0, edited.find('\n')), "--read-only " + host + "/Tool.log");
    EXPECT_NE(edited.find("/dev/pts/"), std::string::npos) << "the viewer gets the terminal";
    std::filesystem::remove(host + "/edited");

    env.set("VISUAL", host + "/not-there");
    env.set("EDITOR", editor);
    EXPECT_EQ(onTerminal(runTool("notepad.exe \"" + dir + "\\TOOL.LOG\""), "", shown), 0);
    EXPECT_EQ(readHostFile(host + "/edited").substr(0, host.size() + 10), host + "/Tool.log\n");
    std::filesystem::remove(host + "/edited");

    // The help on a terminal is the manual page, from the installed layout.
    env.set("PATH", host + "/bin:" + std::getenv("PATH"));
    EXPECT_EQ(onTerminal(runTool("HH vlmhelpx.chm"), "", shown), 0);
    const std::string manual = readHostFile(host + "/edited");
    EXPECT_EQ(manual.substr(0, manual.find('\n')), "-l " + host + "/share/man/man1/velumtar.1.gz");

    // Neither desktop nor terminal: nothing to show it on.
    EXPECT_EQ(withoutTerminal([&] {
                  return static_cast<int>(
                      platform().startProcess("NOTEPAD " + dir + "\\TOOL.LOG", 1, false));
              }),
              static_cast<int>(LaunchStage::notStarted));
    EXPECT_EQ(withoutTerminal([]() -> int {
                  platform().exitProcess(5);
                  return 99;
              }),
              5);
}

TEST(PosixProcess, ArgumentsAndEnvironment) {
    char program[] = "velumtar";
    char first[] = "c";
    char second[] = "more words";
    char* argv[] = {program, first, second, nullptr};
    EXPECT_EQ(platform().argumentText(3, argv), "c more words");
    EXPECT_EQ(platform().argumentText(1, argv), "");

    Environment env;
    env.set("VELUMTAR_TEST_VALUE", "a b");
    EXPECT_EQ(platform().environment("VELUMTAR_TEST_VALUE"), "a b");
    env.set("VELUMTAR_TEST_VALUE", std::nullopt);
    EXPECT_EQ(platform().environment("VELUMTAR_TEST_VALUE"), std::nullopt);
}

}  // namespace
}  // namespace velumtar::test
