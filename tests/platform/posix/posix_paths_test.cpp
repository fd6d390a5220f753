// Drive mapping and case-insensitive name matching of the POSIX layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_test_util.h"
#include "support/scratch.h"
#include "util/name_mapping.h"

namespace velumtar::test {
namespace {

using posix::PathResolver;

std::string freshRoot() {
    return std::filesystem::canonical(hostPath(scratchDirectory())).string();
}

std::string mapped(PathResolver& resolver, std::string_view path) {
    std::string host;
    EXPECT_TRUE(resolver.hostPath(path, host)) << path;
    return host;
}

TEST(PathMapping, DrivePathsMapOntoTheRootAndBack) {
    const std::string root = freshRoot();
    PathResolver resolver(root + "/");
    EXPECT_EQ(resolver.root(), root);

    EXPECT_EQ(mapped(resolver, "C:"), root);
    EXPECT_EQ(mapped(resolver, "C:\\"), root);
    EXPECT_EQ(mapped(resolver, "c:\\A\\B"), root + "/A/B");
    EXPECT_EQ(mapped(resolver, "C:/A/B/"), root + "/A/B");
    EXPECT_EQ(mapped(resolver, "\"C:\\A\\B\""), root + "/A/B");
    EXPECT_EQ(mapped(resolver, "  \"C:\\A\\B   \"  "), root + "/A/B");
    EXPECT_EQ(mapped(resolver, "C:\\A\\.\\X\\..\\B"), root + "/A/B");
    EXPECT_EQ(mapped(resolver, "C:\\..\\..\\B"), root + "/B");
    EXPECT_EQ(mapped(resolver, "Z:\\"), "/");
    EXPECT_EQ(mapped(resolver, "Z:\\ETC\\PASSWD"), "/etc/passwd");
    std::string host;
    EXPECT_FALSE(resolver.hostPath("D:\\X", host));

    EXPECT_EQ(resolver.drivePath(root), "C:");
    EXPECT_EQ(resolver.drivePath(root + "/Tools/Bin"), "C:\\Tools\\Bin");
    EXPECT_EQ(
        resolver.drivePath(root + "x/y"), "Z:" + [&] {
            std::string s = root + "x\\y";
            for (char& c : s) {
                c = c == '/' ? '\\' : c;
            }
            return s;
        }());
    EXPECT_EQ(resolver.drivePath("/"), "Z:");
    EXPECT_EQ(resolver.drivePath("/home/User"), "Z:\\home\\User");

    PathResolver whole("/");
    EXPECT_EQ(whole.drivePath("/home/User"), "C:\\home\\User");
    EXPECT_EQ(whole.drivePath("/"), "C:");
}

TEST(PathMapping, RelativeNamesFollowTheWorkingDirectory) {
    const std::string root = freshRoot();
    std::filesystem::create_directories(root + "/Start/Sub");
    PathResolver resolver(root);
    WorkingDirectoryGuard guard;
    std::filesystem::current_path(root + "/Start/Sub");

    EXPECT_EQ(mapped(resolver, "VELULIST.DBI"), root + "/Start/Sub/VELULIST.DBI");
    EXPECT_EQ(mapped(resolver, "\"VELULIST.DBI\""), root + "/Start/Sub/VELULIST.DBI");
    EXPECT_EQ(mapped(resolver, "..\\X.TXT"), root + "/Start/X.TXT");
    EXPECT_EQ(mapped(resolver, "\\TOP.TXT"), root + "/TOP.TXT");
    EXPECT_EQ(mapped(resolver, ""), root + "/Start/Sub");
}

TEST(PathMapping, UpperCasedNamesFindTheRealEntries) {
    const std::string root = freshRoot();
    writeHostFile(root + "/Program Files/App/Tool.exe", "x");
    std::filesystem::create_directories(root + "/Data");
    std::filesystem::create_directories(root + "/DATA");
    PathResolver resolver(root);

    EXPECT_EQ(mapped(resolver, "C:\\PROGRAM FILES\\APP\\TOOL.EXE"),
              root + "/Program Files/App/Tool.exe");
    EXPECT_EQ(mapped(resolver, "C:\\program files\\app"), root + "/Program Files/App");
    // A new name keeps the case it was given, below the real directories.
    EXPECT_EQ(mapped(resolver, "C:\\PROGRAM FILES\\APP\\NEW.DAT"),
              root + "/Program Files/App/NEW.DAT");
    EXPECT_EQ(mapped(resolver, "C:\\PROGRAM FILES\\NOPE\\NEW.DAT"),
              root + "/Program Files/NOPE/NEW.DAT");
    // The exact name wins over a name that differs only in case.
    EXPECT_EQ(mapped(resolver, "C:\\DATA"), root + "/DATA");
    EXPECT_EQ(mapped(resolver, "C:\\Data"), root + "/Data");
    // Only ASCII letters fold.
    writeHostFile(root + "/\xc3\xa4pfel.txt", "x");
    EXPECT_EQ(mapped(resolver, "C:\\\xc3\xa4PFEL.TXT"), root + "/\xc3\xa4pfel.txt");
    EXPECT_EQ(mapped(resolver, "C:\\\xc3\x84PFEL.TXT"), root + "/\xc3\x84PFEL.TXT");
}

TEST(PathMapping, RemembersDirectoriesButNoticesWhenTheyChange) {
    const std::string root = freshRoot();
    writeHostFile(root + "/Program Files/App/Tool.exe", "x");
    PathResolver resolver(root);

    EXPECT_EQ(mapped(resolver, "C:\\PROGRAM FILES\\APP\\TOOL.EXE"),
              root + "/Program Files/App/Tool.exe");
    const auto scans = resolver.scanCount();
    EXPECT_EQ(mapped(resolver, "C:\\PROGRAM FILES\\APP\\TOOL.EXE"),
              root + "/Program Files/App/Tool.exe");
    EXPECT_EQ(resolver.scanCount(), scans)
        << "the directories are remembered, the file name was seen by the first scan";

    std::filesystem::rename(root + "/Program Files", root + "/Old");
    writeHostFile(root + "/PROGRAM files/app/TOOL.exe", "y");
    EXPECT_EQ(mapped(resolver, "C:\\PROGRAM FILES\\APP\\TOOL.EXE"),
              root + "/PROGRAM files/app/TOOL.exe");
}

// Names a POSIX file system allows are found under the name the tool keeps:
// upper case, a control character as '?', without trailing blanks, quotes
// mapped. Of several spellings of one name, the lookup finds the one
// spelt as asked, else the first in byte order, whatever the directory's
// order and whatever a listing noted first.
TEST(PathMapping, SpellingsOfANameAreFoundAndChosenWhateverTheOrder) {
    struct Case {
        std::vector<std::string> names;  // created in this order
        std::string asked;
        std::string found;
    };
    const Case cases[] = {
        {{"EVIL.EXE "}, "EVIL.EXE", "EVIL.EXE "},
        {{"line\nfeed\r.exe"}, "LINE?FEED?.EXE", "line\nfeed\r.exe"},
        {{"\"q.exe\""}, "\xef\x80\xa2Q.EXE\xef\x80\xa2", "\xef\x80\xa2q.exe\xef\x80\xa2"},
        {{"Twin.exe", "TWIN.exe"}, "TWIN.EXE", "TWIN.exe"},
        {{"TWIN.exe", "Twin.exe"}, "TWIN.EXE", "TWIN.exe"},
        {{"a.exe", "A.EXE", "A.exe"}, "A.EXE", "A.EXE"},
        {{"x.exe ", "X.EXE"}, "X.EXE", "X.EXE"},
        {{"x.exe ", "x.exe"}, "X.EXE", "x.exe"},
    };
    for (const Case& c : cases) {
        for (bool directories : {false, true}) {
            SCOPED_TRACE(c.asked + (directories ? " as directories" : ""));
            const std::string root = freshRoot();
            for (const std::string& name : c.names) {
                writeHostFile(root + "/" + name + (directories ? "/in.exe" : ""), name);
            }
            PathResolver resolver(root);
            std::string name;
            EXPECT_TRUE(resolver.canonicalName("\"C:\\" + c.asked + "\"", name));
            EXPECT_EQ(name, c.found);
            // A listing that noted the spellings in either order leads to the
            // same directory. (A file is looked up right after its own listing
            // and is found as listed: the walk tells twins apart itself.)
            for (bool reverse : {false, true}) {
                if (!directories) {
                    continue;
                }
                PathResolver listed(root);
                listed.beginListing(root);
                std::vector<std::string> order = c.names;
                if (reverse) {
                    std::reverse(order.begin(), order.end());
                }
                for (const std::string& spelling : order) {
                    listed.noteListed(driveName(spelling), directories);
                }
                EXPECT_EQ(mapped(listed, "\"C:\\" + c.asked + (directories ? "\\IN.EXE\"" : "\"")),
                          root + "/" + hostName(c.found) + (directories ? "/in.exe" : ""));
            }
        }
    }
}

// Every name a POSIX directory may hold has a drive name of its own, the
// characters a Windows path takes for syntax mapped, and that drive name
// leads to exactly its entry: a backslash is no separator, a lone backslash
// no way back to the parent. A listing delivers the same drive names.
TEST(PathMapping, EveryHostNameReachesItsOwnEntry) {
    const std::string root = freshRoot();
    const std::vector<std::string> hosts = {"X/Y.EXE",
                                            "X\\Y.EXE",
                                            "E/in.exe",
                                            "E\\/in.exe",
                                            "\\/in.exe",
                                            "\\\\.exe",
                                            "a:b*c?.exe",
                                            "<|>\".exe",
                                            "lit\xef\x81\x9c.exe",
                                            "esc\xef\x80\x80\xef\x81\x9c.exe"};
    std::set<std::string> drivePaths;
    for (const std::string& host : hosts) {
        writeHostFile(root + "/" + host, host);
    }
    PathResolver resolver(root);
    for (const std::string& host : hosts) {
        SCOPED_TRACE(host);
        std::string drive = "C:";
        for (std::size_t at = 0; at <= host.size();) {
            const std::size_t slash = std::min(host.find('/', at), host.size());
            drive += "\\" + driveName(host.substr(at, slash - at));
            at = slash + 1;
        }
        EXPECT_EQ(resolver.drivePath(root + "/" + host), drive);
        EXPECT_EQ(mapped(resolver, posix::asciiUpper(drive)), root + "/" + host);
        EXPECT_TRUE(drivePaths.insert(posix::asciiUpper(drive)).second);
    }
    std::unique_ptr<DirectoryListing> listing = posix::newHostListing(resolver);
    std::set<std::string> listed;
    ListingEntry entry;
    for (ListingResult r = listing->first("\"C:\\*.*\"", entry); r == ListingResult::entry;
         r = listing->next(entry)) {
        if (entry.kind != EntryKind::dotEntry) {
            listed.insert("C:\\" + entry.name);
        }
    }
    std::set<std::string> top;
    for (const std::string& host : hosts) {
        top.insert(resolver.drivePath(root + "/" + host.substr(0, host.find('/'))));
    }
    EXPECT_EQ(listed, top);
}

// A name written otherwise than its key is that spelling: the walk enters a
// directory whose name has several spellings by the one it watches. Neither
// the directories remembered by key nor a listing of such a directory,
// nested in another listing or not, lead a key to another spelling.
TEST(PathMapping, ASpellingReachesItselfAndTeachesNoKey) {
    const std::string root = freshRoot();
    writeHostFile(root + "/sys/sub/a.exe", "");
    writeHostFile(root + "/SYS/sub/b.exe", "");
    PathResolver resolver(root);
    auto listAll = [&](const std::string& pattern, const std::function<void()>& within = {}) {
        std::unique_ptr<DirectoryListing> listing = posix::newHostListing(resolver);
        ListingEntry entry;
        for (ListingResult r = listing->first(pattern, entry); r == ListingResult::entry;
             r = listing->next(entry)) {
            if (within && entry.name == "sys") {
                within();
            }
        }
    };
    listAll("\"C:\\*.*\"", [&] {
        // Within the listing of the root: a look into the spelling "sys".
        listAll("\"C:\\sys\\*.*\"");
        EXPECT_EQ(resolver.listedDirectory(), root);
    });
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(mapped(resolver, "C:\\SYS\\SUB\\B.EXE"), root + "/SYS/sub/b.exe");
        EXPECT_EQ(mapped(resolver, "C:\\sys\\SUB\\A.EXE"), root + "/sys/sub/a.exe");
    }
}

TEST(PathMapping, ListedNamesAreFoundWithoutScanning) {
    const std::string root = freshRoot();
    const std::string dir = root + "/Big";
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        names.push_back("File" + std::to_string(i) + ".Exe");
        writeHostFile(dir + "/" + names.back(), "");
    }
    writeHostFile(dir + "/Sub Dir/TOOL.EXE", "");
    PathResolver resolver(root);
    resolver.beginListing(dir);
    const auto scans = resolver.scanCount();
    // A file just listed is found by its upper-cased name...
    for (const std::string& name : names) {
        resolver.noteListed(name);
        EXPECT_EQ(mapped(resolver, "C:\\BIG\\" + posix::asciiUpper(name)), dir + "/" + name);
    }
    // ...and so is a directory listed before the files that followed it.
    resolver.noteListed("Sub Dir", true);
    resolver.noteListed(names[0]);
    EXPECT_EQ(mapped(resolver, "C:\\BIG\\SUB DIR\\TOOL.EXE"), dir + "/Sub Dir/TOOL.EXE");
    EXPECT_EQ(resolver.scanCount(), scans);
}

