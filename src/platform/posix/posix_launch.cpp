// Starting programs on POSIX, and the end of the process.
//
// The tool starts two Windows programs by name: "NOTEPAD <file>" to show a
// text file and "HH <file>" to show its help. They are mapped onto what a
// Linux user has.
//
// NOTEPAD: the file is a drive path or a name relative to the working
// directory; when it does not exist nothing is started (result 1).
//
// HH: the compiled help file has no viewer on Linux, so the tool's own help
// is shown instead, whatever file is named: the HTML pages on a desktop, the
// manual page velumtar(1) on a terminal. Both are looked for beside the
// program (a build tree: html/index.html, man/man1/velumtar.1) and then in
// the installed layout (../share/doc/velumtar/html/index.html,
// ../share/man/man1/velumtar.1.gz); when neither exists nothing is started.
//
//   Desktop session (DISPLAY or WAYLAND_DISPLAY set) with xdg-open on the
//   PATH: "xdg-open <host path of the file>", in a session of its own with
//   standard input and output on /dev/null; waited for only when the caller
//   asks.
//
//   Terminal without a desktop: a viewer started now would compete with the
//   ending tool for the terminal. The command is remembered instead and
//   exitProcess runs it as its very last act, after every file of the tool is
//   closed, and waits for it: the user gets the viewer right after the tool
//   and the shell prompt after the viewer. The process still ends with the
//   tool's exit code. NOTEPAD runs $VISUAL, else $EDITOR, else less, else
//   more on the file; HH runs "man -l" on the manual page (man itself honours
//   $MANPAGER and $PAGER). $VISUAL and $EDITOR may carry options ("vim -R");
//   they are run through /bin/sh as editors usually are. When the caller asks
//   to wait, the viewer runs at once in the foreground instead.
//
//   Neither a desktop nor a terminal: not started (result 1).
//
// Any other program name is looked up on the PATH and started with the rest
// of the command line as its arguments (split at blanks, double quotes
// group), execvp-style; result 1 when it is not found or cannot be executed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {
namespace {

// The viewer exitProcess hands the process over to; empty when none.
std::vector<std::string>& deferredViewer() {
    static std::vector<std::string> argv;
    return argv;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Splits a command line into words; double quotes group blanks and are removed.
std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (isBlank(c) && !quoted) {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

// The command line after its first word.
std::string_view afterFirstWord(std::string_view line) {
    std::size_t end = 0;
    bool quoted = false;
    while (end < line.size() && (quoted || !isBlank(line[end]))) {
        quoted ^= line[end] == '"';
        ++end;
    }
    return line.substr(end);
}

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// Whether execvp would find `program`.
bool onPath(const std::string& program) {
    if (program.empty()) {
        return false;
    }
    if (program.find('/') != std::string::npos) {
        return isExecutableFile(program);
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (;;) {
        std::size_t cut = dirs.find(':');
        std::string dir(dirs.substr(0, cut));
        if (isExecutableFile((dir.empty() ? std::string(".") : dir) + "/" + program)) {
            return true;
        }
        if (cut == std::string_view::npos) {
            return false;
        }
        dirs.remove_prefix(cut + 1);
    }
}

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

bool haveTerminal() {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// The editor command for `host`, from the first candidate that exists.
bool viewerCommand(const std::string& host, std::vector<std::string>& argv) {
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        if (!environmentSet(variable)) {
            continue;
        }
        const std::string command = std::getenv(variable);
        std::vector<std::string> words = splitWords(command);
        if (!words.empty() && onPath(words.front())) {
            argv = {"/bin/sh", "-c", command + " \"$1\"", "sh", host};
            return true;
        }
    }
    for (const char* pager : {"less", "more"}) {
        if (onPath(pager)) {
            argv = {pager, host};
            return true;
        }
    }
    return false;
}

std::vector<char*> argumentVector(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

// Starts `argv`. Detached (`quiet`): a session of its own and standard
// streams on /dev/null. Not waited for: started through an intermediate
// child that exits at once, so that no zombie is left behind. A pipe that
// closes on exec tells whether the program really started.
LaunchStage start(const std::vector<std::string>& argv, bool quiet, bool wait) {
    std::vector<char*> args = argumentVector(argv);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return LaunchStage::notStarted;
    }
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return LaunchStage::notStarted;
    }
    if (child == 0) {
        ::close(report[0]);
        if (!wait) {
            pid_t grandchild = ::fork();
            if (grandchild != 0) {
                ::_exit(grandchild < 0 ? 1 : 0);
            }
        }
        if (quiet) {
            ::setsid();
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
                if (null > 2) {
                    ::close(null);
                }
            }
        }
        ::execvp(args[0], args.data());
        int error = errno;
        ssize_t ignored = ::write(report[1], &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof error)) {
        return LaunchStage::notStarted;
    }
    if (!wait) {
        return LaunchStage::started;
    }
    if (waited < 0) {
        return LaunchStage::waitingFailed;
    }
    return WIFEXITED(status) ? LaunchStage::started : LaunchStage::exitCodeUnknown;
}

}  // namespace

std::string programDirectory() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.parent_path().string();
}

