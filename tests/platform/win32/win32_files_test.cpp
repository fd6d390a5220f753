// The Win32 file services: open modes and their statuses, positional I/O,
// sizes beyond 4 GB, removal and renaming, and names outside the ANSI code
// page.
#include "platform/win32/win32_test_util.h"

namespace velumtar {
namespace {

using namespace test::win32;

class Win32Files : public ScratchTest {
  protected:
    std::string readAll(const std::string& name) {
        PlatformStatus status = PlatformStatus::ioError;
        auto file = platform.openFile(path(name), OpenMode::read, status);
        if (!file) {
            return "<open failed>";
        }
        std::string content(64, '\0');
        std::size_t got = 0;
        if (file->read(0, content.data(), content.size(), got) != PlatformStatus::ok) {
            return "<read failed>";
        }
        content.resize(got);
        return content;
    }
};

TEST_F(Win32Files, OpenModesReportWhetherTheFileWasCreated) {
    PlatformStatus status = PlatformStatus::ok;
    EXPECT_EQ(platform.openFile(path("missing.dat"), OpenMode::read, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
    EXPECT_FALSE(platform.fileExists(path("missing.dat")));

    // In order: each mode creates its file, then finds it.
    const struct {
        const char* name;
        OpenMode mode;
        PlatformStatus status;
    } opens[] = {
        {"rw.dat", OpenMode::readWrite, PlatformStatus::created},
        {"rw.dat", OpenMode::readWrite, PlatformStatus::ok},
        {"app.dat", OpenMode::append, PlatformStatus::created},
        {"app.dat", OpenMode::append, PlatformStatus::ok},
        {"new.dat", OpenMode::truncate, PlatformStatus::created},
        {"new.dat", OpenMode::read, PlatformStatus::ok},
    };
    for (const auto& open : opens) {
        ASSERT_NE(platform.openFile(path(open.name), open.mode, status), nullptr) << open.name;
        EXPECT_EQ(status, open.status) << open.name;
    }

    // A missing folder is not found, for reading and for creating alike.
    EXPECT_EQ(platform.openFile(path("no\\such.dat"), OpenMode::truncate, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
}

TEST_F(Win32Files, PositionalReadsWritesAndTruncation) {
    PlatformStatus status = PlatformStatus::ioError;
    auto file = platform.openFile(path("data.dat"), OpenMode::readWrite, status);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->write(0, "abcdef", 6), PlatformStatus::ok);
    ASSERT_EQ(file->write(3, "XY", 2), PlatformStatus::ok);
    // Writing past the end extends the file; the gap reads as zeros.
    ASSERT_EQ(file->write(8, "Z", 1), PlatformStatus::ok);

    std::uint64_t size = 0;
    ASSERT_EQ(file->size(size), PlatformStatus::ok);
    EXPECT_EQ(size, 9u);

    char buffer[16] = {};
    std::size_t got = 0;
    ASSERT_EQ(file->read(2, buffer, 4, got), PlatformStatus::ok);
    EXPECT_EQ(std::string(buffer, got), "cXYf");
    // A read across the end stops there; a read beyond it gets nothing.
    ASSERT_EQ(file->read(5, buffer, sizeof buffer, got), PlatformStatus::ok);
    EXPECT_EQ(std::string(buffer, got), std::string("f\0\0Z", 4));
    ASSERT_EQ(file->read(100, buffer, sizeof buffer, got), PlatformStatus::ok);
    EXPECT_EQ(got, 0u);

    ASSERT_EQ(file->truncate(4), PlatformStatus::ok);
    ASSERT_EQ(file->size(size), PlatformStatus::ok);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(file->sync(), PlatformStatus::ok);
    file.reset();
    EXPECT_EQ(readAll("data.dat"), "abcX");

    // Truncate mode empties an existing file.
    file = platform.openFile(path("data.dat"), OpenMode::truncate, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);
    ASSERT_EQ(file->size(size), PlatformStatus::ok);
    EXPECT_EQ(size, 0u);
}

TEST_F(Win32Files, AppendWritesAtTheEndWhateverTheOffset) {
    ASSERT_TRUE(writeFile(path("log.txt"), "one\r\n"));
    PlatformStatus status = PlatformStatus::ioError;
    auto file = platform.openFile(path("log.txt"), OpenMode::append, status);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->write(0, "two\r\n", 5), PlatformStatus::ok);
    ASSERT_EQ(file->write(0, "three\r\n", 7), PlatformStatus::ok);
    file.reset();
    EXPECT_EQ(readAll("log.txt"), "one\r\ntwo\r\nthree\r\n");
}

TEST_F(Win32Files, ReadOnlyFileRefusesRemoval) {
    // (Opening it for writing is refused too, except under Wine run by root,
    // where the read-only bit is only a file mode that root may ignore.)
    ASSERT_TRUE(writeFile(path("ro.dat"), "keep"));
    ASSERT_TRUE(SetFileAttributesW(wide(path("ro.dat")).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(platform.removeFile(path("ro.dat")), PlatformStatus::accessDenied);
    EXPECT_EQ(readAll("ro.dat"), "keep");
}

TEST_F(Win32Files, RemoveRenameAndExistence) {
    ASSERT_TRUE(writeFile(path("a.tmp"), "A"));
    ASSERT_TRUE(writeFile(path("b.tmp"), "B"));
    EXPECT_TRUE(platform.fileExists(path("a.tmp")));

    // Renaming never replaces an existing file.
    EXPECT_NE(platform.renameFile(path("a.tmp"), path("b.tmp")), PlatformStatus::ok);
    EXPECT_EQ(readAll("b.tmp"), "B");

    EXPECT_EQ(platform.renameFile(path("a.tmp"), path("c.tmp")), PlatformStatus::ok);
    EXPECT_FALSE(platform.fileExists(path("a.tmp")));
    EXPECT_EQ(readAll("c.tmp"), "A");
    EXPECT_EQ(platform.renameFile(path("a.tmp"), path("d.tmp")), PlatformStatus::notFound);

    EXPECT_EQ(platform.removeFile(path("c.tmp")), PlatformStatus::ok);
    EXPECT_FALSE(platform.fileExists(path("c.tmp")));
    EXPECT_EQ(platform.removeFile(path("c.tmp")), PlatformStatus::notFound);
}

TEST_F(Win32Files, QuotedPathsAreUnquoted) {
    const std::string quotedName = inQuotes(path("q.dat"));
    PlatformStatus status = PlatformStatus::ioError;
    ASSERT_NE(platform.openFile(quotedName, OpenMode::truncate, status), nullptr);
    EXPECT_TRUE(platform.fileExists(path("q.dat")));
    EXPECT_TRUE(platform.fileExists(quotedName));
    EXPECT_EQ(platform.probe(quotedName), PlatformStatus::ok);
    EXPECT_EQ(platform.renameFile(quotedName, inQuotes(path("r.dat"))), PlatformStatus::ok);
    EXPECT_EQ(platform.removeFile(inQuotes(path("r.dat"))), PlatformStatus::ok);
}

TEST_F(Win32Files, NamesOutsideTheAnsiCodePage) {
    for (const std::string name : {"Журнал.log", "日本語.dat", "emoji-\xF0\x9F\x98\x80.bin"}) {
        SCOPED_TRACE(name);
        PlatformStatus status = PlatformStatus::ioError;
        auto file = platform.openFile(path(name), OpenMode::truncate, status);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(status, PlatformStatus::created);
        ASSERT_EQ(file->write(0, "xyz", 3), PlatformStatus::ok);
        file.reset();
        // The name on disk is the real one, not a replacement-character form.
        EXPECT_NE(GetFileAttributesW(wide(path(name)).c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(readAll(name), "xyz");

        const std::string renamed = "ü-" + name;
        EXPECT_EQ(platform.renameFile(path(name), path(renamed)), PlatformStatus::ok);
        EXPECT_FALSE(platform.fileExists(path(name)));
        EXPECT_EQ(platform.removeFile(path(renamed)), PlatformStatus::ok);
        EXPECT_FALSE(platform.fileExists(path(renamed)));
    }
}

TEST_F(Win32Files, SizesBeyondFourGigabytes) {
    constexpr std::uint64_t fiveGigabytes = 5ull << 30;
    // Marked sparse where the file system allows it, so that the test costs
    // no disk space and extending it writes no zeros.
    HANDLE prepared = CreateFileW(wide(path("big.bin")).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(prepared, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    DeviceIoControl(prepared, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(prepared);

    PlatformStatus status = PlatformStatus::ioError;
    auto file = platform.openFile(path("big.bin"), OpenMode::readWrite, status);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->truncate(fiveGigabytes), PlatformStatus::ok);
    ASSERT_EQ(file->write(fiveGigabytes - 4, "tail", 4), PlatformStatus::ok);
    std::uint64_t size = 0;
    ASSERT_EQ(file->size(size), PlatformStatus::ok);
    EXPECT_EQ(size, fiveGigabytes);
    char buffer[4] = {};
    std::size_t got = 0;
    ASSERT_EQ(file->read(fiveGigabytes - 4, buffer, 4, got), PlatformStatus::ok);
    EXPECT_EQ(std::string(buffer, got), "tail");
    file.reset();

    FileInformation info;
    ASSERT_EQ(platform.fileInformation(path("big.bin"), info), PlatformStatus::ok);
    EXPECT_EQ(info.size, fiveGigabytes);
    EXPECT_EQ(platform.removeFile(path("big.bin")), PlatformStatus::ok);
}

}  // namespace
}  // namespace velumtar
