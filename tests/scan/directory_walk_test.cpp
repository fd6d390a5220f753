#include "scan/directory_walk.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "files/file_contents.h"
#include "platform/read_ahead.h"
#include "platform/worker_runner.h"
#include "store/fault_injection.h"
#include "support/fake_reader.h"
#include "support/scan_fixture.h"
#include "ui/messages.h"
#include "util/text_field.h"

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

// Facts of a file of `size` bytes the in-memory platform added.
std::string listedFacts(std::uint64_t size, std::uint8_t attributes = attr::archive,
                        const std::string& userExtension = "    ") {
    return std::string(
        factsFrom(test::FakePlatform::addedFileInformation(size), attributes, userExtension).str());
}

std::string fileEntry(const std::string& path, std::string_view facts) {
    return key('F', path) + std::string(facts);
}

// Every case runs in both listing orders, on the platform itself and
// through reading ahead over the in-memory tree: with a worker that reads
// every directory as soon as it may, and with none, so that the walk's
// thread reads each itself.
enum class Reading { none, workers, walkThread };
struct Mode {
    Reading reading;
    bool reverse;
};
Mode mode;

class DirectoryWalkSuite : public testing::TestWithParam<Mode> {
  protected:
    void SetUp() override { mode = GetParam(); }
};

struct Walk : test::ScanFixture {
    FindingCounters counters;
    std::unique_ptr<readahead::ReadAheadPlatform> readAhead;
    DirectoryWalk walker{walked(), messages, workFile, list, counters};

    Walk() {
        platform.reverseListing = mode.reverse;
        EXPECT_TRUE(prepareWorkFile(workFile, messages));
    }
    Platform& walked() {
        if (mode.reading == Reading::none)
            return platform;
        readAhead = std::make_unique<readahead::ReadAheadPlatform>(
            platform, std::make_unique<test::FakeReader>(platform),
            std::make_unique<test::InlineRunner>(mode.reading == Reading::workers ? 1 : 0),
            readahead::Limits{});
        return *readAhead;
    }

    bool completes() { return walker.walk(kStart) == DirectoryWalk::Result::completed; }

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

TEST_P(DirectoryWalkSuite, EntersDirectoriesInKeyOrderAndRecordsQualifyingFiles) {
    Walk w;
    w.platform.addFile("C:\\Setup.exe", 1234);
    w.platform.addFile("C:\\readme.txt", 10);
    w.platform.addFile("C:\\Program Files\\App\\tool.dll", 7);
    w.platform.addFile("C:\\Windows\\System32\\drv.sys", 9);
    // Names below '*' sort before their parent: recorded, never entered.
    w.platform.addFile("C:\\$Recycle.Bin\\gone.exe", 1);
    w.platform.addFile("C:\\(old)\\old.exe", 1);
    w.platform.addDirectory("C:\\Empty");
    w.platform.addEntry("C:\\DISK.EXE", EntryKind::volumeLabel, attr::volumeLabel);

    EXPECT_TRUE(w.completes());
    EXPECT_EQ(w.entered(),
              (std::vector<std::string>{"\"C:\\\"", "\"C:\\EMPTY\"", "\"C:\\PROGRAM FILES\"",
                                        "\"C:\\PROGRAM FILES\\APP\"", "\"C:\\WINDOWS\"",
                                        "\"C:\\WINDOWS\\SYSTEM32\""}));
    if (w.readAhead) {
        EXPECT_EQ(w.readAhead->counts().served, 6u);
    } else {
        EXPECT_EQ(w.platform.readAheadBegun, 1);
        EXPECT_EQ(w.platform.readAheadEnded, 1);
    }
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
    // Every directory served: the system lists none.
    EXPECT_EQ(w.platform.mostOpenListings, w.readAhead ? 0 : 1);
    EXPECT_TRUE(w.platform.boxes.empty());
    EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 0u);
    w.expectTidyEnd();
}

