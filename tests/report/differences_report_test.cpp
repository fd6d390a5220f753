#include "report/differences_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/finding.h"
#include "report/findings_export.h"
#include "support/scan_fixture.h"
#include "ui/messages.h"
#include "util/text_field.h"

namespace velumtar {
namespace {

constexpr const char* kReport = "C:\\VELUMTAR.TXT";

struct ReportFixture : test::ScanFixture {
    FindingCounters counters;

    ReportFixture() {
        EXPECT_TRUE(database.open(KeyedOpenMode::update));
        EXPECT_TRUE(workFile.open(KeyedOpenMode::update));
    }
    // A database entry with a finding flag ('N', 'A', 'L' or ' ') and facts.
    void addFinding(const std::string& path, char flag, const FileFacts& facts) {
        database.clearRecord();
        RecordView v = database.view();
        v.at(dbrec::recordType) = 'F';
        v.set(dbrec::path, path);
        v.at(flag == 'N'   ? dbrec::newFlag
             : flag == 'A' ? dbrec::changedFlag
                           : dbrec::deletedFlag) = flag;
        v.set(dbrec::facts, facts.str());
        ASSERT_TRUE(database.store());
        ASSERT_TRUE(database.commit());
    }
    void addFinding(const std::string& path, char flag) { addFinding(path, flag, someFacts()); }
    static FileFacts someFacts() {
        const FileInformation info{
            .size = 12345, .year = 2025, .month = 1, .day = 2, .hour = 3, .minute = 4, .second = 5};
        return factsFrom(info, attr::archive | attr::readOnly | attr::system, "    ");
    }
    // A directory entry of the work file, locked or not.
    void addDirectory(const std::string& pattern, bool locked) {
        workFile.clearRecord();
        RecordView v = workFile.view();
        v.at(workrec::recordType) = 'A';
        v.set(workrec::path, pattern);
        v.set(workrec::facts, zeroFacts(false).str());
        v.at(workrec::lockedMark) = locked ? 'G' : ' ';
        ASSERT_TRUE(workFile.store());
    }
    bool write(FindingSink& sink = FindingSink::none()) {
        return writeDifferencesReport(platform, messages, workFile, database, counters,
                                      "2026.12.07", "10:30", sink);
    }
    std::vector<std::string> reportLines() const {
        std::vector<std::string> out;
        std::string text = platform.contentOf(kReport);
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find("\r\n", at);
            out.push_back(text.substr(at, end - at));
            at = end + 2;
        }
        return out;
    }
    // Flags (offsets 297-299) of every file entry, by path.
    std::vector<std::string> entries() {
        std::vector<std::string> out;
        for (const std::string& r : records()) {
            RecordView v(const_cast<char*>(r.data()));
            std::string path(trimmedRight(v.get(dbrec::path)));
            out.push_back(path + "|" + std::string(v.get(dbrec::flags)));
        }
        return out;
    }
};

const std::string kHeading = "2026.12.07 10:30 Data of new, changed and/or deleted files:";

TEST(DifferencesReport, FileLinesColumnByColumnAndTheirCommit) {
    ReportFixture f;
    f.addFinding("C:\\A.EXE", 'N');
    f.addFinding("C:\\B.DLL", 'A');
    f.addFinding("C:\\C.SYS", 'L');
    f.addFinding("C:\\D.EXE", ' ');
    f.counters.value = {1, 1, 1, 0};
    f.setClock("20261208", "08150000");
    ASSERT_TRUE(f.write());

    const std::string facts = "Date/time: 2025.01.02 / 03:04:05 Size: 0000000000012345 Attr.: ARS ";
    std::vector<std::string> lines = f.reportLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], kHeading);
    EXPECT_EQ(lines[1], "New     " + facts + " Path-Name: C:\\A.EXE");
    EXPECT_EQ(lines[2], "Changed " + facts + " Path-Name: C:\\B.DLL");
    EXPECT_EQ(lines[3], "Deleted " + facts + " Path-Name: C:\\C.SYS");
    // Columns (from 1) of the fields: date 20, time 33, size 48, attributes
    // 72, label 77, path 88.
    EXPECT_EQ(lines[1].substr(19, 10), "2025.01.02");
    EXPECT_EQ(lines[1].substr(32, 8), "03:04:05");
    EXPECT_EQ(lines[1].substr(47, 16), "0000000000012345");
    EXPECT_EQ(lines[1].substr(71, 4), "ARS ");
    EXPECT_EQ(lines[1].substr(76, 10), "Path-Name:");
    EXPECT_EQ(lines[1].substr(87), "C:\\A.EXE");
    EXPECT_TRUE(f.platform.boxes.empty());

    // The deleted entry is gone, the others lost their flag and carry the
    // stamp of the report; the unflagged entry was not touched.
    EXPECT_EQ(f.entries(),
              (std::vector<std::string>{"C:\\A.EXE|   ", "C:\\B.DLL|   ", "C:\\D.EXE|   "}));
    for (const std::string& r : f.records()) {
        RecordView v(const_cast<char*>(r.data()));
        std::string stored(v.get(dbrec::storedDate));
        EXPECT_EQ(v.get(dbrec::createdDate), "2026.12.07");
        EXPECT_EQ(stored, v.get(dbrec::path).substr(3, 1) == "D" ? "2026.12.07" : "2026.12.08");
    }
    // A second report finds nothing more to say.
    ASSERT_TRUE(f.write());
    EXPECT_EQ(f.reportLines(), (std::vector<std::string>{kHeading}));
}

