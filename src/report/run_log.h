// The run log C:\VELUMTAR.LOG: one short entry per comparison, build and
// detected interruption, trimmed back to its most recent whole entries when
// it grows past 800 lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/line_file.h"

namespace velumtar {

class MessageService;
class Platform;
class RunStamp;
struct FindingCounters;

// A counter as the log shows it: eleven columns, three groups of three digits
// separated by commas, leading zeros and the commas among them blanked, the
// last digit always shown ("      1,234").
std::string editedCount(std::uint64_t value);

class RunLog {
  public:
    RunLog(Platform& platform, MessageService& messages, RunStamp& stamp);

    // At the start of a compare or build run. Silent; the log is unchanged
    // when trimming fails. The trimmed copy replaces the log in one step, so
    // the log is never missing; a trim file found at the start is therefore
    // never a copy of this log and is removed, not put in place.
    void trimLog();

    // The entry writers; each answers the entry outcome (false after a
    // reported OPEN or WRITE failure). `extensionDatabaseInUse` adds the
    // "Extension-File in use!" line; only the LOCKED counter matters to a
    // build entry. An interruption is of a build anew (`buildingAnew`) or of
    // a comparison.
    [[nodiscard]] bool logComparison(const FindingCounters& counters, bool extensionDatabaseInUse);
    [[nodiscard]] bool logNewBuild(const FindingCounters& counters, bool extensionDatabaseInUse);
    [[nodiscard]] bool logInterruption(bool buildingAnew);
    // The entry of a damaged basic database that was replaced by the records
    // it still held: their number, and that the files of lost records are
    // reported as New. The result entries of the same run then say that the
    // run met errors.
    [[nodiscard]] bool logRepair(std::uint64_t recoveredEntries);

    // The five lines of the closing message, 54 characters each, filled by
    // logComparison: its first line, then the count lines of New, Changed,
    // Deleted and LOCKED (blank when the counter is zero). All blank after a
    // comparison without differences.
    const std::array<std::string, 5>& summaryLines() const { return summaryLines_; }

    // Lines of the log above which trimLog cuts it, and the most it keeps.
    static constexpr std::uint64_t kTrimThreshold = 800;
    static constexpr std::uint64_t kLinesKept = 400;

    // Date (YYYY.MM.DD) and time (HH:MM) of the last entry started; the
    // differences report's heading carries the same moment.
    const std::string& entryDate() const { return entryDate_; }
    const std::string& entryTime() const { return entryTime_; }

    // Closes the log if an entry writer left it open (endOfRun).
    void close();

  private:
    // Opens the log for appending (creating it when missing, after putting a
    // kept trimmed copy in place) and starts the current line with the date
    // and time; false after a reported failure.
    bool startEntry();
    // The first line `firstText`, the extension line when the extension
    // database was in use, the errors line, with `withCounts` a count line
    // per non-zero counter (and the summary lines), then the empty closing
    // line: the lines are built first, then written.
    bool writeResultEntry(std::string_view firstText, const FindingCounters& counters,
                          bool extensionDatabaseInUse, bool withCounts);
    // Writes the current line and blanks it; false after a reported failure,
    // which also closes the log.
    bool writeLine();
    // Closes the log after an entry; false after a reported failure.
    bool endEntry();
    void setText(std::string_view text);
    // Counts the log's lines; false when the log cannot be read through.
    bool countLines(std::uint64_t& count);
    // Copies the log from its first whole entry after the dropped lines into
    // `trim`, made anew; false when anything fails (the log is untouched).
    bool writeTrimmedCopy(LineFile& trim, std::uint64_t drop);

    Platform& platform_;
    MessageService& messages_;
    RunStamp& stamp_;
    LineFile log_;
    std::string line_;
    std::string entryDate_ = "0000.00.00";
    std::string entryTime_ = "00:00";
    bool repaired_ = false;
    std::array<std::string, 5> summaryLines_;
};

}  // namespace velumtar
