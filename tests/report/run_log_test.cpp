#include "report/run_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/finding_counters.h"
#include "files/file_facts.h"
#include "support/fake_platform.h"
#include "ui/message_service.h"
#include "ui/messages.h"
#include "ui/unattended.h"

namespace velumtar {
namespace {

constexpr const char* kLog = "C:\\VELUMTAR.LOG";
constexpr const char* kTrim = "C:\\VELULSTA.TMP";

// Reads of the wrapped file fail from a byte offset on.
class UnreadableFile : public File {
  public:
    UnreadableFile(std::unique_ptr<File> inner, std::uint64_t from)
        : inner_(std::move(inner)), from_(from) {}
    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = 0;
        if (offset + length > from_)
            return PlatformStatus::ioError;
        return inner_->read(offset, buffer, length, got);
    }
    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        return inner_->write(offset, buffer, length);
    }
    PlatformStatus size(std::uint64_t& size) override { return inner_->size(size); }
    PlatformStatus truncate(std::uint64_t size) override { return inner_->truncate(size); }
    PlatformStatus sync() override { return inner_->sync(); }
    PlatformStatus identity(FileIdentity& identity) override { return inner_->identity(identity); }

  private:
    std::unique_ptr<File> inner_;
    std::uint64_t from_;
};

// The in-memory platform with two more faults: failing renames, and reads of
// one file that fail at its Nth open.
class LogPlatform : public test::FakePlatform {
  public:
    int renameFailures = 0;
    std::string unreadable;
    int unreadableOpen = 1;
    std::uint64_t unreadableFrom = 0;

    PlatformStatus replaceFile(std::string_view from, std::string_view to) override {
        if (renameFailures > 0) {
            --renameFailures;
            return PlatformStatus::ioError;
        }
        return FakePlatform::replaceFile(from, to);
    }
    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override {
        std::unique_ptr<File> f = FakePlatform::openFile(path, mode, status);
        if (f && normalise(path) == unreadable && ++opens_ == unreadableOpen)
            return std::make_unique<UnreadableFile>(std::move(f), unreadableFrom);
        return f;
    }

  private:
    int opens_ = 0;
};

struct LogFixture {
    LogPlatform platform;
    Unattended unattended{platform};
    MessageService messages{platform, unattended, "VELUMTAR"};
    RunStamp stamp{platform};
    RunLog log{platform, messages, stamp};
    FindingCounters counters;

    LogFixture() { platform.clock = LocalDateTime{"20261207", "10300000"}; }
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : platform.boxes)
            out.push_back(b.text);
        return out;
    }
};

// Text at column 18 of a line without date and time.
std::string text(const std::string& t) {
    return std::string(17, ' ') + t + "\r\n";
}
std::string padded54(const std::string& t) {
    std::string s = t.substr(0, 54);
    s.resize(54, ' ');
    return s;
}

TEST(RunLog, CountsAreEditedIntoElevenColumns) {
    EXPECT_EQ(editedCount(1), "          1");
    EXPECT_EQ(editedCount(1234), "      1,234");
    EXPECT_EQ(editedCount(1234567), "  1,234,567");
    EXPECT_EQ(editedCount(999999999), "999,999,999");
    EXPECT_EQ(editedCount(1000), "      1,000");
    EXPECT_EQ(editedCount(0), "          0");
}

TEST(RunLog, ComparisonEntryAndItsSummaryLines) {
    LogFixture f;
    f.counters.value = {3, 0, 2, 0};
    ASSERT_TRUE(f.log.logComparison(f.counters, false));
    const std::string first =
        "2026.12.07 10:30 Differences from last check - result of comparing files:";
    EXPECT_EQ(f.platform.contentOf(kLog), first + "\r\n" + text("- without Errors") +
                                              text("          3 New") +
                                              text("          2 Deleted") + "\r\n");
    EXPECT_EQ(f.log.summaryLines()[0], "2026.12.07 10:30 Differences from last check - result ");
    EXPECT_EQ(f.log.summaryLines()[1], padded54(std::string(17, ' ') + "          3 New"));
    EXPECT_EQ(f.log.summaryLines()[2], std::string(54, ' '));
    EXPECT_EQ(f.log.summaryLines()[3], padded54(std::string(17, ' ') + "          2 Deleted"));
    EXPECT_EQ(f.log.summaryLines()[4], std::string(54, ' '));
    EXPECT_EQ(f.log.entryDate(), "2026.12.07");
    EXPECT_EQ(f.log.entryTime(), "10:30");
    EXPECT_TRUE(f.platform.boxes.empty());

    // Every counter set, the extension database in use, a later entry is
    // appended to the first.
    f.platform.clock = LocalDateTime{"20261208", "23590000"};
    f.counters.value = {1, 1234, 1234567, 999999999};
    ASSERT_TRUE(f.log.logComparison(f.counters, true));
    const std::string second =
        "2026.12.08 23:59 Differences from last check - result of comparing files:\r\n" +
        text("Extension-File in use!") + text("- with ERRORs (subdir LOCKED)") +
        text("          1 New") + text("      1,234 Changed") + text("  1,234,567 Deleted") +
        text("999,999,999 LOCKED") + "\r\n";
    const std::string content = f.platform.contentOf(kLog);
    ASSERT_GE(content.size(), second.size());
    EXPECT_EQ(content.substr(content.size() - second.size()), second);
    EXPECT_EQ(f.log.summaryLines()[2], padded54(std::string(17, ' ') + "      1,234 Changed"));
    EXPECT_EQ(f.log.summaryLines()[4], padded54(std::string(17, ' ') + "999,999,999 LOCKED"));

    // A comparison without differences blanks the lines of the one before.
    f.counters.value = {0, 0, 0, 0};
    ASSERT_TRUE(f.log.logComparison(f.counters, false));
    for (const std::string& line : f.log.summaryLines())
        EXPECT_EQ(line, std::string(54, ' '));
}

