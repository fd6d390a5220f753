// The differences report C:\VELUMTAR.TXT: a heading, one line per directory
// that could not be entered (LOCKED) and one per file found new, changed or
// deleted. Writing a file line commits its finding in the basic database.
#pragma once

#include <string_view>

namespace velumtar {

class BasicDatabase;
class FindingSink;
class MessageService;
class Platform;
class WorkFile;
struct FindingCounters;

// REQUIRES: the basic database and the work file open. `date` (YYYY.MM.DD)
// and `time` (HH:MM) are the moment the run's log entry was started. Each
// finding goes to `sink` right after its line. Answers the report outcome:
// false after a reported failure.
bool writeDifferencesReport(Platform& platform, MessageService& messages, WorkFile& workFile,
                            BasicDatabase& database, const FindingCounters& counters,
                            std::string_view date, std::string_view time, FindingSink& sink);

}  // namespace velumtar
