#include "db/comparison_passes.h"

#include <gtest/gtest.h>

#include "support/scan_fixture.h"

namespace velumtar {
namespace {

struct PassFixture : test::ScanFixture {
    FindingCounters counters;

    PassFixture() {
        EXPECT_TRUE(prepareWorkFile(workFile, messages));
        EXPECT_TRUE(database.open(KeyedOpenMode::update));
    }
    ~PassFixture() {
        workFile.close();
        database.close();
    }
    void walked(const std::string& path, const std::string& attributes = "A   ",
                const std::string& extension = "    ") {
        workFile.clearRecord();
        RecordView v = workFile.view();
        v.at(workrec::recordType) = 'F';
        v.set(workrec::path, path);
        std::uint8_t bits = 0;
        if (attributes[0] == 'A')
            bits |= attr::archive;
        if (attributes[1] == 'R')
            bits |= attr::readOnly;
        FileFacts f = sampleFacts(bits, extension);
        v.set(workrec::facts, f.str());
        EXPECT_FALSE(workFile.readByKey());
        v.at(workrec::recordType) = 'F';
        v.set(workrec::path, path);
        v.set(workrec::facts, f.str());
        EXPECT_TRUE(workFile.store());
    }
    void walkedDirectory(const std::string& pattern, char lockedMark = ' ') {
        workFile.clearRecord();
        RecordView v = workFile.view();
        v.at(workrec::recordType) = 'A';
        v.set(workrec::path, pattern);
        v.set(workrec::facts, zeroFacts(false).str());
        v.at(workrec::lockedMark) = lockedMark;
        EXPECT_TRUE(workFile.store());
    }
    void restartWalk() {
        workFile.close();
        EXPECT_TRUE(prepareWorkFile(workFile, messages));
    }
    // Key → flags of every file entry.
    std::map<std::string, std::string> flags() {
        std::map<std::string, std::string> out;
        database.setFirstFileKey();
        for (bool more = database.startAt(); more; more = database.readNext()) {
            RecordView v = database.view();
            std::string path(v.get(dbrec::path));
            while (!path.empty() && path.back() == ' ')
                path.pop_back();
            out[path] = std::string(v.get(dbrec::flags));
        }
        return out;
    }
    std::string storedStamp(const std::string& path) {
        database.clearRecord();
        database.view().at(dbrec::recordType) = 'F';
        database.view().set(dbrec::path, path);
        EXPECT_TRUE(database.readByKey());
        return std::string(database.view().get(Field{255, 30}));
    }
    void compare() {
        ASSERT_TRUE(markNewAndChanged(workFile, database, messages, counters));
        ASSERT_TRUE(sweepDeleted(workFile, database, messages, counters));
        EXPECT_EQ(database.readRunState(), RunState::none);
    }
};

TEST(ComparisonPasses, BuildThenCompareFindsNewChangedAndDeleted) {
    PassFixture f;
    f.walkedDirectory("C:\\*");
    f.walked("C:\\A.EXE");
    f.walked("C:\\B.DLL");
    f.walked("C:\\C.SYS");
    ASSERT_TRUE(buildAnew(f.workFile, f.database).success);
    EXPECT_EQ(f.flags().size(), 3u);

    f.setClock("20261208", "09000000");
    f.restartWalk();
    f.walked("C:\\A.EXE");          // unchanged
    f.walked("C:\\B.DLL", "AR  ");  // only an attribute changed
    f.walked("C:\\D.COM");          // new
    std::string before = f.storedStamp("C:\\A.EXE");
    f.compare();
    EXPECT_EQ(f.counters.value, (std::array<std::uint64_t, 4>{1, 1, 1, 0}));
    EXPECT_EQ(f.flags(), (std::map<std::string, std::string>{{"C:\\A.EXE", "   "},
                                                             {"C:\\B.DLL", " A "},
                                                             {"C:\\C.SYS", "  L"},
                                                             {"C:\\D.COM", "N  "}}));
    // The unchanged file was not rewritten.
    EXPECT_EQ(f.storedStamp("C:\\A.EXE"), before);
    EXPECT_EQ(f.storedStamp("C:\\B.DLL").substr(15, 15), "2026.12.0809:00");
}

TEST(ComparisonPasses, PendingFindingsAreReplacedOrCountedAgain) {
    PassFixture f;
    f.walked("C:\\A.EXE");
    f.walked("C:\\GONE.EXE");
    ASSERT_TRUE(buildAnew(f.workFile, f.database).success);
    f.restartWalk();
    f.walked("C:\\A.EXE", "AR  ");
    f.compare();
    EXPECT_EQ(f.counters.value, (std::array<std::uint64_t, 4>{0, 1, 1, 0}));
    // No report committed the findings; the next comparison sees the same
    // tree: the changed file keeps its pending flag and the deleted one is
    // flagged again, and both are counted again so that they are reported.
    f.compare();
    EXPECT_EQ(f.counters.value, (std::array<std::uint64_t, 4>{0, 1, 1, 0}));
    EXPECT_EQ(f.flags(),
              (std::map<std::string, std::string>{{"C:\\A.EXE", " A "}, {"C:\\GONE.EXE", "  L"}}));
    // A file that changes its extension mark counts as changed; a deleted
    // file that comes back unchanged is neither new nor deleted any more.
    f.restartWalk();
    f.walked("C:\\A.EXE", "AR  ", ".EXE");
    f.walked("C:\\GONE.EXE");
    f.compare();
    EXPECT_EQ(f.counters.value, (std::array<std::uint64_t, 4>{0, 1, 0, 0}));
    EXPECT_EQ(f.flags(),
              (std::map<std::string, std::string>{{"C:\\A.EXE", " A "}, {"C:\\GONE.EXE", "   "}}));
}

TEST(ComparisonPasses, WhereTheWalkCouldNotLookNothingIsDeleted) {
    PassFixture f;
    const std::string deep = "C:\\" + std::string(240, 'D') + "\\LONGER12";
    for (const char* path : {"C:\\OPEN\\A.EXE", "C:\\SHUT\\B.EXE", "C:\\SHUT\\IN\\C.EXE",
                             "C:\\OPEN\\SHUT\\D.EXE", "C:\\OPEN\\GONE.EXE"})
        f.walked(path);
    f.walked(deep + "\\E.EXE");
    f.walked("C:\\OPEN\\X.ABC", "A   ", ".ABC");
    ASSERT_TRUE(buildAnew(f.workFile, f.database).success);
    // The next walk: SHUT and OPEN\SHUT locked, the deep directory beyond
    // the path field, and the user's list not in use.
    f.restartWalk();
    f.walkedDirectory("C:\\*");
    f.walkedDirectory("C:\\OPEN\\*");
    f.walkedDirectory("C:\\SHUT\\*", 'G');
    f.walkedDirectory("C:\\OPEN\\SHUT\\*", 'G');
    f.walkedDirectory(deep, 'G');
    f.walked("C:\\OPEN\\A.EXE");
    ASSERT_TRUE(markNewAndChanged(f.workFile, f.database, f.messages, f.counters));
    ASSERT_TRUE(sweepDeleted(f.workFile, f.database, f.messages, f.counters, true));
    EXPECT_EQ(f.counters.value[FindingCounters::kDeleted], 1u);
    EXPECT_EQ(f.flags()["C:\\OPEN\\GONE.EXE"], "  L");
    // With the list in use, the file watched through it is deleted too.
    ASSERT_TRUE(sweepDeleted(f.workFile, f.database, f.messages, f.counters, false));
    EXPECT_EQ(f.counters.value[FindingCounters::kDeleted], 2u);
}

TEST(ComparisonPasses, DirectoryEntriesOnlyAndTheRunStateRecord) {
    PassFixture f;
    f.walkedDirectory("C:\\*");
    f.walkedDirectory("C:\\EMPTY\\*");
    ASSERT_TRUE(buildAnew(f.workFile, f.database).success);
    EXPECT_TRUE(f.flags().empty());
    f.compare();
    EXPECT_TRUE(f.counters.allZero());

    // An empty database: every walked file is new.
    f.walked("C:\\X.EXE");
    f.walked("C:\\Y.EXE");
    f.compare();
    EXPECT_EQ(f.counters.value[FindingCounters::kNew], 2u);

    // With only directories walked, every entry is swept as deleted; the
    // run-state record is not an entry.
    ASSERT_TRUE(f.database.storeRunState(RunState::comparing));
    f.restartWalk();
    f.walkedDirectory("C:\\*");
    ASSERT_TRUE(sweepDeleted(f.workFile, f.database, f.messages, f.counters));
    EXPECT_EQ(f.counters.value[FindingCounters::kDeleted], 2u);
}

TEST(ComparisonPasses, AFileFirstSeenIsFlaggedNewWithBothStamps) {
    PassFixture f;
    f.walked("C:\\NEW.EXE");
    ASSERT_TRUE(markNewAndChanged(f.workFile, f.database, f.messages, f.counters));
    std::string stamps = f.storedStamp("C:\\NEW.EXE");
    EXPECT_EQ(stamps.substr(0, 15), stamps.substr(15, 15));
}

}  // namespace
}  // namespace velumtar