TEST(RunLog, NoDifferencesBuildAndInterruptionEntries) {
    LogFixture f;
    ASSERT_TRUE(f.log.logComparison(f.counters, true));
    std::string expected = "2026.12.07 10:30 No differences detected\r\n" +
                           text("Extension-File in use!") + text("- without Errors") + "\r\n";
    EXPECT_EQ(f.platform.contentOf(kLog), expected);

    // A build entry carries no count lines, even with directories LOCKED.
    f.counters.value[FindingCounters::kLocked] = 2;
    ASSERT_TRUE(f.log.logNewBuild(f.counters, false));
    expected += "2026.12.07 10:30 Finish NEW building of the basic database.\r\n" +
                text("- with ERRORs (subdir LOCKED)") + "\r\n";
    EXPECT_EQ(f.platform.contentOf(kLog), expected);

    ASSERT_TRUE(f.log.logInterruption(true));
    ASSERT_TRUE(f.log.logInterruption(false));
    expected += "2026.12.07 10:30 " + std::string(messages::kRebuildText) + "\r\n\r\n";
    expected += "2026.12.07 10:30 " + std::string(messages::kContinueText) + "\r\n\r\n";
    EXPECT_EQ(f.platform.contentOf(kLog), expected);
}

// A repaired database and LOCKED directories are each told by their errors
// line, in a compare's and in a build's entry.
TEST(RunLog, ErrorsLinesTellLockedDirectoriesAndARepairEach) {
    struct Case {
        bool repaired;
        std::uint64_t locked;
        std::string lines;
    };
    const Case cases[] = {
        {false, 0, text("- without Errors")},
        {false, 1, text("- with ERRORs (subdir LOCKED)")},
        {true, 0, text("- with ERRORs (basic database damaged)")},
        {true, 1,
         text("- with ERRORs (subdir LOCKED)") + text("- with ERRORs (basic database damaged)")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        LogFixture f;
        // The repair's own entry is not looked at here.
        if (c.repaired) {
            ASSERT_TRUE(f.log.logRepair(5));
        }
        f.platform.putFile(kLog, "");
        f.counters.value[FindingCounters::kLocked] = c.locked;
        ASSERT_TRUE(f.log.logComparison(f.counters, false));
        ASSERT_TRUE(f.log.logNewBuild(f.counters, false));
        const std::string locked = c.locked ? text("          1 LOCKED") : "";
        const std::string first = c.locked
                                      ? "Differences from last check - result of comparing files:"
                                      : "No differences detected";
        EXPECT_EQ(f.platform.contentOf(kLog),
                  "2026.12.07 10:30 " + first + "\r\n" + c.lines + locked + "\r\n" +
                      "2026.12.07 10:30 Finish NEW building of the basic database.\r\n" + c.lines +
                      "\r\n");
    }
}

TEST(RunLog, OpenAndWriteFailuresAreReported) {
    LogFixture f;
    f.platform.heldByOthers.insert(kLog);
    EXPECT_FALSE(f.log.logNewBuild(f.counters, false));
    EXPECT_FALSE(f.log.logInterruption(false));
    EXPECT_EQ(f.boxTexts(), (std::vector<std::string>{messages::fileError("OPEN", kLog),
                                                      messages::fileError("OPEN", kLog)}));
    EXPECT_FALSE(f.platform.has(kLog));
    f.platform.heldByOthers.clear();

    // The third line fails: the entry stays incomplete.
    f.platform.boxes.clear();
    f.platform.failWritesTo = kLog;
    *f.platform.writesBeforeFailure = 2;
    f.counters.value = {5, 0, 0, 0};
    EXPECT_FALSE(f.log.logComparison(f.counters, false));
    EXPECT_EQ(f.boxTexts(), (std::vector<std::string>{messages::fileError("WRITE", kLog)}));
    const std::string twoLines =
        "2026.12.07 10:30 Differences from last check - result of comparing files:\r\n" +
        text("- without Errors");
    EXPECT_EQ(f.platform.contentOf(kLog), twoLines);

    // The next entry starts afresh, its errors line included.
    *f.platform.writesBeforeFailure = -1;
    ASSERT_TRUE(f.log.logNewBuild(f.counters, false));
    EXPECT_EQ(f.platform.contentOf(kLog),
              twoLines + "2026.12.07 10:30 Finish NEW building of the basic database.\r\n" +
                  text("- without Errors") + "\r\n");
    // An entry that does not reach the device is not logged.
    f.platform.boxes.clear();
    f.platform.failSyncsTo = kLog;
    EXPECT_FALSE(f.log.logInterruption(false));
    EXPECT_FALSE(f.log.logRepair(1));
    EXPECT_FALSE(f.log.logNewBuild(f.counters, false));
    EXPECT_EQ(f.boxTexts(), std::vector<std::string>(3, messages::fileError("WRITE", kLog)));
}

// A log of `count` lines numbered from 1; every fifth line is the empty line
// that ends an entry, unless `blankUpTo` stops them earlier.
std::vector<std::string> numberedLines(int count, int blankUpTo = 1 << 30) {
    std::vector<std::string> lines;
    for (int i = 1; i <= count; ++i)
        lines.push_back(i % 5 == 0 && i <= blankUpTo ? "" : "line " + std::to_string(i));
    return lines;
}
std::string joined(const std::vector<std::string>& lines, std::size_t from = 0) {
    std::string out;
    for (std::size_t i = from; i < lines.size(); ++i)
        out += lines[i] + "\r\n";
    return out;
}

TEST(RunLog, TrimKeepsTheLastWholeEntries) {
    {
        LogFixture f;  // no log: nothing happens
        f.log.trimLog();
        EXPECT_FALSE(f.platform.has(kLog));
        EXPECT_FALSE(f.platform.has(kTrim));
    }
    {
        LogFixture f;
        const std::string log = joined(numberedLines(800));
        f.platform.putFile(kLog, log);
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), log);
    }
    {
        // 801 lines: 401 dropped, then lines 402 to 405, the rest of the
        // entry they cut into.
        LogFixture f;
        std::vector<std::string> lines = numberedLines(801);
        f.platform.putFile(kLog, joined(lines));
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), joined(lines, 405));
        EXPECT_FALSE(f.platform.has(kTrim));
    }
    {
        // More lines than three digits count: 800 dropped, then 801 to 805.
        LogFixture f;
        std::vector<std::string> lines = numberedLines(1200);
        f.platform.putFile(kLog, joined(lines));
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), joined(lines, 805));
        EXPECT_TRUE(f.platform.boxes.empty());
    }
    {
        // No empty line after the dropped part: nothing is kept.
        LogFixture f;
        f.platform.putFile(kLog, joined(numberedLines(801, 400)));
        f.log.trimLog();
        EXPECT_TRUE(f.platform.has(kLog));
        EXPECT_EQ(f.platform.contentOf(kLog), "");
    }
}