std::string helpFile(const std::string& programDir, bool manual) {
    if (programDir.empty()) {
        return {};
    }
    const char* candidates[] = {
        manual ? "/man/man1/velumtar.1" : "/html/index.html",
        manual ? "/../share/man/man1/velumtar.1.gz" : "/../share/doc/velumtar/html/index.html"};
    for (const char* candidate : candidates) {
        std::string path = programDir + candidate;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            std::error_code error;
            std::filesystem::path tidy = std::filesystem::canonical(path, error);
            return error ? path : tidy.string();
        }
    }
    return {};
}

LaunchStage launchCommand(PathResolver& resolver, std::string_view commandLine, bool wait) {
    return launchCommand(resolver, commandLine, wait, programDirectory());
}

LaunchStage launchCommand(PathResolver& resolver, std::string_view commandLine, bool wait,
                          const std::string& programDir) {
    std::string_view line = commandLine;
    while (!line.empty() && (isBlank(line.back()) || line.back() == '\0' || line.back() == 5)) {
        line.remove_suffix(1);
    }
    while (!line.empty() && isBlank(line.front())) {
        line.remove_prefix(1);
    }
    std::vector<std::string> words = splitWords(line);
    if (words.empty()) {
        return LaunchStage::notStarted;
    }
    std::string name = asciiUpper(words.front());
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".EXE") == 0) {
        name.resize(name.size() - 4);
    }
    const bool help = name == "HH";
    if (name != "NOTEPAD" && !help) {
        return onPath(words.front()) ? start(words, false, wait) : LaunchStage::notStarted;
    }

    const bool desktop =
        (environmentSet("DISPLAY") || environmentSet("WAYLAND_DISPLAY")) && onPath("xdg-open");
    std::string host;
    if (help) {
        host = helpFile(programDir, !desktop);
    } else {
        // The whole rest of the line names the file, as NOTEPAD takes it.
        std::string_view file = stripPathQuotes(afterFirstWord(line));
        struct stat st;
        if (file.empty() || !resolver.hostPath(file, host) || ::stat(host.c_str(), &st) != 0) {
            host.clear();
        }
    }
    if (host.empty()) {
        return LaunchStage::notStarted;
    }
    if (desktop) {
        return start({"xdg-open", host}, true, wait);
    }
    std::vector<std::string> viewer;
    if (!haveTerminal()) {
        return LaunchStage::notStarted;
    }
    if (help) {
        if (!onPath("man")) {
            return LaunchStage::notStarted;
        }
        viewer = {"man", "-l", host};
    } else if (!viewerCommand(host, viewer)) {
        return LaunchStage::notStarted;
    }
    if (wait) {
        return start(viewer, false, true);
    }
    deferredViewer() = std::move(viewer);
    return LaunchStage::started;
}

void endProcess(int code) {
    std::fflush(nullptr);
    const std::vector<std::string>& viewer = deferredViewer();
    if (!viewer.empty()) {
        // Everything of the tool is closed and its marker released: the
        // viewer runs in the foreground and the tool's process waits for it,
        // so that the shell's prompt comes after the viewer, and then ends
        // with the tool's own exit code, not the viewer's. An interrupt typed
        // into the viewer is the viewer's, not the tool's.
        struct sigaction ignore {
        }, oldInterrupt{}, oldQuit{};
        ignore.sa_handler = SIG_IGN;
        ::sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGINT, &ignore, &oldInterrupt);
        ::sigaction(SIGQUIT, &ignore, &oldQuit);
        std::vector<char*> args = argumentVector(viewer);
        pid_t child = ::fork();
        if (child == 0) {
            ::sigaction(SIGINT, &oldInterrupt, nullptr);
            ::sigaction(SIGQUIT, &oldQuit, nullptr);
            // Its standard streams go to the terminal even when the tool's
            // were redirected.
            int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
            if (tty >= 0) {
                for (int fd = 0; fd <= 2; ++fd) {
                    if (::isatty(fd) == 0) {
                        ::dup2(tty, fd);
                    }
                }
                if (tty > 2) {
                    ::close(tty);
                }
            }
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        if (child > 0) {
            int status;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    std::exit(code);
}

}  // namespace velumtar::posix
