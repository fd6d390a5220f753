// A finding as the differences report tells it, handed on to whoever
// collects the findings beside the report.
#pragma once

#include <string_view>

#include "db/finding_counters.h"

namespace velumtar {

struct FileFacts;

struct Finding {
    FindingCounters::Index kind = FindingCounters::kNew;
    // The path as the report line shows it, without the blanks that pad it.
    std::string_view path;
    // The path was longer than a record holds: the line shows its first 253
    // characters and "...".
    bool cut = false;
    // A directory (the LOCKED line of a directory); else a file.
    bool directory = false;
    // The facts the database holds: the new ones of a New or Changed file,
    // the last recorded ones of a Deleted file; none for LOCKED.
    const FileFacts* facts = nullptr;
};

// Whoever collects the findings. The report hands each finding over right
// after writing its line and before committing it, and commits a group of
// findings only after sync() has made them durable here too.
class FindingSink {
  public:
    virtual ~FindingSink() = default;
    // Takes one finding; false after a failure that has been shown: the
    // report then ends as after a line it could not write.
    virtual bool collect(const Finding& finding) = 0;
    // Makes the findings taken so far durable; false after a failure, shown
    // unless `quietly` (the report is ending after a failure already).
    virtual bool sync(bool quietly) = 0;

    // A sink that takes everything and keeps nothing.
    static FindingSink& none();
};

}  // namespace velumtar