TEST_P(DirectoryWalkSuite, ExcludedDirectoryNamesInAnyCaseAndInsideLongerNames) {
    Walk w;
    for (const char* dir : {"System Volume Information", "recycler", "MyRecycler", "CardSpace",
                            "old system volume information x", "CardSpaces", "Recycler.old"})
        w.platform.addFile(std::string("C:\\") + dir + "\\inside.exe", 1);
    EXPECT_TRUE(w.completes());
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

TEST_P(DirectoryWalkSuite, RootThatCannotBeEnteredOrListedEndsTheWalkWithoutAQuestion) {
    for (bool listingRefused : {false, true}) {
        SCOPED_TRACE(listingRefused ? "listing refused" : "not enterable");
        Walk w;
        w.platform.addFile("C:\\A.EXE", 1);
        if (listingRefused)
            w.platform.listingFaults["C:"] = {ListingResult::accessDenied, 0};
        else
            w.platform.directories.erase("C:");
        EXPECT_FALSE(w.completes());
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::enterDirectoryError("\"C:\\\""));
        EXPECT_EQ(w.platform.boxes[0].type, MessageService::boxType(messages::kError).flags());
        EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 1u);
        EXPECT_EQ(w.work(), std::vector<std::string>{directoryEntry("C:\\*")});
        w.expectTidyEnd();
    }
}

// A sub-directory that cannot be entered, or whose listing is refused at its
// first read, is counted and the user decides whether to go on.
TEST_P(DirectoryWalkSuite, LockedSubDirectoryAnsweredYesIsMarkedAndTheWalkGoesOn) {
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

        EXPECT_TRUE(w.completes());
        ASSERT_EQ(w.platform.boxes.size(), 2u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::enterDirectoryError("\"C:\\LOCKED\""));
        EXPECT_EQ(w.platform.boxes[1].text, messages::ignoreLockedQuestion("\"C:\\LOCKED\""));
        EXPECT_EQ(w.platform.boxes[1].type, MessageService::boxType(messages::kQuestion).flags());
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

TEST_P(DirectoryWalkSuite, LockedSubDirectoryAnsweredNoStopsTheWalk) {
    Walk w;
    w.platform.addDirectory("C:\\Locked").enterable = false;
    w.platform.addFile("C:\\Next\\a.exe", 2);
    w.platform.boxAnswers = {1, 7};  // OK, then No
    EXPECT_FALSE(w.completes());
    EXPECT_EQ(w.platform.boxes.size(), 2u);
    EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 1u);
    EXPECT_EQ(w.work(),
              (std::vector<std::string>{directoryEntry("C:\\*"), directoryEntry("C:\\LOCKED\\*"),
                                        directoryEntry("C:\\NEXT\\*")}));
    w.expectTidyEnd();
}

TEST_P(DirectoryWalkSuite, ListingErrorsStopTheWalk) {
    // An error at the first read or later, and a refusal after the first read.
    for (test::ListingFault fault :
         {test::ListingFault{ListingResult::error, 0}, test::ListingFault{ListingResult::error, 3},
          test::ListingFault{ListingResult::accessDenied, 2}}) {
        Walk w;
        w.platform.addFile("C:\\Data\\a.exe", 1);
        w.platform.addFile("C:\\Data\\b.exe", 1);
        w.platform.addFile("C:\\Later\\c.exe", 1);
        w.platform.listingFaults["C:\\DATA"] = fault;
        EXPECT_FALSE(w.completes());
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::listingError(kListing));
        EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 0u);
        std::vector<std::string> records = w.work();
        EXPECT_EQ(records.size(), fault.after == 3 ? 4u : 3u);  // A.EXE listed before the error
        w.expectTidyEnd();
    }
}

// A file whose facts its path does not give, under any status: passed over
// once the directory no longer lists it, described by the listing where the
// listing carries its facts (Windows); otherwise the walk stops with the box.
TEST_P(DirectoryWalkSuite, FileFactsFailureStopsTheWalkUnlessTheFileVanishedOrWasListedWithFacts) {
    enum class Outcome { skipped, stops, listingFacts };
    struct Case {
        PlatformStatus status;
        bool vanishes, listedWithFacts;
        Outcome outcome;
    };
    for (Case c : {Case{PlatformStatus::notFound, true, false, Outcome::skipped},
                   Case{PlatformStatus::notFound, false, false, Outcome::stops},
                   Case{PlatformStatus::accessDenied, false, false, Outcome::stops},
                   Case{PlatformStatus::notFound, false, true, Outcome::listingFacts},
                   Case{PlatformStatus::ioError, false, true, Outcome::listingFacts}}) {
        SCOPED_TRACE(static_cast<int>(c.status) * 10 + static_cast<int>(c.outcome));
        Walk w;
        test::FakeEntry& file = w.platform.addFile("C:\\Bad.exe", 1, attr::archive | attr::hidden);
        file.infoStatus = c.status;
        file.vanishes = c.vanishes;
        file.listedWithFacts = c.listedWithFacts;
        w.platform.addFile("C:\\Here.exe", 3);
        w.platform.addFile("C:\\Sub\\x.exe", 1);
        std::vector<std::string> walked = {directoryEntry("C:\\*"), directoryEntry("C:\\SUB\\*"),
                                           fileEntry("C:\\HERE.EXE", listedFacts(3)),
                                           fileEntry("C:\\SUB\\X.EXE", listedFacts(1))};
        if (c.outcome == Outcome::stops) {
            EXPECT_FALSE(w.completes());
            ASSERT_EQ(w.platform.boxes.size(), 1u);
            EXPECT_EQ(w.platform.boxes[0].text, messages::fileFactsError("C:\\BAD.EXE"));
            EXPECT_EQ(w.entered(), std::vector<std::string>{"\"C:\\\""});
        } else {
            if (c.outcome == Outcome::listingFacts)
                walked.insert(
                    walked.begin() + 2,
                    fileEntry("C:\\BAD.EXE", listedFacts(1, attr::archive | attr::hidden)));
            EXPECT_TRUE(w.completes());
            EXPECT_TRUE(w.platform.boxes.empty());
            EXPECT_EQ(w.work(), walked);
        }
        w.expectTidyEnd();
    }
}

