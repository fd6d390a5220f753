#include "scan/directory_walk.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "files/text_field.h"
#include "support/scan_fixture.h"
#include "ui/messages.h"

namespace velumtar {
namespace {

const std::string kStart = padded("C:\\TOOLS\\*", 255);
const std::string kListing = "\"*.*\"";

std::string key(char type, const std::string& path) {
    return type + padded(path, 253);
}

std::string directoryEntry(const std::string& path, char mark = ' ') {
    std::string facts(zeroFacts(false).str());
    facts.back() = mark;
    return key('A', path) + facts;
}

// Facts of a file added by the in-memory platform: written 2025-06-30 08:15:42.
std::string listedFacts(std::uint64_t size, std::uint8_t attributes = attr::archive,
                        const std::string& userExtension = "    ") {
    FileInformation info;
    info.size = size;
    info.year = 2025;
    info.month = 6;
    info.day = 30;
    info.hour = 8;
    info.minute = 15;
    info.second = 42;
    return std::string(factsFrom(info, attributes, userExtension).str());
}

std::string fileEntry(const std::string& path, std::string_view facts) {
    return key('F', path) + std::string(facts);
}

struct Walk : test::ScanFixture {
    FindingCounters counters;
    DirectoryWalk walker{platform, messages, workFile, list, counters};

    Walk() { EXPECT_TRUE(prepareWorkFile(workFile, messages)); }

    char run() { return walker.walk(kStart); }

