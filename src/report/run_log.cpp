#include "report/run_log.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "db/finding_counters.h"
#include "files/file_error.h"
#include "files/file_facts.h"
#include "files/file_names.h"
#include "files/record_view.h"
#include "platform/platform.h"
#include "ui/messages.h"
#include "util/text_field.h"

namespace velumtar {

namespace {

// A log line of 132 characters. Date and time stand on the first line of an
// entry only; every other line is blank up to its text.
namespace logline {
inline constexpr std::size_t kWidth = 132;
inline constexpr Field date{0, 10};  // YYYY.MM.DD
inline constexpr Field time{11, 5};  // HH:MM
inline constexpr Field text{17, 115};
inline constexpr Field count{17, 11};       // count line: the edited counter
inline constexpr Field label{29, 7};        // count line: the status word
inline constexpr Field countText{29, 103};  // count line of a repair: what was counted
}  // namespace logline

// The closing message shows the first 54 characters of a log line.
constexpr std::size_t kSummaryWidth = 54;

constexpr std::string_view kDifferences =
    "Differences from last check - result of comparing files:";
constexpr std::string_view kNoDifferences = "No differences detected";
constexpr std::string_view kNewBuild = "Finish NEW building of the basic database.";
constexpr std::string_view kExtensionInUse = "Extension-File in use!";
constexpr std::string_view kWithErrors = "- with ERRORs (subdir LOCKED)";
constexpr std::string_view kWithoutErrors = "- without Errors";
constexpr std::string_view kDatabaseDamaged = "- with ERRORs (basic database damaged)";
constexpr std::string_view kRepaired =
    "ERROR: basic database damaged, replaced by the records it still held:";
constexpr std::string_view kRecovered = "records recovered";
constexpr std::string_view kLostAreNew = "Files whose records were lost are reported as New.";
// Count lines of fingerprints of file contents.
constexpr std::string_view kFingerprintsRecorded =
    "fingerprints of file contents recorded (compared from now on)";
constexpr std::string_view kContentsUnreadable =
    "files could not be read: compared by date, time, size and attributes only";

// Status words of the count lines in counter order: New, Changed, Deleted,
// LOCKED.
constexpr std::array<std::string_view, 4> kCategoryLabels = {"New    ", "Changed", "Deleted",
                                                             "LOCKED "};

// A line of a result entry after its dated first one.
struct EntryLine {
    std::string text;
    // The summary line it becomes once written (1 to 4 for the count lines
    // of New, Changed, Deleted and LOCKED); 0 for none.
    std::size_t summarySlot = 0;
};

std::string textLine(std::string_view text) {
    std::string line(logline::kWidth, ' ');
    RecordView(line.data()).set(logline::text, text);
    return line;
}

// After the first line: the extension line when the extension database was
// in use, the errors lines (LOCKED directories, a repaired database, each
// told; "- without Errors" when neither), with `withCounts` a count line per
// non-zero counter, the fingerprints recorded and the files whose contents
// could not be read when there were any, then the empty closing line.
std::vector<EntryLine> resultLines(const FindingCounters& counters, bool extensionInUse,
                                   bool repaired, bool withCounts) {
    std::vector<EntryLine> lines;
    if (extensionInUse)
        lines.push_back({textLine(kExtensionInUse)});
    const bool locked = counters.value[FindingCounters::kLocked] > 0;
    if (locked)
        lines.push_back({textLine(kWithErrors)});
    if (repaired)
        lines.push_back({textLine(kDatabaseDamaged)});
    if (!locked && !repaired)
        lines.push_back({textLine(kWithoutErrors)});
    for (std::size_t category = 0; withCounts && category < kCategoryLabels.size(); ++category) {
        if (counters.value[category] == 0)
            continue;
        std::string line(logline::kWidth, ' ');
        RecordView v(line.data());
        v.set(logline::count, editedCount(counters.value[category]));
        v.set(logline::label, kCategoryLabels[category]);
        lines.push_back({std::move(line), category + 1});
    }
    for (const auto& [count, text] :
         {std::pair{counters.fingerprintsRecorded, kFingerprintsRecorded},
          std::pair{counters.unreadableContents, kContentsUnreadable}}) {
        if (count == 0)
            continue;
        std::string line(logline::kWidth, ' ');
        RecordView v(line.data());
        v.set(logline::count, editedCount(std::min(count, FindingCounters::kMaximum)));
        v.set(logline::countText, text);
        lines.push_back({std::move(line)});
    }
    lines.push_back({std::string(logline::kWidth, ' ')});
    return lines;
}

}  // namespace

std::string editedCount(std::uint64_t value) {
    std::string number = digits(value, 9);
    std::string out;
    bool leading = true;
    for (std::size_t i = 0; i < number.size(); ++i) {
        if (i == 3 || i == 6)
            out += leading ? ' ' : ',';
        if (leading && number[i] == '0' && i + 1 < number.size()) {
            out += ' ';
        } else {
            leading = false;
            out += number[i];
        }
    }
    return out;
}

RunLog::RunLog(Platform& platform, MessageService& messages, RunStamp& stamp)
    : platform_(platform),
      messages_(messages),
      stamp_(stamp),
      log_(platform, std::string(files::kLog), files::kLogRecord),
      line_(logline::kWidth, ' ') {
    for (std::string& s : summaryLines_)
        s.assign(kSummaryWidth, ' ');
}

void RunLog::close() {
    (void)log_.close();
}

bool RunLog::endEntry() {
    // The entry reaches the device as the log closes.
    if (log_.close().isSuccess())
        return true;
    reportFileError(messages_, kWrite, files::kLog);
    return false;
}

void RunLog::setText(std::string_view text) {
    RecordView(line_.data()).set(logline::text, text);
}

bool RunLog::startEntry() {
    (void)log_.close();
    bool exists = log_.openInput().isSuccess();
    (void)log_.close();
    FileStatus s = exists ? log_.openExtend() : log_.openOutput();
    if (!s.isSuccess()) {
        (void)log_.close();
        reportFileError(messages_, kOpen, files::kLog);
        return false;
    }
    line_.assign(logline::kWidth, ' ');
    stamp_.read();
    entryDate_ = stamp_.stampDate();
    entryTime_ = stamp_.stampTime().substr(0, logline::time.width);
    RecordView v(line_.data());
    v.set(logline::date, entryDate_);
    v.set(logline::time, entryTime_);
    return true;
}

bool RunLog::writeLine() {
    if (!log_.write(line_).isSuccess()) {
        (void)log_.close();
        reportFileError(messages_, kWrite, files::kLog);
        return false;
    }
    line_.assign(logline::kWidth, ' ');
    return true;
}

bool RunLog::writeResultEntry(std::string_view firstText, const FindingCounters& counters,
                              bool extensionDatabaseInUse, bool withCounts) {
    if (!startEntry())
        return false;
    setText(firstText);
    // The first summary line is the dated first line, cut after "result".
    if (withCounts)
        summaryLines_[0] = line_.substr(0, kSummaryWidth);
    const std::vector<EntryLine> lines =
        resultLines(counters, extensionDatabaseInUse, repaired_, withCounts);
    if (!writeLine())
        return false;
    for (const EntryLine& line : lines) {
        line_ = line.text;
        if (!writeLine())
            return false;
        if (line.summarySlot != 0)
            summaryLines_[line.summarySlot] = line.text.substr(0, kSummaryWidth);
    }
    return endEntry();
}

bool RunLog::logComparison(const FindingCounters& counters, bool extensionDatabaseInUse) {
    for (std::string& s : summaryLines_)
        s.assign(kSummaryWidth, ' ');
    if (counters.allZero())
        return writeResultEntry(kNoDifferences, counters, extensionDatabaseInUse, false);
    return writeResultEntry(kDifferences, counters, extensionDatabaseInUse, true);
}

bool RunLog::logNewBuild(const FindingCounters& counters, bool extensionDatabaseInUse) {
    return writeResultEntry(kNewBuild, counters, extensionDatabaseInUse, false);
}

bool RunLog::logInterruption(bool buildingAnew) {
    if (!startEntry())
        return false;
    setText(buildingAnew ? messages::kRebuildText : messages::kContinueText);
    if (!writeLine() || !writeLine())
        return false;
    return endEntry();
}

bool RunLog::logRepair(std::uint64_t recoveredEntries) {
    repaired_ = true;
    if (!startEntry())
        return false;
    setText(kRepaired);
    if (!writeLine())
        return false;
    RecordView(line_.data()).set(logline::count, editedCount(recoveredEntries));
    RecordView(line_.data()).set(logline::countText, kRecovered);
    if (!writeLine())
        return false;
    setText(kLostAreNew);
    if (!writeLine() || !writeLine())
        return false;
    return endEntry();
}

void RunLog::trimLog() {
    LineFile trim(platform_, std::string(files::kLogTrimFile), files::kLogRecord);
    // Whatever has the trim file's name now was not made by this trimming.
    if (platform_.fileExists(files::kLogTrimFile))
        (void)trim.remove();
    std::uint64_t count = 0;
    if (!countLines(count) || count <= kTrimThreshold)
        return;
    bool trimmed = writeTrimmedCopy(trim, count - kLinesKept);
    (void)log_.close();
    // Until the copy has replaced it, the log is as it was.
    if (!trimmed || !trim.replace(files::kLog).isSuccess())
        (void)trim.remove();
}

bool RunLog::countLines(std::uint64_t& count) {
    count = 0;
    (void)log_.close();
    if (!log_.openInput().isSuccess()) {
        (void)log_.close();
        return false;
    }
    std::string line;
    FileStatus s;
    while ((s = log_.readNext(line)).isSuccess())
        ++count;
    (void)log_.close();
    return s.isEndOfFile();
}

bool RunLog::writeTrimmedCopy(LineFile& trim, std::uint64_t drop) {
    if (!trim.openOutput().isSuccess() || !log_.openInput().isSuccess())
        return false;
    // Drop the oldest lines, then the rest of the entry they cut into, up to
    // and including its empty closing line, so that the copy starts with a
    // whole entry.
    bool entryCut = true;
    std::string line;
    FileStatus s;
    while ((s = log_.readNext(line)).isSuccess()) {
        if (drop > 0) {
            --drop;
        } else if (entryCut) {
            entryCut = !allBlank(line);
        } else if (!trim.write(line).isSuccess()) {
            return false;
        }
    }
    (void)log_.close();
    // The copy must be on the device before the log is deleted.
    return s.isEndOfFile() && trim.close().isSuccess();
}

}  // namespace velumtar
