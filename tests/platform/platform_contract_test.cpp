// What every implementation of the platform seam promises, checked against
// the real system of the build (POSIX natively, Win32 under Wine). Only the
// seam and the scratch-directory helper are used here.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/scratch.h"

namespace velumtar::test {
namespace {

Platform& platform() {
    return systemPlatform();
}

// A path enclosed in double quotes, as several callers pass them.
std::string inQuotes(const std::string& path) {
    std::string text(1, '"');
    text += path;
    text += '"';
    return text;
}

void writeHost(const std::string& path, const std::string& content) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << content;
}

std::string readFile(const std::string& path) {
    PlatformStatus status;
    auto file = platform().openFile(path, OpenMode::read, status);
    if (file == nullptr) {
        return "<not opened>";
    }
    std::uint64_t size = 0;
    EXPECT_EQ(file->size(size), PlatformStatus::ok);
    std::string data(size, '\0');
    std::size_t got = 0;
    EXPECT_EQ(file->read(0, data.data(), data.size(), got), PlatformStatus::ok);
    data.resize(got);
    return data;
}

TEST(PlatformContract, OpenModes) {
    const std::string dir = scratchDirectory();
    const std::string name = dir + "\\RECORDS.DBI";
    PlatformStatus status;

    EXPECT_EQ(platform().openFile(name, OpenMode::read, status), nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);

    auto file = platform().openFile(name, OpenMode::readWrite, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::created);
    EXPECT_EQ(file->write(0, "0123456789", 10), PlatformStatus::ok);
    EXPECT_EQ(file->write(3, "abc", 3), PlatformStatus::ok);
    EXPECT_EQ(file->sync(), PlatformStatus::ok);
    std::uint64_t size = 0;
    EXPECT_EQ(file->size(size), PlatformStatus::ok);
    EXPECT_EQ(size, 10u);
    char buffer[8];
    std::size_t got = 0;
    EXPECT_EQ(file->read(8, buffer, sizeof buffer, got), PlatformStatus::ok);
    EXPECT_EQ(got, 2u) << "a read is short only at the end of the file";
    EXPECT_EQ(file->truncate(6), PlatformStatus::ok);
    file.reset();
    EXPECT_EQ(readFile(name), "012abc");

    file = platform().openFile(inQuotes(name), OpenMode::readWrite, status);
    EXPECT_EQ(status, PlatformStatus::ok);
    file = platform().openFile(name, OpenMode::append, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);
    EXPECT_EQ(file->write(0, "++", 2), PlatformStatus::ok) << "appends whatever the offset";
    file.reset();
    EXPECT_EQ(readFile(name), "012abc++");

    file = platform().openFile(name, OpenMode::read, status);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(file->write(0, "x", 1), PlatformStatus::ok);
    file = platform().openFile(name, OpenMode::truncate, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::ok);
    file.reset();
    EXPECT_EQ(readFile(name), "");
    file = platform().openFile(dir + "\\NEW.LOG", OpenMode::append, status);
    EXPECT_EQ(status, PlatformStatus::created);
    file = platform().openFile(dir + "\\NEW.TXT", OpenMode::truncate, status);
    EXPECT_EQ(status, PlatformStatus::created);
    file = platform().openFile(dir + "\\NO SUCH DIR\\NEW.LOG", OpenMode::readWrite, status);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::notFound);
}

TEST(PlatformContract, UpperCasedNamesFindMixedCaseFiles) {
    const std::string dir = scratchDirectory();
    std::filesystem::create_directories(std::filesystem::path(hostPath(dir) + "/Sub Dir"));
    writeHost(hostPath(dir) + "/Sub Dir/Mixed.Txt", "mixed");
    EXPECT_EQ(readFile(dir + "\\SUB DIR\\MIXED.TXT"), "mixed");
    EXPECT_TRUE(platform().fileExists(dir + "\\SUB DIR\\MIXED.TXT"));
    EXPECT_TRUE(platform().fileExists(inQuotes(dir + "\\sub dir\\mixed.txt")));
    EXPECT_FALSE(platform().fileExists(dir + "\\SUB DIR\\OTHER.TXT"));
}