    std::vector<std::string> work() {
        std::vector<std::string> out;
        workFile.clearRecord();
        for (bool more = workFile.startAt(); more; more = workFile.readNext())
            out.emplace_back(workFile.record(), workFile.recordLength());
        return out;
    }
    std::vector<std::string> entered() const {
        return {platform.changeRequests.begin(), platform.changeRequests.end() - 1};
    }
    // Whatever way the walk ended, it leaves no listing open, the extension
    // database closed and the working directory where it started.
    void expectTidyEnd() const {
        EXPECT_EQ(platform.workingDirectory, "C:\\TOOLS");
        ASSERT_FALSE(platform.changeRequests.empty());
        EXPECT_EQ(platform.changeRequests.back(), "\"C:\\TOOLS\"");
        EXPECT_EQ(platform.openListings, 0);
        EXPECT_FALSE(extensions.isOpen());
        EXPECT_TRUE(workFile.isOpen());
    }
};

TEST(DirectoryWalk, EntersDirectoriesInKeyOrderAndRecordsQualifyingFiles) {
    Walk w;
    w.platform.reverseListing = true;  // the listing's order must not matter
    w.platform.addFile("C:\\Setup.exe", 1234);
    w.platform.addFile("C:\\readme.txt", 10);
    w.platform.addFile("C:\\Program Files\\App\\tool.dll", 7);
    w.platform.addFile("C:\\Windows\\System32\\drv.sys", 9);
    // Names below '*' sort before their parent: recorded, never entered.
    w.platform.addFile("C:\\$Recycle.Bin\\gone.exe", 1);
    w.platform.addFile("C:\\(old)\\old.exe", 1);
    w.platform.addDirectory("C:\\Empty");
    w.platform.addEntry("C:\\DISK.EXE", EntryKind::volumeLabel, attr::volumeLabel);

    EXPECT_EQ(w.run(), 'J');
    EXPECT_EQ(w.entered(),
              (std::vector<std::string>{"\"C:\\\"", "\"C:\\EMPTY\"", "\"C:\\PROGRAM FILES\"",
                                        "\"C:\\PROGRAM FILES\\APP\"", "\"C:\\WINDOWS\"",
                                        "\"C:\\WINDOWS\\SYSTEM32\""}));
    // The directories it enters later were announced for reading ahead, each
    // when its parent's listing delivered it.
    std::vector<std::string> announced;
    for (const std::string& pattern : w.platform.readAheads)
        announced.emplace_back(trimmedRight(pattern));
    std::sort(announced.begin(), announced.end());
    EXPECT_EQ(announced, (std::vector<std::string>{"C:\\EMPTY\\*", "C:\\PROGRAM FILES\\*",
                                                   "C:\\PROGRAM FILES\\APP\\*", "C:\\WINDOWS\\*",
                                                   "C:\\WINDOWS\\SYSTEM32\\*"}));
    EXPECT_EQ(w.platform.readAheadBegun, 1);
    EXPECT_EQ(w.platform.readAheadEnded, 1);
    std::string setupFacts = " 20250630081542" + std::string(12, ' ') + "0000000000001234" +
                             std::string(16, ' ') + "A   " + std::string(10, ' ');
    EXPECT_EQ(w.work(), (std::vector<std::string>{
                            directoryEntry("C:\\$RECYCLE.BIN\\*"),
                            directoryEntry("C:\\(OLD)\\*"),
                            directoryEntry("C:\\*"),
                            directoryEntry("C:\\EMPTY\\*"),
                            directoryEntry("C:\\PROGRAM FILES\\*"),
                            directoryEntry("C:\\PROGRAM FILES\\APP\\*"),
                            directoryEntry("C:\\WINDOWS\\*"),
                            directoryEntry("C:\\WINDOWS\\SYSTEM32\\*"),
                            fileEntry("C:\\PROGRAM FILES\\APP\\TOOL.DLL", listedFacts(7)),
                            fileEntry("C:\\SETUP.EXE", setupFacts),
                            fileEntry("C:\\WINDOWS\\SYSTEM32\\DRV.SYS", listedFacts(9)),
                        }));
    for (const std::string& pattern : w.platform.listingPatterns)
        EXPECT_EQ(pattern, kListing);
    EXPECT_EQ(w.platform.mostOpenListings, 1);
    EXPECT_TRUE(w.platform.boxes.empty());
    EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 0u);
    w.expectTidyEnd();
}

TEST(DirectoryWalk, ExcludedDirectoryNamesInAnyCaseAndInsideLongerNames) {
    Walk w;
    for (const char* dir : {"System Volume Information", "recycler", "MyRecycler", "CardSpace",
                            "old system volume information x", "CardSpaces", "Recycler.old"})
        w.platform.addFile(std::string("C:\\") + dir + "\\inside.exe", 1);
    EXPECT_EQ(w.run(), 'J');
    // The table entries carry their trailing blanks: CARDSPACE and RECYCLER
    // exclude only at the end of a name.
    EXPECT_EQ(w.entered(),
              (std::vector<std::string>{"\"C:\\\"", "\"C:\\CARDSPACES\"", "\"C:\\RECYCLER.OLD\""}));
    EXPECT_EQ(w.work(), (std::vector<std::string>{
                            directoryEntry("C:\\*"), directoryEntry("C:\\CARDSPACES\\*"),
                            directoryEntry("C:\\RECYCLER.OLD\\*"),
                            fileEntry("C:\\CARDSPACES\\INSIDE.EXE", listedFacts(1)),
                            fileEntry("C:\\RECYCLER.OLD\\INSIDE.EXE", listedFacts(1))}));
}

TEST(DirectoryWalk, RootThatCannotBeEnteredOrListedEndsTheWalkWithoutAQuestion) {
    for (bool listingRefused : {false, true}) {
        SCOPED_TRACE(listingRefused ? "listing refused" : "not enterable");
        Walk w;
        w.platform.addFile("C:\\A.EXE", 1);
        if (listingRefused)
            w.platform.listingFaults["C:"] = {ListingResult::accessDenied, 0};
        else
            w.platform.directories.erase("C:");
        EXPECT_EQ(w.run(), 'N');
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::enterDirectoryError("\"C:\\\""));
        EXPECT_EQ(w.platform.boxes[0].type, MessageService::boxType(messages::kError));
        EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 1u);
        EXPECT_EQ(w.work(), std::vector<std::string>{directoryEntry("C:\\*")});
        w.expectTidyEnd();
    }
}