TEST_P(DirectoryWalkSuite, FilePathsBeyond253CharactersGetZeroFactsAndShareTheirEntry) {
    Walk w;
    const std::string dir = "C:\\" + std::string(200, 'D');  // 203 characters
    const std::string stem = dir + "\\" + std::string(45, 'N');
    w.platform.addFile(stem + ".EXE", 5);  // 253 characters: full facts
    // Two paths that agree in their first 253 characters share one entry.
    w.platform.addFile(stem + "QQQQ1.EXE", 6);
    w.platform.addFile(stem + "QQQQ2.EXE", 7);
    w.platform.addFile(stem + std::string(50, 'Z') + ".DLL", 8);
    EXPECT_TRUE(w.completes());
    std::string longFacts(zeroFacts(true).str());
    EXPECT_EQ(w.work(),
              (std::vector<std::string>{directoryEntry("C:\\*"), directoryEntry(dir + "\\*"),
                                        fileEntry(stem + ".EXE", listedFacts(5)),
                                        fileEntry(stem + "QQQQ", longFacts),
                                        fileEntry(stem + "ZZZZ", longFacts)}));
    EXPECT_EQ(longFacts[0], 'L');
    EXPECT_TRUE(w.platform.boxes.empty());
}

TEST_P(DirectoryWalkSuite, DirectoryWithoutRoomForItsSuffixIsRecordedSkippedAndCounted) {
    Walk w;
    const std::string fits = "C:\\" + std::string(248, 'F');    // 251 characters
    const std::string noRoom = "C:\\" + std::string(249, 'G');  // 252 characters
    const std::string beyond = "C:\\" + std::string(255, 'H');  // 258 characters
    w.platform.addFile(fits + "\\a.exe", 1);                    // 257 characters: long file path
    w.platform.addDirectory(fits + "\\B");                      // 253 characters
    w.platform.addFile(noRoom + "\\inside.exe", 1);
    w.platform.addFile(beyond + "\\inside.exe", 1);

    EXPECT_TRUE(w.completes());
    EXPECT_EQ(w.entered(), (std::vector<std::string>{"\"C:\\\"", "\"" + fits + "\""}));
    // Reading ahead is told of none but the one the walk enters.
    const WalkRules rules(w.platform, {});
    std::string childKey;
    EXPECT_TRUE(rules.childKey("C:\\*", fits.substr(3), childKey));
    EXPECT_EQ(childKey, fits + "\\*");
    EXPECT_FALSE(rules.childKey(fits + "\\*", "B", childKey));
    EXPECT_FALSE(rules.childKey("C:\\*", noRoom.substr(3), childKey));
    EXPECT_TRUE(w.platform.boxes.empty());
    EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 3u);
    EXPECT_EQ(w.work(), (std::vector<std::string>{
                            directoryEntry("C:\\*"), directoryEntry(fits + "\\*"),
                            directoryEntry(fits + "\\B", 'G'), directoryEntry(noRoom, 'G'),
                            directoryEntry(beyond.substr(0, 253), 'G'),
                            fileEntry((fits + "\\A.EXE").substr(0, 253), zeroFacts(true).str())}));
    w.expectTidyEnd();
}

