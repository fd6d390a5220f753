// The passes that turn a walk into findings: buildAnew fills a new basic
// database from the work file; markNewAndChanged flags new and changed files;
// sweepDeleted flags entries whose file the walk did not find. Each is one
// sequential read of one file plus one keyed read of the other per record.
#pragma once

#include <cstdint>
#include <string_view>

namespace velumtar {

class BasicDatabase;
class MessageService;
class WorkFile;
struct FindingCounters;

struct BuildResult {
    bool success = true;
    // On failure, the operation that failed ("WRITE", "REWRITE", or "READ"
    // when a file could not be read through) and the file it failed on.
    std::string_view operation;
    std::string_view file;
    // Entries stored with a fingerprint of their contents.
    std::uint64_t fingerprints = 0;
};

// REQUIRES: the database new and open for update, the work file filled.
// Failures are left to the caller to report.
[[nodiscard]] BuildResult buildAnew(WorkFile& workFile, BasicDatabase& database);

// REQUIRES: both files open. Failures are reported here. An unchanged file
// whose deletion is still pending loses that flag.
[[nodiscard]] bool markNewAndChanged(WorkFile& workFile, BasicDatabase& database,
                                     MessageService& messages, FindingCounters& counters);
// Flags the entries whose file the walk did not find, except where it could
// not look: below a directory it marked locked, and, when
// `userExtensionsUnseen` (the user's extension list was not in use for the
// walk although it is valid), entries of files watched through that list.
[[nodiscard]] bool sweepDeleted(WorkFile& workFile, BasicDatabase& database,
                                MessageService& messages, FindingCounters& counters,
                                bool userExtensionsUnseen = false);

}  // namespace velumtar