TEST(PlatformContract, RemoveAndRename) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHost(host + "/FROM.TMP", "from");
    writeHost(host + "/TO.LOG", "to");

    EXPECT_NE(platform().renameFile(dir + "\\FROM.TMP", dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_EQ(readFile(dir + "\\TO.LOG"), "to");
    EXPECT_EQ(platform().removeFile(dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_FALSE(platform().fileExists(dir + "\\TO.LOG"));
    EXPECT_EQ(platform().renameFile(dir + "\\FROM.TMP", dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_EQ(readFile(dir + "\\TO.LOG"), "from");
    EXPECT_FALSE(platform().fileExists(dir + "\\FROM.TMP"));
    EXPECT_EQ(platform().removeFile(dir + "\\FROM.TMP"), PlatformStatus::notFound);

    // Replacing takes the place of an existing file in one step.
    writeHost(host + "/NEW.TMP", "new");
    EXPECT_EQ(platform().replaceFile(dir + "\\NEW.TMP", dir + "\\TO.LOG"), PlatformStatus::ok);
    EXPECT_EQ(readFile(dir + "\\TO.LOG"), "new");
    EXPECT_FALSE(platform().fileExists(dir + "\\NEW.TMP"));

    // A read-only file is not removed.
    writeHost(host + "/KEEP.DBI", "keep");
    std::filesystem::permissions(std::filesystem::path(host + "/KEEP.DBI"),
                                 std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    EXPECT_NE(platform().removeFile(dir + "\\KEEP.DBI"), PlatformStatus::ok);
    EXPECT_TRUE(platform().fileExists(dir + "\\KEEP.DBI"));
    std::filesystem::permissions(std::filesystem::path(host + "/KEEP.DBI"),
                                 std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}

TEST(PlatformContract, HeldMarkerIsLockedUntilReleased) {
    const std::string dir = scratchDirectory();
    const std::string marker = dir + "\\VELUMTAR.AKT";
    EXPECT_EQ(platform().probe(marker), PlatformStatus::notFound);

    PlatformStatus status;
    auto hold = platform().holdExclusive(marker, status);
    ASSERT_NE(hold, nullptr);
    EXPECT_TRUE(status == PlatformStatus::ok || status == PlatformStatus::created);
    EXPECT_EQ(platform().probe(marker), PlatformStatus::locked);
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::locked);
    EXPECT_TRUE(platform().fileExists(marker));

    hold.reset();
    EXPECT_EQ(platform().probe(marker), PlatformStatus::ok);
    hold = platform().holdExclusive(inQuotes(marker), status);
    ASSERT_NE(hold, nullptr);
    hold.reset();
    EXPECT_EQ(platform().removeFile(marker), PlatformStatus::ok);
    EXPECT_EQ(platform().probe(marker), PlatformStatus::notFound);
}

// Returns to the working directory of the test's start when it ends.
class StayInDirectory {
  public:
    StayInDirectory() { EXPECT_TRUE(platform().currentDirectory(saved_)); }
    ~StayInDirectory() { EXPECT_TRUE(platform().changeDirectory(inQuotes(saved_ + "\\"))); }

  private:
    std::string saved_;
};

TEST(PlatformContract, WorkingDirectoryAndRelativeNames) {
    const std::string dir = scratchDirectory();
    std::filesystem::create_directories(std::filesystem::path(hostPath(dir) + "/Inner"));
    StayInDirectory stay;

    ASSERT_TRUE(platform().changeDirectory(inQuotes(platform().upperCase(dir) + "\\INNER")));
    std::string current;
    ASSERT_TRUE(platform().currentDirectory(current));
    EXPECT_EQ(platform().upperCase(current), platform().upperCase(dir + "\\Inner"));
    EXPECT_FALSE(platform().changeDirectory(dir + "\\NOT THERE"));

    PlatformStatus status;
    auto file = platform().openFile("LOCAL.DBI", OpenMode::readWrite, status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, PlatformStatus::created);
    file.reset();
    EXPECT_TRUE(platform().fileExists(dir + "\\INNER\\LOCAL.DBI"));
    EXPECT_TRUE(platform().fileExists("\"LOCAL.DBI\""));
}

TEST(PlatformContract, ListingDeliversEveryEntry) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    std::filesystem::create_directories(std::filesystem::path(host + "/Folder"));
    writeHost(host + "/Prog.Exe", "abc");
    StayInDirectory stay;
    ASSERT_TRUE(platform().changeDirectory(inQuotes(dir)));

    auto listing = platform().newListing();
    ListingEntry entry;
    int dots = 0, files = 0, folders = 0, others = 0;
    for (ListingResult r = listing->first("\"*.*\"", entry); r != ListingResult::end;
         r = listing->next(entry)) {
        ASSERT_EQ(r, ListingResult::entry);
        if (entry.kind == EntryKind::dotEntry) {
            EXPECT_TRUE(entry.name == "." || entry.name == "..");
            ++dots;
        } else if (entry.name == "Prog.Exe") {
            EXPECT_EQ(entry.kind, EntryKind::file);
            EXPECT_EQ(entry.attributes & (attr::directory | attr::archive), attr::archive);
            ++files;
        } else if (entry.name == "Folder") {
            EXPECT_EQ(entry.kind, EntryKind::directory);
            EXPECT_EQ(entry.attributes & attr::directory, attr::directory);
            ++folders;
        } else {
            ++others;
        }
    }
    listing->end();
    EXPECT_EQ(dots, 2);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(folders, 1);
    EXPECT_EQ(others, 0);

    ASSERT_TRUE(platform().changeDirectory(inQuotes(dir + "\\FOLDER")));
    listing = platform().newListing();
    int count = 0;
    for (ListingResult r = listing->first("*.*", entry); r == ListingResult::entry;
         r = listing->next(entry)) {
        ++count;
    }
    EXPECT_EQ(count, 2) << "an empty directory lists only its dot entries";
}

TEST(PlatformContract, FileFactsAndClock) {
    const std::string dir = scratchDirectory();
    writeHost(hostPath(dir) + "/Facts.Bin", std::string(1234, 'x'));
    const LocalDateTime before = platform().localDateTime();
    ASSERT_EQ(before.date.size(), 8u);
    ASSERT_EQ(before.time.size(), 8u);
    for (char c : before.date + before.time) {
        EXPECT_TRUE(c >= '0' && c <= '9') << before.date << " " << before.time;
    }

    FileInformation info;
    ASSERT_EQ(platform().fileInformation(inQuotes(platform().upperCase(dir) + "\\FACTS.BIN"), info),
              PlatformStatus::ok);
    EXPECT_EQ(info.size, 1234u);
    EXPECT_EQ(info.hundredths, 0);
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", info.year % 10000, info.month % 100,
                  info.day % 100);
    const LocalDateTime after = platform().localDateTime();
    EXPECT_TRUE(date == before.date || date == after.date)
        << date << " is neither " << before.date << " nor " << after.date;
    EXPECT_EQ(platform().fileInformation(dir + "\\MISSING.BIN", info), PlatformStatus::notFound);
}

TEST(PlatformContract, TextAndEnvironment) {
    EXPECT_EQ(platform().upperCase("velumtar c:\\x-1"), "VELUMTAR C:\\X-1");
    EXPECT_FALSE(platform().environment("VELUMTAR_SURELY_UNSET_VARIABLE").has_value());
    auto path = platform().environment("PATH");
    ASSERT_TRUE(path.has_value());
    EXPECT_FALSE(path->empty());
}

}  // namespace
}  // namespace velumtar::test