TEST_P(DirectoryWalkSuite, LinksJunctionsSpecialFilesAndBlankNamesAreNeitherEnteredNorRecorded) {
    Walk w;
    w.platform.addEntry("C:\\Link", EntryKind::reparsePoint, attr::directory);
    w.platform.addFile("C:\\Link\\through.exe", 1);
    w.platform.addEntry("C:\\pipe.exe", EntryKind::other, attr::archive);
    w.platform.addFile("C:\\real.exe", 1);
    w.platform.addFile("C:\\   \\blank.exe", 1);  // a directory named by blanks only
    EXPECT_TRUE(w.completes());
    EXPECT_EQ(w.entered(), std::vector<std::string>{"\"C:\\\""});
    EXPECT_EQ(w.work(), (std::vector<std::string>{directoryEntry("C:\\*"),
                                                  fileEntry("C:\\REAL.EXE", listedFacts(1))}));
}

// Names a POSIX file system allows: quotes are part of the name, a control
// character is kept as '?', trailing blanks fall off the fixed field, and a
// path cut at 253 bytes ends at a whole character. Each is still found,
// recorded with its facts and, for a directory, entered.
TEST_P(DirectoryWalkSuite, NamesKeepTheirQuotesShowControlsAsQuestionMarksAndLoseTrailingBlanks) {
    Walk w;
    w.platform.addFile("C:\\\"quoted\".exe", 1);
    w.platform.addFile("C:\\\"whole.exe\"", 9);  // its extension is EXE" (not watched)
    w.platform.addFile("C:\\say\"hi\".exe", 2);
    w.platform.addFile("C:\\line\nfeed\r.exe", 3);
    w.platform.addFile("C:\\tab\tbell\x07.exe", 4);
    w.platform.addFile("C:\\EVIL.EXE ", 5);
    w.platform.addFile("C:\\Y \\in.exe", 6);
    w.platform.addFile("C:\\Q \"dir\"\\q.exe", 7);
    std::string e64;
    for (int i = 0; i < 64; ++i)
        e64 += "\xc3\xa9";  // 64 times e acute, 128 bytes
    w.platform.addFile("C:\\" + e64 + "\\" + e64 + ".exe", 8);

    EXPECT_TRUE(w.completes());
    EXPECT_TRUE(w.platform.boxes.empty());
    EXPECT_EQ(w.entered(), (std::vector<std::string>{"\"C:\\\"", "\"C:\\Q \"DIR\"\"", "\"C:\\Y\"",
                                                     "\"C:\\" + e64 + "\""}));
    // The long path keeps 60 whole characters of its name (120 bytes) and
    // leaves the 253rd byte blank rather than hold half a character.
    const std::string cut = "C:\\" + e64 + "\\" + e64.substr(0, 120);
    ASSERT_EQ(cut.size(), 252u);
    EXPECT_EQ(w.work(), (std::vector<std::string>{
                            directoryEntry("C:\\*"), directoryEntry("C:\\Q \"DIR\"\\*"),
                            directoryEntry("C:\\Y\\*"), directoryEntry("C:\\" + e64 + "\\*"),
                            fileEntry("C:\\\"QUOTED\".EXE", listedFacts(1)),
                            fileEntry("C:\\EVIL.EXE", listedFacts(5)),
                            fileEntry("C:\\LINE?FEED?.EXE", listedFacts(3)),
                            fileEntry("C:\\Q \"DIR\"\\Q.EXE", listedFacts(7)),
                            fileEntry("C:\\SAY\"HI\".EXE", listedFacts(2)),
                            fileEntry("C:\\TAB?BELL?.EXE", listedFacts(4)),
                            fileEntry("C:\\Y\\IN.EXE", listedFacts(6)),
                            'F' + cut + " " + std::string(zeroFacts(true).str())}));
}