// A sub-directory that cannot be entered, or whose listing is refused at its
// first read, is counted and the user decides whether to go on.
TEST(DirectoryWalk, LockedSubDirectoryAnsweredYesIsMarkedAndTheWalkGoesOn) {
    for (bool listingRefused : {false, true}) {
        SCOPED_TRACE(listingRefused ? "listing refused" : "not enterable");
        Walk w;
        w.platform.addFile("C:\\Locked\\secret.exe", 1);
        w.platform.addFile("C:\\Next\\a.exe", 2);
        if (listingRefused)
            w.platform.listingFaults["C:\\LOCKED"] = {ListingResult::accessDenied, 0};
        else
            w.platform.tree["C:\\LOCKED"].enterable = false;
        w.platform.boxAnswers = {1, 6};  // OK, then Yes

        EXPECT_EQ(w.run(), 'J');
        ASSERT_EQ(w.platform.boxes.size(), 2u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::enterDirectoryError("\"C:\\LOCKED\""));
        EXPECT_EQ(w.platform.boxes[1].text, messages::ignoreLockedQuestion("\"C:\\LOCKED\""));
        EXPECT_EQ(w.platform.boxes[1].type, MessageService::boxType(messages::kQuestion));
        EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 1u);
        std::vector<std::string> records = w.work();
        EXPECT_EQ(records, (std::vector<std::string>{
                               directoryEntry("C:\\*"), directoryEntry("C:\\LOCKED\\*", 'G'),
                               directoryEntry("C:\\NEXT\\*"),
                               fileEntry("C:\\NEXT\\A.EXE", listedFacts(2))}));
        EXPECT_EQ(records[1][326], 'G');
        w.expectTidyEnd();
    }
}

TEST(DirectoryWalk, LockedSubDirectoryAnsweredNoStopsTheWalk) {
    Walk w;
    w.platform.addDirectory("C:\\Locked").enterable = false;
    w.platform.addFile("C:\\Next\\a.exe", 2);
    w.platform.boxAnswers = {1, 7};  // OK, then No
    EXPECT_EQ(w.run(), 'N');
    EXPECT_EQ(w.platform.boxes.size(), 2u);
    EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 1u);
    EXPECT_EQ(w.work(),
              (std::vector<std::string>{directoryEntry("C:\\*"), directoryEntry("C:\\LOCKED\\*"),
                                        directoryEntry("C:\\NEXT\\*")}));
    w.expectTidyEnd();
}

TEST(DirectoryWalk, ListingErrorsStopTheWalk) {
    // An error at the first read or later, and a refusal after the first read.
    for (test::ListingFault fault :
         {test::ListingFault{ListingResult::error, 0}, test::ListingFault{ListingResult::error, 3},
          test::ListingFault{ListingResult::accessDenied, 2}}) {
        Walk w;
        w.platform.addFile("C:\\Data\\a.exe", 1);
        w.platform.addFile("C:\\Data\\b.exe", 1);
        w.platform.addFile("C:\\Later\\c.exe", 1);
        w.platform.listingFaults["C:\\DATA"] = fault;
        EXPECT_EQ(w.run(), 'N');
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::listingError(kListing));
        EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 0u);
        std::vector<std::string> records = w.work();
        EXPECT_EQ(records.size(), fault.after == 3 ? 4u : 3u);  // A.EXE listed before the error
        w.expectTidyEnd();
    }
}

TEST(DirectoryWalk, FileFactsFailureStopsTheWalkButAVanishedFileIsSkipped) {
    Walk w;
    w.platform.addFile("C:\\Gone.exe", 1).infoStatus = PlatformStatus::notFound;
    w.platform.addFile("C:\\Here.exe", 3);
    EXPECT_EQ(w.run(), 'J');
    EXPECT_TRUE(w.platform.boxes.empty());
    EXPECT_EQ(w.work(), (std::vector<std::string>{directoryEntry("C:\\*"),
                                                  fileEntry("C:\\HERE.EXE", listedFacts(3))}));

    Walk failing;
    failing.platform.addFile("C:\\Bad.exe", 1).infoStatus = PlatformStatus::accessDenied;
    failing.platform.addFile("C:\\Sub\\x.exe", 1);
    EXPECT_EQ(failing.run(), 'N');
    ASSERT_EQ(failing.platform.boxes.size(), 1u);
    EXPECT_EQ(failing.platform.boxes[0].text, messages::fileFactsError("C:\\BAD.EXE"));
    EXPECT_EQ(failing.entered(), std::vector<std::string>{"\"C:\\\""});
    failing.expectTidyEnd();
}

