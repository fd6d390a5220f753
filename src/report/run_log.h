// The run log C:\VELUMTAR.LOG: one short entry per comparison, build and
// detected interruption, trimmed back to its most recent whole entries when
// it grows past 800 lines.
#pragma once

#include <array>
#include <string>

namespace velumtar {

class MessageService;
class Platform;
class RunStamp;
struct FindingCounters;

class RunLog {
public:
    RunLog(Platform& platform, MessageService& messages, RunStamp& stamp);

    // At the start of a compare or build run. Silent; the log is unchanged
    // when trimming fails. A trimmed copy left behind by an earlier run whose
    // final move failed is put in place first.
    void trimLog();

    // The entry writers; each answers the entry outcome (false after a
    // reported OPEN or WRITE failure).
    bool logComparison(const FindingCounters& counters, char extensionDatabaseAvailable);
    bool logNewBuild(const FindingCounters& counters, char extensionDatabaseAvailable);
    bool logInterruption(char runState);

    // The five lines of the closing message, filled by logComparison.
    std::array<std::string, 5> summaryLines;

    // Date (YYYY.MM.DD) and time (HH:MM) of the last entry started; the
    // differences report's heading carries the same moment.
    const std::string& entryDate() const { return entryDate_; }
    const std::string& entryTime() const { return entryTime_; }

    // Closes the log if an entry writer left it open (endOfRun).
    void close();

private:
    Platform& platform_;
    MessageService& messages_;
    RunStamp& stamp_;
    std::string entryDate_ = "0000.00.00";
    std::string entryTime_ = "00:00";
};

}  // namespace velumtar