// Names that differ only in case map to one key: whatever the listing's
// order, the spelling a lookup finds is watched with its own facts, and every
// other spelling is recorded as a twin, counted as locked, never entered.
TEST_P(DirectoryWalkSuite, CaseTwinsWatchOneSpellingWhateverTheListingOrder) {
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "twins listed first" : "twins listed last");
        Walk w;
        w.platform.reverseListing = reverse;
        w.platform.addFile("C:\\Dir\\A.EXE", 5);  // added first: the one lookups find
        w.platform.addFile("C:\\Dir\\a.exe", 900);
        w.platform.addFile("C:\\Dir\\a.Exe", 901);
        w.platform.addDirectory("C:\\T");
        w.platform.addFile("C:\\T\\in.exe", 1);
        w.platform.addDirectory("C:\\t");

        EXPECT_TRUE(w.completes());
        EXPECT_TRUE(w.platform.boxes.empty());
        EXPECT_EQ(w.entered(), (std::vector<std::string>{"\"C:\\\"", "\"C:\\DIR\"", "\"C:\\T\""}));
        auto twin = [](const std::string& path, char kind) {
            std::string facts(zeroFacts(false).str());
            facts[68] = kind;
            return key('T', path) + facts;
        };
        // The directory entry of a name with twins says so.
        std::string twinsNoted = directoryEntry("C:\\T\\*");
        twinsNoted[254 + 68] = 'S';
        EXPECT_EQ(w.work(),
                  (std::vector<std::string>{directoryEntry("C:\\*"), directoryEntry("C:\\DIR\\*"),
                                            twinsNoted, fileEntry("C:\\DIR\\A.EXE", listedFacts(5)),
                                            fileEntry("C:\\T\\IN.EXE", listedFacts(1)),
                                            twin("C:\\DIR\\a.Exe", 'F'),
                                            twin("C:\\DIR\\a.exe", 'F'), twin("C:\\t", 'A')}));
        EXPECT_EQ(w.counters.value[FindingCounters::kLocked], 3u);
        w.expectTidyEnd();
    }
}

TEST_P(DirectoryWalkSuite, HiddenAndSystemFilesQualifyAndUserExtensionsAreMarked) {
    Walk w;
    const std::uint8_t all = attr::archive | attr::readOnly | attr::system | attr::hidden;
    w.platform.addFile("C:\\boot.sys", 4, all);
    w.platform.addDirectory("C:\\Hidden").attributes = attr::directory | attr::hidden;
    w.platform.addFile("C:\\Hidden\\photo.jpg", 5, attr::hidden);
    // The user's list holds .JPG; the walk opens and closes its database.
    ASSERT_TRUE(w.extensions.open(KeyedOpenMode::update));
    w.extensions.clearRecord();
    w.extensions.view().set(extrec::key, ".JPG");
    ASSERT_TRUE(w.extensions.store());
    w.extensions.close();
    w.extensions.setAvailable(true);
    w.extensions.useFullName(kStart);

    EXPECT_TRUE(w.completes());
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
TEST_P(DirectoryWalkSuite, FactsTakeTheAttributesOfTheFileNotOfTheListing) {
    Walk w;
    const std::uint8_t all = attr::archive | attr::readOnly | attr::system | attr::hidden;
    w.platform.addFile("C:\\boot.sys", 4, all).listedAttributes = attr::archive;
    w.platform.addFile("C:\\plain.exe", 2, attr::archive).listedAttributes = attr::readOnly;

    EXPECT_TRUE(w.completes());
    std::vector<std::string> records = w.work();
    EXPECT_EQ(records, (std::vector<std::string>{directoryEntry("C:\\*"),
                                                 fileEntry("C:\\BOOT.SYS", listedFacts(4, all)),
                                                 fileEntry("C:\\PLAIN.EXE", listedFacts(2))}));
    EXPECT_EQ(records[1].substr(254 + 59, 4), "ARSH");
    w.expectTidyEnd();
}

TEST_P(DirectoryWalkSuite, WorkFileStoreFailureIsReportedAndStopsTheWalk) {
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
        ASSERT_TRUE(w.workFile.open(KeyedOpenMode::input));
        EXPECT_FALSE(w.completes());
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text,
                  messages::fileError(rootPresent ? "REWRITE" : "WRITE", "C:\\VELUCMPT.TMP"));
        w.expectTidyEnd();
    }
}

// A record without the blanks of its path, for a readable difference. The
// in-memory files' identities differ from one platform to the next: a link
// entry's key is left out.
std::string compact(const std::string& record) {
    std::string out = record[0] == 'H' ? "H" : "";
    for (std::size_t i = out.size() == 1 ? 33 : 0; i < record.size(); ++i) {
        if (record[i] != ' ' || (i > 0 && record[i - 1] != ' '))
            out += record[i];
    }
    return out;
}

