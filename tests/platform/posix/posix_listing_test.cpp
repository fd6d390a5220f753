// Listings, the working directory and file facts of the POSIX layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_test_util.h"
#include "support/scratch.h"
#include "support/write_time.h"

namespace velumtar::test {
namespace {

Platform& platform() {
    return systemPlatform();
}

struct Seen {
    EntryKind kind;
    unsigned attributes;
};

std::map<std::string, Seen> listAll(std::string_view pattern,
                                    ListingResult* firstResult = nullptr) {
    std::map<std::string, Seen> seen;
    auto listing = platform().newListing();
    ListingEntry entry;
    ListingResult result = listing->first(pattern, entry);
    if (firstResult != nullptr) {
        *firstResult = result;
    }
    while (result == ListingResult::entry) {
        seen[entry.name] = {entry.kind, entry.attributes};
        result = listing->next(entry);
    }
    EXPECT_EQ(result, ListingResult::end);
    listing->end();
    return seen;
}

// Lists the working directory, the upper-cased drive path `listed`, as the
// walk does and asks for the facts of each file by its upper-cased full path
// right after the listing delivered it; hands both to `seen`.
template <class Seen>
void factsOfListedFiles(const std::string& listed, Seen seen) {
    auto listing = platform().newListing();
    ListingEntry entry;
    for (ListingResult r = listing->first("\"*.*\"", entry); r == ListingResult::entry;
         r = listing->next(entry)) {
        if (entry.kind != EntryKind::file) {
            continue;
        }
        FileInformation info;
        ASSERT_EQ(platform().fileInformation(
                      "\"" + listed + "\\" + platform().upperCase(entry.name) + "\"", info),
                  PlatformStatus::ok)
            << entry.name;
        seen(entry, info);
    }
}

// Sets TZ for one test and restores it afterwards.
class TimeZone {
  public:
    explicit TimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        if (old != nullptr) {
            saved_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (saved_.empty()) {
            ::unsetenv("TZ");
        } else {
            ::setenv("TZ", saved_.c_str(), 1);
        }
        ::tzset();
    }

  private:
    std::string saved_;
};

TEST(PosixListing, KindsAndAttributesOfEveryEntry) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/Tool.exe", "tool");
    writeHostFile(host + "/.hidden.dll", "");
    writeHostFile(host + "/ro.dll", "");
    std::filesystem::permissions(host + "/ro.dll", std::filesystem::perms::owner_read);
    std::filesystem::create_directories(host + "/Sub");
    std::filesystem::create_directory_symlink(host + "/Sub", host + "/LinkDir");
    std::filesystem::create_symlink(host + "/Tool.exe", host + "/LinkFile.exe");
    std::filesystem::create_symlink(host + "/gone", host + "/Dangling.exe");
    ASSERT_EQ(::mkfifo((host + "/pipe").c_str(), 0644), 0);

    WorkingDirectoryGuard guard;
    ASSERT_TRUE(platform().changeDirectory("\"" + dir + "\""));
    const auto seen = listAll("\"*.*\"");
    ASSERT_EQ(seen.size(), 10u);
    auto expect = [&](const std::string& name, EntryKind kind, unsigned attributes) {
        auto found = seen.find(name);
        ASSERT_NE(found, seen.end()) << name;
        EXPECT_EQ(found->second.kind, kind) << name;
        EXPECT_EQ(found->second.attributes, attributes) << name;
    };
    expect(".", EntryKind::dotEntry, attr::directory);
    expect("..", EntryKind::dotEntry, attr::directory);
    expect("Tool.exe", EntryKind::file, attr::archive);
    expect(".hidden.dll", EntryKind::file, attr::archive | attr::hidden);
    // The listing leaves the mode unread; the file information reports it.
    expect("ro.dll", EntryKind::file, attr::archive);
    expect("Sub", EntryKind::directory, attr::directory);
    expect("LinkDir", EntryKind::reparsePoint, attr::directory);
    expect("LinkFile.exe", EntryKind::file, attr::archive);
    expect("Dangling.exe", EntryKind::file, attr::archive);
    expect("pipe", EntryKind::other, attr::archive);

