// File services of the POSIX layer: open modes and statuses, removal, renaming
// and the instance marker's lock as a second process sees it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/posix_test_util.h"
#include "support/scratch.h"

namespace velumtar::test {
namespace {

Platform& platform() {
    return systemPlatform();
}

std::string readAll(File& file) {
    std::uint64_t size = 0;
    EXPECT_EQ(file.size(size), PlatformStatus::ok);
    std::string data(size, '\0');
    std::size_t got = 0;
    EXPECT_EQ(file.read(0, data.data(), data.size(), got), PlatformStatus::ok);
    data.resize(got);
    return data;
}

TEST(PosixFiles, FailuresMapToStatuses) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    std::filesystem::create_directories(host + "/Sub");
    writeHostFile(host + "/plain.txt", "x");
    PlatformStatus status;

    EXPECT_EQ(platform().openFile(dir + "\\SUB", OpenMode::read, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::accessDenied);
    EXPECT_EQ(platform().openFile(dir + "\\MISSING\\X.DBI", OpenMode::readWrite, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
    EXPECT_EQ(platform().openFile(dir + "\\PLAIN.TXT\\X.DBI", OpenMode::readWrite, status),
              nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
    EXPECT_EQ(platform().openFile("Q:\\X.DBI", OpenMode::readWrite, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);

    ::mkfifo((host + "/pipe").c_str(), 0600);
    EXPECT_EQ(platform().openFile(dir + "\\PIPE", OpenMode::read, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::accessDenied);

    if (::geteuid() != 0) {
        std::filesystem::permissions(
            host + "/Sub", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        EXPECT_EQ(platform().openFile(dir + "\\SUB\\NEW.DBI", OpenMode::readWrite, status),
                  nullptr);
        EXPECT_EQ(status, PlatformStatus::accessDenied);
        std::filesystem::permissions(host + "/Sub", std::filesystem::perms::owner_all);
    }
}

TEST(PosixFiles, OnlyRegularFilesOfTheirOwnNameAreOpened) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/outside.txt", "outside");
    std::filesystem::create_symlink(host + "/outside.txt", host + "/link");
    std::filesystem::create_symlink(host + "/missing.txt", host + "/dangling");
    std::filesystem::create_directories(host + "/dir");
    ::mkfifo((host + "/pipe").c_str(), 0600);
    std::filesystem::create_symlink(host + "/pipe", host + "/pipelink");
    PlatformStatus status;
    for (const char* name : {"LINK", "DANGLING", "DIR", "PIPE"}) {
        for (OpenMode mode : {OpenMode::read, OpenMode::contents, OpenMode::readWrite,
                              OpenMode::truncate, OpenMode::append}) {
            EXPECT_EQ(platform().openFile(dir + "\\" + name, mode, status), nullptr) << name;
            EXPECT_NE(status, PlatformStatus::ok) << name;
        }
        EXPECT_EQ(platform().holdExclusive(dir + "\\" + name, status), nullptr) << name;
        EXPECT_NE(platform().probe(dir + "\\" + name), PlatformStatus::ok) << name;
        EXPECT_NE(platform().replaceFile(dir + "\\" + name, dir + "\\MOVED"), PlatformStatus::ok);
        EXPECT_TRUE(platform().fileExists(dir + "\\" + name)) << name;
    }
    EXPECT_EQ(readHostFile(host + "/outside.txt"), "outside");
    EXPECT_FALSE(std::filesystem::exists(host + "/missing.txt"));
    EXPECT_FALSE(std::filesystem::exists(host + "/moved"));
    // A file the user keeps may be a link, to a regular file only.
    auto file = platform().openFile(dir + "\\LINK", OpenMode::readFollowing, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(readAll(*file), "outside");
    EXPECT_EQ(platform().openFile(dir + "\\PIPELINK", OpenMode::readFollowing, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::accessDenied);
}

TEST(PosixFiles, NamesMatchWhateverTheirCase) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/Program Files/App/Tool.exe", "tool");
    PlatformStatus status;

    auto file = platform().openFile(dir + "\\PROGRAM FILES\\APP\\TOOL.EXE", OpenMode::read, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(readAll(*file), "tool");
    file = platform().openFile(dir + "\\program files\\APP\\tool.EXE", OpenMode::readWrite, status);
    EXPECT_EQ(status, PlatformStatus::ok);
    file = platform().openFile(dir + "\\PROGRAM FILES\\APP\\NEW.DBI", OpenMode::readWrite, status);
    EXPECT_EQ(status, PlatformStatus::created);
    file.reset();
    EXPECT_TRUE(std::filesystem::exists(host + "/Program Files/App/NEW.DBI"));
    EXPECT_TRUE(platform().fileExists(dir + "\\PROGRAM FILES\\APP\\TOOL.EXE"));
    EXPECT_TRUE(platform().fileExists("\"" + dir + "\\PROGRAM FILES\\APP\""));
    EXPECT_FALSE(platform().fileExists(dir + "\\PROGRAM FILES\\APP\\NOPE.EXE"));
}

TEST(PosixFiles, RemoveAndRename) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/a.tmp", "a");
    writeHostFile(host + "/b.log", "b");
    writeHostFile(host + "/ro.dbi", "r");
    std::filesystem::create_directories(host + "/Sub");
    std::filesystem::permissions(host + "/ro.dbi", std::filesystem::perms::owner_read);

    EXPECT_EQ(platform().renameFile(dir + "\\A.TMP", dir + "\\B.LOG"), PlatformStatus::ioError);
    EXPECT_EQ(readHostFile(host + "/b.log"), "b");
    EXPECT_EQ(platform().renameFile(dir + "\\NOPE.TMP", dir + "\\C.LOG"), PlatformStatus::notFound);
    EXPECT_EQ(platform().removeFile(dir + "\\B.LOG"), PlatformStatus::ok);
    EXPECT_EQ(platform().renameFile(dir + "\\A.TMP", dir + "\\B.LOG"), PlatformStatus::ok);
    EXPECT_FALSE(std::filesystem::exists(host + "/a.tmp"));
    // The target is a new name: it is created as written.
    EXPECT_EQ(readHostFile(host + "/B.LOG"), "a");

    EXPECT_EQ(platform().removeFile(dir + "\\B.LOG"), PlatformStatus::ok);
    EXPECT_EQ(platform().removeFile(dir + "\\B.LOG"), PlatformStatus::notFound);
    EXPECT_EQ(platform().removeFile(dir + "\\RO.DBI"), PlatformStatus::accessDenied);
    EXPECT_TRUE(std::filesystem::exists(host + "/ro.dbi"));
    EXPECT_EQ(platform().removeFile(dir + "\\SUB"), PlatformStatus::accessDenied);
    EXPECT_EQ(platform().removeFile(dir + "\\NONE\\X"), PlatformStatus::notFound);

    std::filesystem::create_symlink(host + "/ro.dbi", host + "/link");
    EXPECT_EQ(platform().removeFile(dir + "\\LINK"), PlatformStatus::ok);
    EXPECT_TRUE(std::filesystem::exists(host + "/ro.dbi"));
}

TEST(PosixFiles, LargeFilesKeepTheirFullSize) {
    const std::string dir = scratchDirectory();
    const std::uint64_t size = 5ull << 30;
    PlatformStatus status;
    auto file = platform().openFile(dir + "\\BIG.BIN", OpenMode::truncate, status);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->truncate(size), PlatformStatus::ok);
    ASSERT_EQ(file->write(size - 1, "z", 1), PlatformStatus::ok);
    std::uint64_t got = 0;
    EXPECT_EQ(file->size(got), PlatformStatus::ok);
    EXPECT_EQ(got, size);
    char c = 0;
    std::size_t n = 0;
    EXPECT_EQ(file->read(size - 1, &c, 1, n), PlatformStatus::ok);
    EXPECT_EQ(c, 'z');
    EXPECT_EQ(n, 1u);
}

class HolderProcess {
  public:
    explicit HolderProcess(const std::string& drivePath) {
        const std::string host = hostPath(scratchDirectory());
        output_ = host + "/output";
        release_ = host + "/release";
        pid_ = spawnProcess({helperProgram("hold_file"), drivePath, release_}, output_);
    }
    ~HolderProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitForExit(pid_);
        }
    }
    // True once the helper holds the file.
    bool holds() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::string said;
        while (pid_ > 0 && said.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            said = readHostFile(output_);
        }
        return said == "held\n";
    }
    void kill() {
        ::kill(pid_, SIGKILL);
        waitForExit(pid_);
        pid_ = -1;
    }
    int release() {
        writeHostFile(release_, "");
        int code = waitForExit(pid_);
        pid_ = -1;
        return code;
    }

  private:
    std::string output_, release_;
    pid_t pid_ = -1;
};

TEST(PosixFiles, MarkerHeldByAnotherProcessIsLockedUntilItDies) {
    const std::string dir = scratchDirectory();
    const std::string marker = dir + "\\VELUMTAR.AKT";
    const std::string host = hostPath(dir) + "/VELUMTAR.AKT";
    EXPECT_EQ(platform().probe(marker), PlatformStatus::notFound);

    HolderProcess holder(marker);
    ASSERT_TRUE(holder.holds());
    writeHostFile(host, "content");

    EXPECT_EQ(platform().probe(marker), PlatformStatus::locked);
    EXPECT_EQ(platform().probe("\"" + marker + "\""), PlatformStatus::locked);
    PlatformStatus status;
    EXPECT_EQ(platform().holdExclusive(marker, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::locked);
    EXPECT_EQ(readHostFile(host), "content") << "a held marker is not emptied";
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::locked);
    EXPECT_TRUE(std::filesystem::exists(host));

    holder.kill();
    EXPECT_EQ(platform().probe(marker), PlatformStatus::ok);
    auto hold = platform().holdExclusive(marker, status);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);
    EXPECT_EQ(readHostFile(host), "");

    // Our own hold refuses a second opener in this process as well, and a
    // second process is refused without touching the file.
    EXPECT_EQ(platform().probe(marker), PlatformStatus::locked);
    HolderProcess refused(marker);
    EXPECT_FALSE(refused.holds());
    hold.reset();
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::ok);
}

TEST(PosixFiles, HoldIsReleasedWithTheHolderAndNotInheritedByChildren) {
    const std::string dir = scratchDirectory();
    const std::string marker = dir + "\\VELUMTAR.AKT";
    PlatformStatus status;
    auto hold = platform().holdExclusive(marker, status);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(status, PlatformStatus::created);

    // A child started while the hold exists must not keep the lock alive.
    // The system lets this process go on as soon as the child's program is
    // loaded, a moment before the child's copies of the descriptors closed
    // on that are gone: the lock is free soon, and long before the child
    // ends.
    pid_t child = spawnProcess({"sleep", "30"});
    ASSERT_GT(child, 0);
    hold.reset();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (platform().probe(marker) == PlatformStatus::locked &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(platform().probe(marker), PlatformStatus::ok);
    ::kill(child, SIGKILL);
    waitForExit(child);

    HolderProcess holder(marker);
    ASSERT_TRUE(holder.holds());
    EXPECT_EQ(platform().probe(marker), PlatformStatus::locked);
    EXPECT_EQ(holder.release(), 0);
    EXPECT_EQ(platform().probe(marker), PlatformStatus::ok);
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::ok);
    EXPECT_EQ(platform().probe(marker), PlatformStatus::notFound);
}

// The first sync of a file this open created also syncs its directory entry:
// with the directory gone it cannot, and says so; the file opened again later
// syncs its data only.
TEST(PosixFiles, FirstSyncOfANewFileSyncsItsDirectory) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    std::filesystem::create_directories(host + "/New");
    PlatformStatus status;
    auto created = platform().openFile(dir + "\\NEW\\X.DBI", OpenMode::readWrite, status);
    ASSERT_TRUE(created);
    EXPECT_EQ(status, PlatformStatus::created);
    auto reopened = platform().openFile(dir + "\\NEW\\X.DBI", OpenMode::readWrite, status);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(status, PlatformStatus::ok);
    std::filesystem::remove_all(host + "/New");
    EXPECT_EQ(reopened->sync(), PlatformStatus::ok);
    EXPECT_NE(created->sync(), PlatformStatus::ok);
}

}  // namespace
}  // namespace velumtar::test
