// Scratch directories for the POSIX test run. Drive C: is mapped onto a fresh
// temporary host directory: the variable that names it is set before main()
// runs, so the platform, which reads it at first use, never sees the user's
// real drive. The tree is removed when the test process ends.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "support/scratch.h"

namespace velumtar::test {
namespace {

class ScratchDrive {
  public:
    ScratchDrive() : owner_(::getpid()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velumtar-drive-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            root_ = pattern;
            ::setenv("VELUMTAR_DRIVE_C", root_.c_str(), 1);
        }
    }
    ~ScratchDrive() {
        // Child processes that a test forks must not remove the parent's tree.
        if (!root_.empty() && ::getpid() == owner_) {
            std::error_code ignored;
            std::filesystem::remove_all(root_, ignored);
        }
    }
    ScratchDrive(const ScratchDrive&) = delete;
    ScratchDrive& operator=(const ScratchDrive&) = delete;

    const std::string& root() const { return root_; }

  private:
    std::string root_;
    pid_t owner_;
};

ScratchDrive& drive() {
    static ScratchDrive instance;
    return instance;
}

[[maybe_unused]] const bool driveReady = !drive().root().empty();

}  // namespace

std::string scratchDirectory() {
    static int counter = 0;
    std::string name = "Scratch" + std::to_string(++counter);
    std::error_code ignored;
    std::filesystem::create_directory(drive().root() + "/" + name, ignored);
    return "C:\\" + name;
}

std::string hostPath(const std::string& drivePath) {
    std::string rest = drivePath;
    if (rest.size() >= 2 && rest[1] == ':') {
        rest.erase(0, 2);
    }
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (!rest.empty() && rest.front() != '/') {
        rest.insert(rest.begin(), '/');
    }
    return drive().root() + rest;
}

bool makeDirectoryLink(const std::string& link, const std::string& target) {
    std::error_code failed;
    std::filesystem::create_directory_symlink(hostPath(target), hostPath(link), failed);
    return !failed;
}

}  // namespace velumtar::test