TEST(PathMapping, OneScanAnswersTheSubDirectoriesThatFollowInKeyOrder) {
    const std::string root = freshRoot();
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "Dir" + std::to_string(10000 + i);
        std::filesystem::create_directories(root + "/" + name);
        keys.push_back(posix::asciiUpper(name));
    }
    PathResolver resolver(root);
    const auto scans = resolver.scanCount();
    for (const std::string& key : keys) {
        ASSERT_EQ(mapped(resolver, "C:\\" + key), root + "/Dir" + key.substr(3));
    }
    // Each scan answers a window's worth of the names that follow.
    const std::size_t window = posix::ScanWindows::windowSize;
    EXPECT_EQ(resolver.scanCount(), scans + (keys.size() + window - 1) / window);

    // A name seen by a scan but gone since is looked for on the disk again.
    std::filesystem::rename(root + "/Dir10005", root + "/dIR10005");
    std::filesystem::rename(root + "/Dir10006", root + "/elsewhere");
    const auto before = resolver.scanCount();
    EXPECT_EQ(mapped(resolver, "C:\\DIR10005"), root + "/dIR10005");
    EXPECT_EQ(mapped(resolver, "C:\\DIR10006"), root + "/DIR10006");
    EXPECT_EQ(resolver.scanCount(), before + 2);
}