TEST(DifferencesReport, LockedLinesLongPathsAndPatternsBlanked) {
    ReportFixture f;
    f.addDirectory("C:\\*", false);
    f.addDirectory("C:\\LOCKED\\*", true);
    f.addDirectory("C:\\ODD\\*NAME\\*", true);
    f.addDirectory("C:\\OPEN\\*", false);
    const std::string longPath = "C:\\" + std::string(250, 'X');
    f.addFinding(longPath + "TAIL.EXE", 'N', zeroFacts(true));
    f.counters.value = {1, 0, 0, 2};
    ASSERT_TRUE(f.write());

    const std::string bare =
        "LOCKED  Date/time:     .  .   /   :  :   Size:" + std::string(18, ' ') +
        "Attr.:      DIRECTORY: ";
    std::vector<std::string> lines = f.reportLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], kHeading);
    EXPECT_EQ(lines[1], bare + "C:\\LOCKED");
    EXPECT_EQ(lines[2], bare + "C:\\ODD  NAME");
    EXPECT_EQ(lines[3],
              "New     Date/time: 0000.00.00 / 00:00:00 Size: 0000000000000000 Attr.:      "
              "Path-Name: " +
                  longPath + "...");
    EXPECT_EQ(lines[3].size(), 343u);
    EXPECT_EQ(lines[3].substr(340), "...");
}

TEST(DifferencesReport, LockedOnlyAndLockedSectionOnlyWhenCounted) {
    ReportFixture f;
    f.addDirectory("C:\\LOCKED\\*", true);
    f.addFinding("C:\\A.EXE", ' ');
    f.counters.value = {0, 0, 0, 1};
    ASSERT_TRUE(f.write());
    std::vector<std::string> lines = f.reportLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, 8), "LOCKED  ");

    f.counters.value = {1, 0, 0, 0};
    f.addFinding("C:\\B.EXE", 'N');
    ASSERT_TRUE(f.write());
    lines = f.reportLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, 8), "New     ");
}

TEST(DifferencesReport, WriteFailureAtTheTenthLineCommitsTheNineBefore) {
    ReportFixture f;
    std::vector<std::string> expected;
    for (char c = 'A'; c <= 'L'; ++c) {
        std::string path = std::string("C:\\") + c + ".EXE";
        char flag = c % 3 == 0 ? 'L' : c % 3 == 1 ? 'N' : 'A';
        f.addFinding(path, flag);
        if (c > 'I')  // the entries after the ninth keep their flags
            expected.push_back(path + "|" + (flag == 'N' ? "N  " : flag == 'A' ? " A " : "  L"));
        else if (flag != 'L')
            expected.push_back(path + "|   ");
    }
    f.counters.value = {4, 4, 4, 0};
    f.platform.failWritesTo = kReport;
    *f.platform.writesBeforeFailure = 10;  // the heading and nine lines
    EXPECT_FALSE(f.write());
    EXPECT_EQ(f.reportLines().size(), 10u);
    EXPECT_EQ(f.boxTexts(), (std::vector<std::string>{messages::fileError("WRITE", kReport)}));
    // Read through a second handle while the database is still open: the
    // commits are durable.
    EXPECT_EQ(f.entries(), expected);
}

constexpr const char* kFindings = "C:\\TOOLS\\F.JSONL";
constexpr const char* kFindingsPart = "C:\\TOOLS\\F.JSONL.PART";