TEST(DirectoryWalk, ContentsReadOnWorkersLeaveTheWorkFileAsReadOnTheWalksThread) {
    auto drive = [](Walk& w) {
        // More files than the pool holds, hard links within and across
        // directories (their names' facts differ), twins, an unreadable file.
        w.platform.reverseListing = true;
        for (int i = 0; i < 150; ++i) {
            const std::string path =
                "C:\\D" + std::to_string(i % 3) + "\\F" + std::to_string(i) + ".EXE";
            w.platform.addFile(path, 3);
            w.platform.putFile(path, "f" + std::to_string(i));
        }
        for (const char* link : {"C:\\D0\\L1.EXE", "C:\\D0\\L2.EXE", "C:\\D2\\L3.EXE"}) {
            w.platform.addFile(
                link, 3,
                std::string(link).find("L2") != std::string::npos ? attr::hidden : attr::archive);
            w.platform.files[w.platform.normalise(link)] =
                w.platform.files[w.platform.normalise("C:\\D1\\F1.EXE")];
        }
        w.platform.addFile("C:\\D1\\Twin.exe", 3);
        w.platform.addFile("C:\\D1\\TWIN.EXE", 3);
        w.platform.putFile("C:\\D1\\TWIN.EXE", "twin");
        w.platform.refused.insert(w.platform.normalise("C:\\D2\\F5.EXE"));
    };
    Walk plain;
    drive(plain);
    plain.walker.readContents();
    ASSERT_TRUE(plain.completes());
    EXPECT_EQ(plain.counters.unreadableContents, 1u);
    // Each by the name listed, in the directory entered: no path to look up.
    EXPECT_GE(plain.platform.contentsOpened.size(), 150u);
    for (const std::string& opened : plain.platform.contentsOpened)
        EXPECT_EQ(opened.find('\\'), std::string::npos) << opened;
    const std::vector<std::string> expected = plain.work();
    ASSERT_EQ(std::count_if(expected.begin(), expected.end(),
                            [](const std::string& r) { return r[0] == 'H'; }),
              1);
    for (int threads : {1, 0}) {
        for (int every : {1, 3, 1000}) {
            SCOPED_TRACE(std::to_string(threads) + " " + std::to_string(every));
            Walk w;
            drive(w);
            w.walker.readContents(std::make_unique<test::InlineRunner>(every, threads));
            ASSERT_TRUE(w.completes());
            EXPECT_EQ(w.counters.unreadableContents, 1u);
            const std::vector<std::string> work = w.work();
            EXPECT_EQ(work.size(), expected.size());
            for (std::size_t i = 0; i < std::min(work.size(), expected.size()); ++i)
                EXPECT_EQ(compact(work[i]), compact(expected[i]));
        }
    }
}

#ifdef VELUMTAR_FAULT_INJECTION
// The next-directory step reads the entry of the directory just finished,
// then the next one: a failure of either ends the walk with the file error.
TEST_P(DirectoryWalkSuite, FailedReadOfTheNextDirectoryIsReportedAndEndsTheWalk) {
    // Reads 1 and 2 record the root and C:\SUB; 3 and 4 find the next
    // directory after the root.
    for (const char* fault : {"read:C:\\VELUCMPT.TMP:3", "read:C:\\VELUCMPT.TMP:4"}) {
        SCOPED_TRACE(fault);
        // The faults are forgotten only after the walk's files are closed, so
        // that no later test inherits them.
        struct Forget {
            ~Forget() { resetFaultInjection(); }
        } forget;
        Walk w;
        w.platform.addFile("C:\\Sub\\x.exe", 1);
        w.platform.env["VELUMTAR_FAULTS"] = fault;
        resetFaultInjection();
        EXPECT_FALSE(w.completes());
        ASSERT_EQ(w.platform.boxes.size(), 1u);
        EXPECT_EQ(w.platform.boxes[0].text, messages::fileError("READ", "C:\\VELUCMPT.TMP"));
        EXPECT_EQ(w.entered(), std::vector<std::string>{"\"C:\\\""});
        w.expectTidyEnd();
    }
}
#endif

std::string modeName(const testing::TestParamInfo<Mode>& info) {
    static const char* const reading[] = {"system", "workers", "walkThread"};
    return std::string(reading[static_cast<int>(info.param.reading)]) +
           (info.param.reverse ? "Reversed" : "");
}

INSTANTIATE_TEST_SUITE_P(, DirectoryWalkSuite,
                         testing::Values(Mode{Reading::none, false}, Mode{Reading::none, true},
                                         Mode{Reading::workers, false},
                                         Mode{Reading::workers, true},
                                         Mode{Reading::walkThread, false},
                                         Mode{Reading::walkThread, true}),
                         modeName);

}  // namespace
}  // namespace velumtar