    EXPECT_EQ(listAll("*").size(), 10u);
    const auto exes = listAll("*.EXE");
    EXPECT_EQ(exes.size(), 3u);
    EXPECT_EQ(exes.count("Tool.exe"), 1u);
    EXPECT_EQ(listAll(dir + "\\SUB\\*.*").size(), 2u);
    ListingResult first;
    EXPECT_TRUE(listAll("*.NONE", &first).empty());
    EXPECT_EQ(first, ListingResult::end);

    auto attributesOf = [&](const std::string& name) -> unsigned {
        FileInformation info;
        EXPECT_EQ(platform().fileInformation("\"" + posix::asciiUpper(name) + "\"", info),
                  PlatformStatus::ok)
            << name;
        return info.attributes;
    };
    EXPECT_EQ(attributesOf("Tool.exe"), attr::archive);
    EXPECT_EQ(attributesOf(".hidden.dll"), attr::archive | attr::hidden);
    EXPECT_EQ(attributesOf("ro.dll"), attr::archive | attr::readOnly);
    EXPECT_EQ(attributesOf("LinkFile.exe"), attr::archive);
    EXPECT_EQ(attributesOf("Sub"), attr::directory);
}

TEST(PosixListing, DosAttributesFromTheExtendedAttribute) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/sys.dll", "");
    writeHostFile(host + "/.shown.dll", "");
    writeHostFile(host + "/odd.dll", "");
    std::filesystem::create_directories(host + "/Dir");
    auto tag = [&](const std::string& name, const std::string& value) {
        return ::setxattr((host + "/" + name).c_str(), "user.DOSATTRIB", value.data(), value.size(),
                          0) == 0;
    };
    if (!tag("sys.dll", "0x27")) {
        GTEST_SKIP() << "the file system refuses user extended attributes";
    }
    ASSERT_TRUE(tag(".shown.dll", "0x20"));
    ASSERT_TRUE(tag("Dir", "0x12"));
    ASSERT_TRUE(tag("odd.dll", "junk"));

    // The listing reads no extended attribute; the file information and so
    // the facts built from it carry the bits.
    const auto seen = listAll(dir + "\\*.*");
    EXPECT_EQ(seen.at("sys.dll").attributes, attr::archive);
    EXPECT_EQ(seen.at("Dir").attributes, attr::directory);
    auto attributesOf = [&](const std::string& name) -> unsigned {
        FileInformation info;
        EXPECT_EQ(platform().fileInformation(dir + "\\" + posix::asciiUpper(name), info),
                  PlatformStatus::ok)
            << name;
        return info.attributes;
    };
    EXPECT_EQ(attributesOf("sys.dll"),
              attr::readOnly | attr::hidden | attr::system | attr::archive);
    EXPECT_EQ(attributesOf(".shown.dll"), attr::archive);
    EXPECT_EQ(attributesOf("Dir"), attr::directory | attr::hidden);
    EXPECT_EQ(attributesOf("odd.dll"), attr::archive);
    // The same read relative to the open directory (as reading ahead does).
    const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (const char* name : {"sys.dll", ".shown.dll", "Dir", "odd.dll"}) {
        FileInformation info;
        EXPECT_EQ(posix::hostFileInformationAt(fd, name, host + "/" + name, info),
                  PlatformStatus::ok);
        EXPECT_EQ(info.attributes, attributesOf(name)) << name;
    }
    ::close(fd);

    EXPECT_EQ(posix::entryAttributes(EntryKind::file, 0644, "x", std::string("0x4\0rest", 8)),
              attr::system);
    EXPECT_EQ(posix::entryAttributes(EntryKind::directory, 0555, "d", "0x30"),
              attr::directory | attr::archive);
}

