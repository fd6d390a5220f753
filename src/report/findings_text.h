// The texts of the findings beside the report: the records of the findings
// file (JSON Lines, one object per line) and the events for the system's log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/finding_counters.h"
#include "platform/platform.h"
#include "report/finding.h"

namespace velumtar::findings {

// The version of the findings file's records; it grows when a record changes
// in a way that a reader of the old version would misread.
inline constexpr int kSchemaVersion = 1;

// The event identifiers of the program's message table: the run's summary,
// then one per kind of finding in the order of FindingCounters::Index.
inline constexpr unsigned kRunEvent = 1000;
inline constexpr unsigned kFindingEvent[4] = {1001, 1002, 1003, 1004};

// What the run record tells.
struct RunRecord {
    std::string_view command;  // the letter given: C or N
    std::string_view ran;      // what ran: C, or N for a build (also one a compare fell back to)
    LocalDateTime start, end;
    bool completed = false;
    const FindingCounters* counters = nullptr;
    std::uint64_t findings = 0;  // finding records this run wrote
    std::uint64_t errorsShown = 0;
    bool systemLogAsked = false;
    std::uint64_t eventsSent = 0, eventsFailed = 0;
};

// The records, each a line ending in a line feed.
std::string startRecord(std::string_view program, std::string_view command,
                        const LocalDateTime& start);
std::string findingRecord(const Finding& finding);
// An error box's text, each line without the blanks that pad it.
std::string errorRecord(std::string_view text);
std::string runRecord(const RunRecord& run);

SystemEvent findingEvent(const Finding& finding);
// The summary of a compare (`ran` C) or build (N) run.
SystemEvent runEvent(std::string_view ran, bool completed, const FindingCounters& counters,
                     std::uint64_t errorsShown);

// `text` as a JSON string: quotes, backslashes and control characters escaped,
// every byte that is not part of well-formed UTF-8 written as U+FFFD.
// `exact` (when given) is cleared when any byte was replaced so.
std::string jsonText(std::string_view text, bool* exact = nullptr);

// The message table's texts by event identifier; %1, %2, ... stand for the
// inserts. Empty for an unknown identifier.
std::string_view eventTemplate(unsigned id);

}  // namespace velumtar::findings