TEST(DirectoryWalk, FilePathsBeyond253CharactersGetZeroFactsAndShareTheirEntry) {
    Walk w;
    const std::string dir = "C:\\" + std::string(200, 'D');  // 203 characters
    const std::string stem = dir + "\\" + std::string(45, 'N');
    w.platform.addFile(stem + ".EXE", 5);  // 253 characters: full facts
    // Two paths that agree in their first 253 characters share one entry.
    w.platform.addFile(stem + "QQQQ1.EXE", 6);
    w.platform.addFile(stem + "QQQQ2.EXE", 7);
    w.platform.addFile(stem + std::string(50, 'Z') + ".DLL", 8);
    EXPECT_EQ(w.run(), 'J');
    std::string longFacts(zeroFacts(true).str());
    EXPECT_EQ(w.work(),
              (std::vector<std::string>{directoryEntry("C:\\*"), directoryEntry(dir + "\\*"),
                                        fileEntry(stem + ".EXE", listedFacts(5)),
                                        fileEntry(stem + "QQQQ", longFacts),
                                        fileEntry(stem + "ZZZZ", longFacts)}));
    EXPECT_EQ(longFacts[0], 'L');
    EXPECT_TRUE(w.platform.boxes.empty());
}

TEST(DirectoryWalk, DirectoryWithoutRoomForItsSuffixIsRecordedSkippedAndCounted) {
    Walk w;
    const std::string fits = "C:\\" + std::string(248, 'F');    // 251 characters
    const std::string noRoom = "C:\\" + std::string(249, 'G');  // 252 characters
    const std::string beyond = "C:\\" + std::string(255, 'H');  // 258 characters
    w.platform.addFile(fits + "\\a.exe", 1);                    // 257 characters: long file path
    w.platform.addDirectory(fits + "\\B");                      // 253 characters
    w.platform.addFile(noRoom + "\\inside.exe", 1);
    w.platform.addFile(beyond + "\\inside.exe", 1);

    EXPECT_EQ(w.run(), 'J');
    EXPECT_EQ(w.entered(), (std::vector<std::string>{"\"C:\\\"", "\"" + fits + "\""}));
    // Skipped directories are not announced for reading ahead.
    ASSERT_EQ(w.platform.readAheads.size(), 1u);
    EXPECT_EQ(trimmedRight(w.platform.readAheads[0]), fits + "\\*");
    EXPECT_TRUE(w.platform.boxes.empty());
    EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 3u);
    EXPECT_EQ(w.work(), (std::vector<std::string>{
                            directoryEntry("C:\\*"), directoryEntry(fits + "\\*"),
                            directoryEntry(fits + "\\B", 'G'), directoryEntry(noRoom, 'G'),
                            directoryEntry(beyond.substr(0, 253), 'G'),
                            fileEntry((fits + "\\A.EXE").substr(0, 253), zeroFacts(true).str())}));
    w.expectTidyEnd();
}

TEST(DirectoryWalk, LinksJunctionsSpecialFilesAndBlankNamesAreNeitherEnteredNorRecorded) {
    Walk w;
    w.platform.addEntry("C:\\Link", EntryKind::reparsePoint, attr::directory);
    w.platform.addFile("C:\\Link\\through.exe", 1);
    w.platform.addEntry("C:\\pipe.exe", EntryKind::other, attr::archive);
    w.platform.addFile("C:\\real.exe", 1);
    w.platform.addFile("C:\\   \\blank.exe", 1);  // a directory named by blanks only
    EXPECT_EQ(w.run(), 'J');
    EXPECT_EQ(w.entered(), std::vector<std::string>{"\"C:\\\""});
    EXPECT_EQ(w.work(), (std::vector<std::string>{directoryEntry("C:\\*"),
                                                  fileEntry("C:\\REAL.EXE", listedFacts(1))}));
}