TEST(PosixListing, RefusedAndMissingDirectories) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    std::filesystem::create_directories(host + "/Closed");
    ASSERT_EQ(::chmod((host + "/Closed").c_str(), 0), 0);

    auto listing = platform().newListing();
    ListingEntry entry;
    EXPECT_EQ(listing->first(dir + "\\MISSING\\*.*", entry), ListingResult::error);
    EXPECT_EQ(listing->next(entry), ListingResult::error);

    // Root reads every directory, so the refusal is checked in a child that
    // gives up root first; the drive root is opened up for it meanwhile.
    const std::string driveRoot = posix::processResolver().root();
    struct stat rootMode;
    ASSERT_EQ(::stat(driveRoot.c_str(), &rootMode), 0);
    ASSERT_EQ(::chmod(driveRoot.c_str(), 0711), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(10);
        }
        ListingEntry childEntry;
        auto refused = platform().newListing();
        if (refused->first(dir + "\\*.*", childEntry) != ListingResult::entry) {
            ::_exit(11);
        }
        ::_exit(static_cast<int>(refused->first(dir + "\\CLOSED\\*.*", childEntry)));
    }
    const int result = waitForExit(child);
    ::chmod(driveRoot.c_str(), rootMode.st_mode & 07777);
    ::chmod((host + "/Closed").c_str(), 0700);
    EXPECT_EQ(result, static_cast<int>(ListingResult::accessDenied));
}

TEST(PosixDirectory, ChangeAndReadTheWorkingDirectory) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    std::filesystem::create_directories(host + "/Program Files/App");
    WorkingDirectoryGuard guard;
    std::string current;

    ASSERT_TRUE(platform().changeDirectory("\"" + dir + "\\PROGRAM FILES\\APP\""));
    ASSERT_TRUE(platform().currentDirectory(current));
    EXPECT_EQ(current, dir + "\\Program Files\\App");
    EXPECT_EQ(std::filesystem::current_path(),
              std::filesystem::canonical(host + "/Program Files/App"));

    ASSERT_TRUE(platform().changeDirectory("C:\\"));
    ASSERT_TRUE(platform().currentDirectory(current));
    EXPECT_EQ(current, "C:");

    EXPECT_FALSE(platform().changeDirectory(dir + "\\NOWHERE"));
    EXPECT_FALSE(platform().changeDirectory("Q:\\"));
    ASSERT_TRUE(platform().currentDirectory(current));
    EXPECT_EQ(current, "C:");

    ASSERT_TRUE(platform().changeDirectory("Z:\\USR"));
    ASSERT_TRUE(platform().currentDirectory(current));
    EXPECT_EQ(current, "Z:\\usr");
}

TEST(PosixFacts, SizeAndLocalTimeOfTheEntryItself) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/Year End.dat", "12345");
    std::filesystem::create_symlink("Year End.dat", host + "/link.dat");
    // 2021-12-31 23:59:59 UTC.
    const struct timespec times[2] = {{1640995199, 0}, {1640995199, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (host + "/Year End.dat").c_str(), times, 0), 0);

    FileInformation info;
    {
        TimeZone zone("UTC");
        ASSERT_EQ(platform().fileInformation("\"" + dir + "\\YEAR END.DAT\"", info),
                  PlatformStatus::ok);
        EXPECT_EQ(info.size, 5u);
        EXPECT_EQ(writeTime(info), "2021-12-31 23:59:59.00");
    }
    {
        TimeZone zone("XYZ-2");
        ASSERT_EQ(platform().fileInformation(dir + "\\YEAR END.DAT", info), PlatformStatus::ok);
        EXPECT_EQ(writeTime(info), "2022-01-01 01:59:59.00");
    }
    ASSERT_EQ(platform().fileInformation(dir + "\\LINK.DAT", info), PlatformStatus::ok);
    EXPECT_EQ(info.size, std::string("Year End.dat").size()) << "the link itself, not its target";

    std::filesystem::resize_file(host + "/Year End.dat", 5ull << 30);
    ASSERT_EQ(platform().fileInformation(dir + "\\YEAR END.DAT", info), PlatformStatus::ok);
    EXPECT_EQ(info.size, 5ull << 30);

    EXPECT_EQ(platform().fileInformation(dir + "\\NONE.DAT", info), PlatformStatus::notFound);
    EXPECT_EQ(platform().fileInformation(dir + "\\YEAR END.DAT\\X", info),
              PlatformStatus::notFound);
}

