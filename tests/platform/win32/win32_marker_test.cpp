// The exclusively held instance marker, seen from a second process: the
// helper hold_file.exe holds it, this test probes it, and after the
// helper is killed the marker can be taken over at once.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/win32/win32_test_util.h"

namespace velumtar {
namespace {

using namespace test::win32;

class Win32Marker : public ScratchTest {
  protected:
    std::string marker = path("VELUMTAR.AKT");
    std::string release = path("release");

    // Starts the helper on the marker and waits until it holds it.
    void startHolder(ChildProcess& holder) {
        const std::wstring helper = binaryDirectory() + L"\\hold_file.exe";
        ASSERT_TRUE(holder.start(inQuotes(helper) + L" " + inQuotes(wide(marker)) + L" " +
                                 inQuotes(wide(release))));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (platform.probe(marker) != PlatformStatus::locked) {
            ASSERT_TRUE(holder.running()) << "the helper ended without holding the marker";
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
};

TEST_F(Win32Marker, HeldMarkerIsLockedForOtherProcessesUntilTheHolderIsKilled) {
    ChildProcess holder;
    startHolder(holder);

    // Everything another instance would try is refused as locked.
    PlatformStatus status = PlatformStatus::ok;
    EXPECT_EQ(platform.holdExclusive(marker, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::locked);
    EXPECT_EQ(platform.openFile(marker, OpenMode::read, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::locked);
    EXPECT_EQ(platform.removeFile(marker), PlatformStatus::locked);
    EXPECT_TRUE(platform.fileExists(marker));
    // Nor can any process delete it, move it away or put another file in its
    // place: it is held without FILE_SHARE_DELETE.
    const std::wstring held = wide(marker), moved = wide(path("MOVED.AKT"));
    const std::wstring other = wide(path("OTHER.AKT"));
    ASSERT_TRUE(writeFile(path("OTHER.AKT"), "other"));
    EXPECT_FALSE(DeleteFileW(held.c_str()));
    EXPECT_FALSE(MoveFileExW(held.c_str(), moved.c_str(), 0));
    EXPECT_FALSE(MoveFileExW(other.c_str(), held.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_NE(platform.renameFile(marker, path("MOVED.AKT")), PlatformStatus::ok);
    EXPECT_NE(platform.replaceFile(path("OTHER.AKT"), marker), PlatformStatus::ok);
    EXPECT_TRUE(platform.fileExists(marker));
    EXPECT_FALSE(platform.fileExists(path("MOVED.AKT")));

    // A killed holder leaves the file behind but no lock.
    ASSERT_TRUE(holder.kill());
    EXPECT_EQ(platform.probe(marker), PlatformStatus::ok);
    auto hold = platform.holdExclusive(marker, status);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);  // the leftover is re-created, not new
    EXPECT_EQ(platform.probe(marker), PlatformStatus::locked);
    hold.reset();
    EXPECT_EQ(platform.probe(marker), PlatformStatus::ok);
    EXPECT_EQ(platform.removeFile(marker), PlatformStatus::ok);
}

TEST_F(Win32Marker, ReleasedMarkerCanBeTakenOver) {
    ChildProcess holder;
    startHolder(holder);
    ASSERT_TRUE(writeFile(release, ""));
    EXPECT_EQ(holder.wait(30000), 0);
    EXPECT_EQ(platform.probe(marker), PlatformStatus::ok);

    PlatformStatus status = PlatformStatus::ioError;
    ASSERT_EQ(platform.removeFile(marker), PlatformStatus::ok);
    EXPECT_EQ(platform.probe(marker), PlatformStatus::notFound);
    auto hold = platform.holdExclusive(marker, status);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(status, PlatformStatus::created);
}

TEST_F(Win32Marker, MarkerInAMissingFolderCannotBeHeld) {
    PlatformStatus status = PlatformStatus::ok;
    EXPECT_EQ(platform.holdExclusive(dir + "\\missing\\VELUMTAR.AKT", status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
}

}  // namespace
}  // namespace velumtar