TEST(DirectoryWalk, OnlyNamesDeliveredInQuotesLoseThem) {
    Walk w;
    w.platform.addFile("C:\\quoted.exe", 1).name = "\"quoted.exe\"";
    w.platform.addDirectory("C:\\In Quotes").name = "\"In Quotes\"";
    w.platform.addFile("C:\\In Quotes\\x.bat", 2);
    w.platform.addFile("C:\\say\"hi\".exe", 3);  // a POSIX name holding quotes
    w.platform.addFile("C:\\\"draft.exe", 4);
    EXPECT_EQ(w.run(), 'J');
    EXPECT_EQ(w.work(),
              (std::vector<std::string>{directoryEntry("C:\\*"), directoryEntry("C:\\IN QUOTES\\*"),
                                        fileEntry("C:\\\"DRAFT.EXE", listedFacts(4)),
                                        fileEntry("C:\\IN QUOTES\\X.BAT", listedFacts(2)),
                                        fileEntry("C:\\QUOTED.EXE", listedFacts(1)),
                                        fileEntry("C:\\SAY\"HI\".EXE", listedFacts(3))}));
}

TEST(DirectoryWalk, HiddenAndSystemFilesQualifyAndUserExtensionsAreMarked) {
    Walk w;
    const std::uint8_t all = attr::archive | attr::readOnly | attr::system | attr::hidden;
    w.platform.addFile("C:\\boot.sys", 4, all);
    w.platform.addDirectory("C:\\Hidden").attributes = attr::directory | attr::hidden;
    w.platform.addFile("C:\\Hidden\\photo.jpg", 5, attr::hidden);
    // The user's list holds .JPG; the walk opens and closes its database.
    ASSERT_TRUE(w.extensions.open('-'));
    w.extensions.clearRecord();
    w.extensions.view().set(extrec::key, ".JPG");
    ASSERT_TRUE(w.extensions.store());
    w.extensions.close();
    w.extensions.available = '1';
    w.extensions.useFullName(kStart);

    EXPECT_EQ(w.run(), 'J');
    std::vector<std::string> records = w.work();
    EXPECT_EQ(records,
              (std::vector<std::string>{
                  directoryEntry("C:\\*"), directoryEntry("C:\\HIDDEN\\*"),
                  fileEntry("C:\\BOOT.SYS", listedFacts(4, all)),
                  fileEntry("C:\\HIDDEN\\PHOTO.JPG", listedFacts(5, attr::hidden, ".JPG"))}));
    EXPECT_EQ(records[2].substr(254 + 59, 4), "ARSH");
    EXPECT_EQ(records[3].substr(254 + 63, 5), "E.JPG");
    w.expectTidyEnd();
}

// A listing may report only what a file's name tells; the facts carry the
// attributes of the file itself.
TEST(DirectoryWalk, FactsTakeTheAttributesOfTheFileNotOfTheListing) {
    Walk w;
    const std::uint8_t all = attr::archive | attr::readOnly | attr::system | attr::hidden;
    w.platform.addFile("C:\\boot.sys", 4, all).listedAttributes = attr::archive;
    w.platform.addFile("C:\\plain.exe", 2, attr::archive).listedAttributes = attr::readOnly;

    EXPECT_EQ(w.run(), 'J');
    std::vector<std::string> records = w.work();
    EXPECT_EQ(records, (std::vector<std::string>{directoryEntry("C:\\*"),
                                                 fileEntry("C:\\BOOT.SYS", listedFacts(4, all)),
                                                 fileEntry("C:\\PLAIN.EXE", listedFacts(2))}));
    EXPECT_EQ(records[1].substr(254 + 59, 4), "ARSH");
    w.expectTidyEnd();
}

TEST(DirectoryWalk, WorkFileStoreFailureIsReportedAndStopsTheWalk) {
    // A work file that only reads: the root entry is written when new and
    // rewritten when a previous entry is there.
    for (bool rootPresent : {false, true}) {
        Walk w;
        w.platform.addFile("C:\\a.exe", 1);
        if (rootPresent) {
            w.workFile.clearRecord();
            w.workFile.view().set(workrec::key, key('A', "C:\\*"));
            ASSERT_TRUE(w.workFile.store());
        }
        w.workFile.close();
        ASSERT_TRUE(w.workFile.open('I'));
        EXPECT_EQ(w.run(), 'N');
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text,
                  messages::fileError(rootPresent ? "REWRITE" : "WRITE", "C:\\VELUCMPT.TMP"));
        w.expectTidyEnd();
    }
}

}  // namespace
}  // namespace velumtar
