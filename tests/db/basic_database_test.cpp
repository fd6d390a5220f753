#include "db/basic_database.h"

#include <gtest/gtest.h>

#include "support/scan_fixture.h"

namespace velumtar {
namespace {

using test::ScanFixture;

TEST(BasicDatabase, StoreStampsNewAndRewrittenRecords) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    f.database.clearRecord();
    RecordView v = f.database.view();
    v.at(dbrec::recordType) = 'F';
    v.set(dbrec::path, "C:\\A.EXE");
    EXPECT_FALSE(f.database.readByKey());
    v.at(dbrec::recordType) = 'F';
    v.set(dbrec::path, "C:\\A.EXE");
    ASSERT_TRUE(f.database.store());
    EXPECT_EQ(v.get(dbrec::createdDate), "2026.12.07");
    EXPECT_EQ(v.get(dbrec::createdTime), "10:30");
    EXPECT_EQ(v.get(dbrec::storedTime), "10:30");

    f.setClock("20261208", "08050000");
    ASSERT_TRUE(f.database.readByKey());
    ASSERT_TRUE(f.database.store());  // found: a rewrite
    ASSERT_TRUE(f.database.readByKey());
    EXPECT_EQ(v.get(dbrec::createdDate), "2026.12.07");
    EXPECT_EQ(v.get(dbrec::storedDate), "2026.12.08");
    EXPECT_EQ(v.get(dbrec::storedTime), "08:05");

    // After close and open the found flag is clear: a store writes anew,
    // which fails for the key already present.
    f.database.close();
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    EXPECT_FALSE(f.database.store());
    f.database.close();
}

TEST(BasicDatabase, RunStateIsDurableAsSoonAsItIsStored) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    EXPECT_EQ(f.database.readRunState(), RunState::none);
    ASSERT_TRUE(f.database.storeRunState(RunState::buildingAnew));
    // Another handle sees the committed state while the first stays open.
    BasicDatabase other(f.platform, f.messages, f.stamp);
    ASSERT_TRUE(other.open(KeyedOpenMode::input));
    EXPECT_EQ(other.readRunState(), RunState::buildingAnew);
    other.close();
    ASSERT_TRUE(f.database.clearRunState());
    ASSERT_TRUE(other.open(KeyedOpenMode::input));
    EXPECT_EQ(other.readRunState(), RunState::none);
    other.close();

    // A run-state record holding another character reads as none.
    ASSERT_TRUE(f.database.storeRunState(RunState::comparing));
    EXPECT_EQ(f.database.readRunState(), RunState::comparing);
    for (char c : {'x', '3'}) {
        f.database.setRunStateKey();
        ASSERT_TRUE(f.database.readByKey());
        f.database.view().at(dbrec::runState) = c;
        ASSERT_TRUE(f.database.store());
        EXPECT_EQ(f.database.readRunState(), RunState::none) << c;
    }
    EXPECT_EQ(f.database.readRunState(), RunState::none);
    f.database.close();
}

TEST(BasicDatabase, PurgeWithoutExtensionDatabaseDeletesMarkedEntriesAndCompacts) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    ASSERT_TRUE(f.database.storeRunState(RunState::comparing));
    f.addEntry("C:\\A.EXE");
    f.addEntry("C:\\B.JPG", ".JPG");
    f.addEntry("C:\\C.PY", ".PY ");
    f.database.close();
    f.setClock("20270101", "01020000");
    f.database.purgeExtensions(nullptr);
    EXPECT_EQ(f.paths(), (std::vector<std::string>{"0", "FC:\\A.EXE"}));
    // The compaction stamped every record anew, both stamps alike.
    for (const std::string& r : f.records()) {
        EXPECT_EQ(r.substr(255, 15), "2027.01.0101:02") << r;
        EXPECT_EQ(r.substr(270, 15), "2027.01.0101:02") << r;
    }
    EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));
}

TEST(BasicDatabase, PurgeWithExtensionDatabaseDeletesOnlyTheRemovedExtension) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    f.addEntry("C:\\A.EXE");
    f.addEntry("C:\\B.JPG", ".JPG");
    f.addEntry("C:\\C.PY", ".PY ");
    f.addEntry("C:\\D.JPG");  // qualified through a built-in rule
    f.database.close();
    ASSERT_TRUE(f.extensions.open(KeyedOpenMode::update));
    f.extensions.clearRecord();
    f.extensions.view().set(extrec::key, ".JPG");
    f.extensions.view().set(extrec::marks, " E ");
    ASSERT_TRUE(f.extensions.store());
    f.extensions.clearRecord();
    f.extensions.view().set(extrec::key, ".PY ");
    ASSERT_TRUE(f.extensions.store());
    f.extensions.close();
    f.extensions.setAvailable(true);
    f.database.purgeExtensions(&f.extensions);
    EXPECT_EQ(f.paths(), (std::vector<std::string>{"FC:\\A.EXE", "FC:\\C.PY", "FC:\\D.JPG"}));
    EXPECT_EQ(f.extensionKeys(), (std::vector<std::string>{".PY    "}));
}

TEST(BasicDatabase, CompactionKeepsEveryRecordsContent) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    ASSERT_TRUE(f.database.storeRunState(RunState::buildingAnew));
    for (int i = 0; i < 300; ++i)
        f.addEntry("C:\\DIR\\FILE" + std::to_string(i) + ".EXE");
    f.database.close();
    std::vector<std::string> before = f.records();
    f.setClock("20270202", "02030000");
    f.database.compact();
    std::vector<std::string> after = f.records();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].substr(0, 255), before[i].substr(0, 255));
        EXPECT_EQ(after[i].substr(285), before[i].substr(285));
        EXPECT_EQ(after[i].substr(255, 15), after[i].substr(270, 15));
        EXPECT_EQ(after[i].substr(255, 15), "2027.02.0202:03");
    }
}