TEST(DifferencesReport, FindingsAreMadeDurableInGroupsAfterTheirLines) {
    ReportFixture f;
    for (int i = 0; i < 600; ++i)
        f.addFinding("C:\\F" + std::to_string(1000 + i) + ".EXE", "NAL"[i % 3]);
    f.counters.value = {200, 200, 200, 0};
    f.platform.syncs.clear();
    // Their records in the findings file too.
    f.platform.env["VELUMTAR_FINDINGS"] = "F.JSONL";
    FindingsExport findings(f.platform, f.messages, "VELUMTAR");
    findings.begin("C");
    ASSERT_TRUE(f.write(findings));
    EXPECT_EQ(f.reportLines().size(), 601u);
    EXPECT_EQ(f.entries().size(), 400u);
    for (const std::string& entry : f.entries())
        EXPECT_EQ(entry.substr(entry.size() - 3), "   ") << entry;
    // A few forced writes for the whole report, and the report's lines and
    // the findings' records reach the device before each commit of the
    // database that follows them.
    int databaseCommits = 0;
    bool reportSynced = false, findingsSynced = false;
    for (std::size_t i = 0; i < f.platform.syncs.size(); ++i) {
        const std::string& name = f.platform.syncs[i];
        if (name == kReport) {
            reportSynced = true;
        } else if (name == kFindingsPart) {
            findingsSynced = true;
        } else if (name == "C:\\VELUMTAR.DBI") {
            const bool commitStarts = i == 0 || f.platform.syncs[i - 1] != name;
            if (commitStarts) {
                EXPECT_TRUE(reportSynced) << "a commit before its lines were forced out";
                EXPECT_TRUE(findingsSynced) << "a commit before its records were forced out";
                ++databaseCommits;
                reportSynced = findingsSynced = false;
            }
        }
    }
    EXPECT_EQ(databaseCommits, 3);
    findings.finish("C", true, f.counters);
    const std::string records = f.platform.contentOf(kFindings);
    EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 602);
    EXPECT_FALSE(f.platform.has(kFindingsPart));
}

TEST(DifferencesReport, AFindingWhoseRecordCannotBeWrittenIsNotCommitted) {
    ReportFixture f;
    f.addFinding("C:\\A.EXE", 'N');
    f.addFinding("C:\\B.EXE", 'L');
    f.addFinding("C:\\C.EXE", 'A');
    f.counters.value = {1, 1, 1, 0};
    f.platform.env["VELUMTAR_FINDINGS"] = "F.JSONL";
    f.platform.failWritesTo = kFindingsPart;
    *f.platform.writesBeforeFailure = 3;  // the start record and two findings
    FindingsExport findings(f.platform, f.messages, "VELUMTAR");
    findings.begin("C");
    EXPECT_FALSE(f.write(findings));
    EXPECT_EQ(f.reportLines().size(), 4u);
    EXPECT_EQ(f.boxTexts(), (std::vector<std::string>{messages::fileError("WRITE", kFindings)}));
    // None of the group is committed: its records may not be on the device.
    EXPECT_EQ(f.entries(),
              (std::vector<std::string>{"C:\\A.EXE|N  ", "C:\\B.EXE|  L", "C:\\C.EXE| A "}));
    // The part file stays for the next run, which goes on writing it.
    findings.finish("C", false, f.counters);
    EXPECT_TRUE(f.platform.has(kFindingsPart));
    EXPECT_FALSE(f.platform.has(kFindings));
}

TEST(DifferencesReport, OpenAndCommitFailuresAreReported) {
    {
        ReportFixture f;
        f.addFinding("C:\\A.EXE", 'N');
        f.platform.heldByOthers.insert(kReport);
        f.counters.value = {1, 0, 0, 0};
        EXPECT_FALSE(f.write());
        EXPECT_EQ(f.boxTexts(), (std::vector<std::string>{messages::fileError("OPEN", kReport)}));
        EXPECT_EQ(f.entries(), (std::vector<std::string>{"C:\\A.EXE|N  "}));
    }
    {
        // The database was opened for reading only: the commit fails after
        // the first line.
        ReportFixture f;
        f.addFinding("C:\\A.EXE", 'N');
        f.addFinding("C:\\B.EXE", 'L');
        f.database.close();
        ASSERT_TRUE(f.database.open(KeyedOpenMode::input));
        f.counters.value = {1, 0, 1, 0};
        EXPECT_FALSE(f.write());
        EXPECT_EQ(f.reportLines().size(), 2u);
        EXPECT_EQ(f.boxTexts(),
                  (std::vector<std::string>{messages::fileError("REWRITE", "C:\\VELUMTAR.DBI")}));
    }
}

}  // namespace
}  // namespace velumtar