TEST(PosixFacts, LocalDateAndTimeFollowTheZone) {
    TimeZone zone("UTC");
    // The platform reads the precise clock; time() reads a coarser one that
    // may still show the second before.
    const auto seconds = [] {
        struct timespec now;
        ::clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::time_t before = seconds();
        const LocalDateTime now = platform().localDateTime();
        const std::time_t after = seconds();
        if (before != after) {
            continue;
        }
        struct tm utc;
        ::gmtime_r(&before, &utc);
        char date[16], time[16];
        std::strftime(date, sizeof date, "%Y%m%d", &utc);
        std::strftime(time, sizeof time, "%H%M%S", &utc);
        EXPECT_EQ(now.date, date);
        ASSERT_EQ(now.time.size(), 8u);
        EXPECT_EQ(now.time.substr(0, 6), time);
        EXPECT_TRUE(now.time[6] >= '0' && now.time[6] <= '9' && now.time[7] >= '0' &&
                    now.time[7] <= '9');
        return;
    }
    FAIL() << "the clock never stood still for one reading";
}

// The walk lists a directory and asks for the facts of each file right after
// it by the upper-cased full path: that must not scan the directory again.
TEST(PosixFacts, FactsOfListedFilesNeedNoDirectoryScan) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    for (int i = 0; i < 2000; ++i) {
        writeHostFile(host + "/Many Files/Lib" + std::to_string(i) + ".Dll", "");
    }
    WorkingDirectoryGuard guard;
    const std::string listed = posix::asciiUpper(dir + "\\MANY FILES");
    ASSERT_TRUE(platform().changeDirectory("\"" + listed + "\""));
    const auto scans = posix::processResolver().scanCount();

    int files = 0;
    ASSERT_NO_FATAL_FAILURE(
        factsOfListedFiles(listed, [&](const ListingEntry&, const FileInformation&) { ++files; }));
    EXPECT_EQ(files, 2000);
    EXPECT_EQ(posix::processResolver().scanCount(), scans);
}

// The walk's sequence: list the working directory, then build the facts of a
// watched file. The facts carry its DOSATTRIB, read-only and hidden bits
// though the listing described it from readdir alone.
TEST(PosixFacts, FactsOfAFileListedWithoutStatCarryItsAttributes) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    writeHostFile(host + "/Flagged/sys.dll", "");
    writeHostFile(host + "/Flagged/.dot.exe", "");
    writeHostFile(host + "/Flagged/ro.exe", "");
    std::filesystem::permissions(host + "/Flagged/ro.exe", std::filesystem::perms::owner_read);
    const std::string value = "0x27";
    const bool tagged = ::setxattr((host + "/Flagged/sys.dll").c_str(), "user.DOSATTRIB",
                                   value.data(), value.size(), 0) == 0;

    WorkingDirectoryGuard guard;
    const std::string listed = posix::asciiUpper(dir + "\\FLAGGED");
    ASSERT_TRUE(platform().changeDirectory("\"" + listed + "\""));
    const auto stats = posix::processResolver().entryStatCount();
    std::map<std::string, std::string> flags;
    ASSERT_NO_FATAL_FAILURE(
        factsOfListedFiles(listed, [&](const ListingEntry& entry, const FileInformation& info) {
            const auto bit = [&](std::uint8_t mask, char letter) {
                return (info.attributes & mask) != 0 ? letter : ' ';
            };
            flags[entry.name] = {bit(attr::archive, 'A'), bit(attr::readOnly, 'R'),
                                 bit(attr::system, 'S'), bit(attr::hidden, 'H')};
            // The same facts from the file opened for its contents by that
            // name.
            PlatformStatus status;
            auto file = platform().openFile("\"" + entry.name + "\"", OpenMode::contents, status);
            FileInformation opened;
            ASSERT_NE(file, nullptr) << entry.name;
            ASSERT_EQ(file->information(opened), PlatformStatus::ok);
            const auto facts = [](const FileInformation& i) {
                return std::tuple(i.size, i.attributes, i.year, i.month, i.day, i.hour, i.minute,
                                  i.second);
            };
            EXPECT_EQ(facts(opened), facts(info)) << entry.name;
        }));
    if (posix::processResolver().entryStatCount() != stats) {
        GTEST_SKIP() << "the file system reports no entry types";
    }
    EXPECT_EQ(flags.at("ro.exe"), "AR  ");
    EXPECT_EQ(flags.at(".dot.exe"), "A  H");
    if (tagged) {
        EXPECT_EQ(flags.at("sys.dll"), "ARSH");
    }
}