TEST(BasicDatabase, CompactionThatFailsAfterEmptyingLosesNothing) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    for (int i = 0; i < 200; ++i)
        f.addEntry("C:\\F" + std::to_string(i) + ".DLL");
    f.database.close();
    std::vector<std::string> before = f.paths();

    // Writes to the database fail part-way through the rebuild and through
    // the restore that follows it: the copy must survive for the next run.
    f.platform.failWritesTo = "C:\\VELUMTAR.DBI";
    *f.platform.writesBeforeFailure = 3;
    f.database.compact();
    EXPECT_TRUE(f.platform.has("C:\\VELUTMPA.TMP"));

    // The next run finds the copy and restores from it.
    *f.platform.writesBeforeFailure = -1;
    f.database.recoverCompaction();
    EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));
    EXPECT_EQ(f.paths(), before);
}

TEST(BasicDatabase, ACopyBesideADatabaseNoCompactionEmptiedIsDiscarded) {
    // Incomplete, or complete but not the copy of a compaction that emptied
    // this database: the database is left alone.
    for (const char* copy :
         {"FC:\\HALF.EXE\r\n", "FC:\\OTHER.EXE\r\n*COMPLETE COPY OF THE BASIC DATABASE\r\n"}) {
        ScanFixture f;
        ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
        f.addEntry("C:\\KEEP.EXE");
        f.database.close();
        f.platform.putFile("C:\\VELUTMPA.TMP", copy);
        f.database.recoverCompaction();
        EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));
        EXPECT_EQ(f.paths(), (std::vector<std::string>{"FC:\\KEEP.EXE"}));
    }
}

// A damaged leaf stops the compaction's copy: the database is neither
// emptied nor rebuilt short, the failure is shown as READ, and the repair
// that follows keeps every record off that page.
TEST(BasicDatabase, CompactionStopsAtADamagedPageAndTheRepairKeepsTheRest) {
    ScanFixture f;
    ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
    for (int i = 0; i < 300; ++i)
        f.addEntry("C:\\DIR\\FILE" + std::to_string(i) + ".EXE");
    f.database.close();
    std::string& file = *f.platform.files.at("C:\\VELUMTAR.DBI");
    std::size_t leaf = file.size() / 4096 / 2;
    while (file[leaf * 4096 + 12] != 1)
        ++leaf;
    const std::size_t onLeaf = static_cast<unsigned char>(file[leaf * 4096 + 14]);
    file[leaf * 4096 + 100] ^= 0x20;
    const std::string damaged = file;

    f.database.compact();
    EXPECT_EQ(f.boxTexts(), (std::vector<std::string>{"ERROR: File handling.\r\nREAD    "
                                                      "C:\\VELUMTAR.DBI "}));
    EXPECT_TRUE(f.database.damageMet);
    EXPECT_EQ(*f.platform.files.at("C:\\VELUMTAR.DBI"), damaged);
    EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));

    std::uint64_t recovered = 0;
    ASSERT_TRUE(f.database.salvage(recovered));
    EXPECT_EQ(recovered, 300 - onLeaf);
    EXPECT_EQ(f.paths().size(), 300 - onLeaf);
    EXPECT_FALSE(f.platform.has("C:\\VELUTMPA.TMP"));
}

// A repair keeps the record of a run under way, so that an interrupted
// build is still built anew and an interrupted compare still warned of.
TEST(BasicDatabase, RepairCarriesOverTheRecordOfARunUnderWay) {
    for (RunState state : {RunState::none, RunState::buildingAnew, RunState::comparing}) {
        SCOPED_TRACE(static_cast<int>(state));
        ScanFixture f;
        ASSERT_TRUE(f.database.open(KeyedOpenMode::update));
        f.addEntry("C:\\A.EXE");
        f.addEntry("C:\\B.EXE");
        if (state != RunState::none) {
            ASSERT_TRUE(f.database.storeRunState(state));
        }
        f.database.close();
        std::uint64_t recovered = 0;
        ASSERT_TRUE(f.database.salvage(recovered));
        EXPECT_EQ(recovered, 2u);
        ASSERT_TRUE(f.database.open(KeyedOpenMode::input));
        EXPECT_EQ(f.database.readRunState(), state);
        f.database.close();
    }
}

TEST(WorkFile, PrepareCreatesAnEmptyFileAndReportsFailures) {
    ScanFixture f;
    f.platform.putFile("C:\\VELUCMPT.TMP", "garbage");
    ASSERT_TRUE(prepareWorkFile(f.workFile, f.messages));
    f.workFile.clearRecord();
    EXPECT_FALSE(f.workFile.startAt());
    f.workFile.close();

    f.platform.heldByOthers.insert("C:\\VELUCMPT.TMP");
    EXPECT_FALSE(prepareWorkFile(f.workFile, f.messages));
    ASSERT_EQ(f.boxTexts().size(), 1u);
    EXPECT_EQ(f.boxTexts()[0], "ERROR: File handling.\r\nDELETE  C:\\VELUCMPT.TMP ");
}

TEST(FindingCounters, NineDigitsThatStopAtTheirMaximum) {
    FindingCounters c;
    c.add(FindingCounters::kNew);
    EXPECT_EQ(c.text(FindingCounters::kNew), "000000001");
    EXPECT_FALSE(c.allZero());
    c.value[FindingCounters::kLocked] = FindingCounters::kMaximum;
    c.add(FindingCounters::kLocked);
    EXPECT_EQ(c.text(FindingCounters::kLocked), "999999999");
}

}  // namespace
}  // namespace velumtar