TEST(PathMapping, EnteringADirectoryMovesTheWorkingDirectoryAndRelativeNames) {
    const std::string root = freshRoot();
    std::filesystem::create_directories(root + "/A/B/C");
    WorkingDirectoryGuard guard;
    PathResolver resolver(root);
    ASSERT_TRUE(resolver.enter(root + "/A"));
    ASSERT_TRUE(resolver.enter(root + "/A/B/C"));  // below: a relative change
    EXPECT_EQ(std::filesystem::current_path(), root + "/A/B/C");
    EXPECT_EQ(mapped(resolver, "X.TXT"), root + "/A/B/C/X.TXT");
    ASSERT_TRUE(resolver.enter(root + "/A"));  // above: the whole path
    EXPECT_EQ(std::filesystem::current_path(), root + "/A");
    EXPECT_FALSE(resolver.enter(root + "/A/NONE"));
    EXPECT_EQ(std::filesystem::current_path(), root + "/A");
    EXPECT_EQ(mapped(resolver, "..\\Y.TXT"), root + "/Y.TXT");

    // The working directory removed and made again: the relative change
    // finds nothing below the removed one, the whole path finds the new one.
    std::filesystem::remove_all(root + "/A");
    std::filesystem::create_directories(root + "/A/B");
    ASSERT_TRUE(resolver.enter(root + "/A/B"));
    EXPECT_EQ(std::filesystem::current_path(), root + "/A/B");
}