// Only entries whose kind readdir leaves open are described by lstat: a
// directory of many files and sub-directories costs no call per entry, while a
// link to a directory is still told apart as a reparse point.
TEST(PosixListing, FilesAndDirectoriesAreListedWithoutStat) {
    const std::string dir = scratchDirectory();
    const std::string host = hostPath(dir);
    for (int i = 0; i < 300; ++i) {
        writeHostFile(host + "/Wide/file" + std::to_string(i) + ".txt", "");
    }
    for (int i = 0; i < 20; ++i) {
        std::filesystem::create_directories(host + "/Wide/sub" + std::to_string(i));
    }
    std::filesystem::create_directory_symlink(host + "/Wide/sub0", host + "/Wide/LinkDir");
    std::filesystem::create_symlink(host + "/Wide/file0.txt", host + "/Wide/LinkFile.exe");
    ASSERT_EQ(::mkfifo((host + "/Wide/pipe").c_str(), 0644), 0);

    const auto stats = posix::processResolver().entryStatCount();
    const auto seen = listAll(dir + "\\WIDE\\*.*");
    const auto described = posix::processResolver().entryStatCount() - stats;
    ASSERT_EQ(seen.size(), 2u + 300u + 20u + 3u);
    EXPECT_EQ(seen.at("LinkDir").kind, EntryKind::reparsePoint);
    EXPECT_EQ(seen.at("LinkFile.exe").kind, EntryKind::file);
    EXPECT_EQ(seen.at("pipe").kind, EntryKind::other);
    EXPECT_EQ(seen.at("sub7").kind, EntryKind::directory);
    EXPECT_EQ(seen.at("file7.txt").kind, EntryKind::file);
    if (described >= 300) {
        GTEST_SKIP() << "the file system reports no entry types";
    }
    EXPECT_EQ(described, 3u) << "the two links and the pipe";
}

// A Linux name may hold a backslash; the listing delivers it mapped, and the
// drive path of such an entry finds its facts right after the listing
// delivered it.
TEST(PosixFacts, ListedNameWithABackslash) {
    const std::string dir = scratchDirectory();
    writeHostFile(hostPath(dir) + "/odd\\name.exe", "1234567");
    auto listing = platform().newListing();
    ListingEntry entry;
    ListingResult r = listing->first(dir + "\\*.EXE", entry);
    ASSERT_EQ(r, ListingResult::entry);
    ASSERT_EQ(entry.name, "odd\xef\x81\x9cname.exe");
    FileInformation info;
    ASSERT_EQ(platform().fileInformation(
                  "\"" + platform().upperCase(dir + "\\" + entry.name) + "\"", info),
              PlatformStatus::ok);
    EXPECT_EQ(info.size, 7u);
}

}  // namespace
}  // namespace velumtar::test

