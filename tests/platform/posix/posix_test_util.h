// Helpers for the POSIX platform tests: host files, the working directory and
// second processes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_internal.h"

extern char** environ;

namespace velumtar::test {

inline void writeHostFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Restores the working directory when the test ends.
class WorkingDirectoryGuard {
  public:
    // The platform remembers the working directory it set: a test that sets
    // it by other means tells it so.
    WorkingDirectoryGuard() : saved_(std::filesystem::current_path()) {
        posix::processResolver().forgetWorkingDirectory();
    }
    ~WorkingDirectoryGuard() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
        posix::processResolver().forgetWorkingDirectory();
    }

  private:
    std::filesystem::path saved_;
};

// A helper program built next to the test binary.
inline std::string helperProgram(const std::string& name) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

// Starts `argv` as a child process, its standard output going to the host
// file `output` when one is named; returns its pid or -1.
inline pid_t spawnProcess(const std::vector<std::string>& argv, const std::string& output = {}) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return failed != 0 ? -1 : pid;
}

// Waits until `path` exists, for at most `seconds`.
inline bool waitForFile(const std::string& path, int seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits for a child and returns its exit code, or -1 when it did not exit.
inline int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velumtar::test