TEST(PathMapping, DriveRootChoice) {
    const std::string root = freshRoot();
    std::filesystem::create_directories(root + "/prefix/drive_c");
    std::filesystem::create_directories(root + "/home/.wine/drive_c");
    std::filesystem::create_directories(root + "/bare");
    const std::string prefix = root + "/prefix", home = root + "/home";

    EXPECT_EQ(posix::chooseDriveRoot("/mnt/c", prefix.c_str(), home.c_str()), "/mnt/c");
    EXPECT_EQ(posix::chooseDriveRoot("", prefix.c_str(), home.c_str()), prefix + "/drive_c");
    EXPECT_EQ(posix::chooseDriveRoot(nullptr, prefix.c_str(), home.c_str()), prefix + "/drive_c");
    EXPECT_EQ(posix::chooseDriveRoot(nullptr, home.c_str(), home.c_str()), home + "/.wine/drive_c");
    EXPECT_EQ(posix::chooseDriveRoot(nullptr, nullptr, home.c_str()), home + "/.wine/drive_c");
    const std::string bare = root + "/bare";
    EXPECT_EQ(posix::chooseDriveRoot(nullptr, prefix.c_str(), bare.c_str()), prefix + "/drive_c");
    EXPECT_EQ(posix::chooseDriveRoot(nullptr, bare.c_str(), bare.c_str()), bare);
    EXPECT_EQ(posix::chooseDriveRoot(nullptr, nullptr, nullptr), "/");
}

TEST(PathMapping, TextHelpers) {
    EXPECT_EQ(posix::asciiUpper("abc xyz \xc3\xa4\xff"), "ABC XYZ \xc3\xa4\xff");
    EXPECT_EQ(posix::stripPathQuotes("\"*.*\""), "*.*");
    EXPECT_EQ(posix::stripPathQuotes("\"C:\\A"), "C:\\A");
    EXPECT_EQ(posix::stripPathQuotes("C:\\A\"   "), "C:\\A");
    EXPECT_EQ(posix::stripPathQuotes("\"\""), "");
    EXPECT_TRUE(posix::asciiEqualFold("Program Files", "PROGRAM FILES"));
    EXPECT_FALSE(posix::asciiEqualFold("\xc3\xa4", "\xc3\x84"));
    EXPECT_FALSE(posix::asciiEqualFold("ab", "abc"));
}

}  // namespace
}  // namespace velumtar::test