namespace velumtar::test {
namespace {

// Lists `dir` completely, the way the walk does before it enters anything.
std::vector<std::string> listAll(const std::string& drivePath) {
    std::vector<std::string> names;
    WorkingDirectoryGuard guard;
    EXPECT_TRUE(systemPlatform().changeDirectory("\"" + drivePath + "\""));
    auto listing = systemPlatform().newListing();
    ListingEntry entry;
    for (ListingResult r = listing->first("\"*.*\"", entry); r == ListingResult::entry;
         r = listing->next(entry)) {
        names.push_back(entry.name);
    }
    return names;
}

// The walk enters each listed sub-directory by its upper-cased path; the
// listing already knows its name on disk, so no directory scan is needed.
TEST(PosixWalkLookups, ListedSubDirectoriesAreEnteredWithoutAScan) {
    const std::string dir = scratchDirectory();
    for (const char* sub : {"Sub One", "sub two", "THREE"}) {
        writeHostFile(hostPath(dir) + "/Parent/" + sub + "/x.exe", "");
    }
    const std::string parent = posix::asciiUpper(dir + "\\Parent");
    listAll(parent);
    const auto scans = posix::processResolver().scanCount();
    WorkingDirectoryGuard guard;
    for (const char* sub : {"SUB ONE", "SUB TWO", "THREE"}) {
        EXPECT_TRUE(systemPlatform().changeDirectory("\"" + parent + "\\" + sub + "\"")) << sub;
    }
    EXPECT_EQ(posix::processResolver().scanCount(), scans);
}

// Two entries that differ only in case: the remembered listing must choose
// the same one as the full lookup (the exact upper-case name first).
TEST(PosixWalkLookups, UpperCaseTwinIsChosenLikeTheFullLookup) {
    const std::string dir = scratchDirectory();
    writeHostFile(hostPath(dir) + "/Twins/LIB/upper.exe", "");
    writeHostFile(hostPath(dir) + "/Twins/Lib/mixed.exe", "");
    const std::string twins = posix::asciiUpper(dir + "\\Twins");
    listAll(twins);
    std::vector<std::string> inside = listAll(twins + "\\LIB");
    std::sort(inside.begin(), inside.end());
    EXPECT_EQ(inside, (std::vector<std::string>{".", "..", "upper.exe"}));
}

// A file deleted after the listing reads as not found, also when the
// directory it was listed in has been replaced by a link to a directory
// holding a file of that name: its whole path is not asked.
TEST(PosixWalkLookups, FileDeletedAfterTheListingReadsAsNotFound) {
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "its directory replaced by a link" : "deleted");
        const std::string dir = scratchDirectory();
        const std::string host = hostPath(dir);
        writeHostFile(host + "/Gone/Soon.exe", "1");
        writeHostFile(host + "/Outside/Soon.exe", "outside");
        const std::string gone = posix::asciiUpper(dir + "\\Gone");
        WorkingDirectoryGuard guard;
        ASSERT_TRUE(systemPlatform().enterDirectory("\"" + gone + "\""));
        auto listing = systemPlatform().newListing();
        ListingEntry entry;
        bool seen = false;
        for (ListingResult r = listing->first("\"*.*\"", entry); r == ListingResult::entry;
             r = listing->next(entry)) {
            if (entry.name != "Soon.exe")
                continue;
            seen = true;
            std::remove((host + "/Gone/Soon.exe").c_str());
            if (replaced) {
                std::filesystem::rename(host + "/Gone", host + "/Gone.away");
                std::filesystem::create_directory_symlink(host + "/Outside", host + "/Gone");
            }
            FileInformation info;
            EXPECT_EQ(systemPlatform().fileInformation("\"" + gone + "\\SOON.EXE\"", info),
                      PlatformStatus::notFound);
        }
        EXPECT_TRUE(seen);
    }
}

}  // namespace
}  // namespace velumtar::test