TEST(RunLog, TrimLeavesTheLogAloneWhenItCannotBeReadOrCopied) {
    // 1,000 lines of 70 bytes: the first 64 KiB read holds more than 800.
    std::vector<std::string> lines = numberedLines(1000);
    for (std::string& line : lines) {
        if (!line.empty())
            line.resize(68, 'x');
    }
    const std::string log = joined(lines);
    // Open 1 counts the lines and fails after 64 KiB; open 2 copies them.
    for (int failingOpen : {1, 2}) {
        LogFixture f;
        f.platform.putFile(kLog, log);
        f.platform.unreadable = kLog;
        f.platform.unreadableOpen = failingOpen;
        f.platform.unreadableFrom = failingOpen == 1 ? 64 * 1024 : 0;
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), log) << failingOpen;
        EXPECT_FALSE(f.platform.has(kTrim)) << failingOpen;
    }
    {
        LogFixture f;  // the trim file cannot be written
        f.platform.putFile(kLog, log);
        f.platform.failWritesTo = kTrim;
        *f.platform.writesBeforeFailure = 10;
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), log);
        EXPECT_FALSE(f.platform.has(kTrim));
        EXPECT_TRUE(f.platform.boxes.empty());
    }
}

TEST(RunLog, TrimmedCopyReplacesTheLogOrNothingChanges) {
    std::vector<std::string> lines = numberedLines(900);
    const std::string trimmed = joined(lines, 505);
    {
        // The replacing move fails: the log is as it was, the copy is gone,
        // and the next trim succeeds.
        LogFixture f;
        f.platform.putFile(kLog, joined(lines));
        f.platform.renameFailures = 1;
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), joined(lines));
        EXPECT_FALSE(f.platform.has(kTrim));
        f.log.trimLog();
        EXPECT_EQ(f.platform.contentOf(kLog), trimmed);
        EXPECT_FALSE(f.platform.has(kTrim));
    }
    // A trim file found at the start is not a copy this trimming made: it is
    // removed, never put in place, whether the log is there or not.
    for (bool withLog : {true, false}) {
        LogFixture f;
        if (withLog)
            f.platform.putFile(kLog, "kept\r\n");
        f.platform.putFile(kTrim, "planted\r\n");
        f.log.trimLog();
        EXPECT_EQ(f.platform.has(kLog), withLog);
        if (withLog) {
            EXPECT_EQ(f.platform.contentOf(kLog), "kept\r\n");
        }
        EXPECT_FALSE(f.platform.has(kTrim));
    }
}

}  // namespace
}  // namespace velumtar
