#include "db/comparison_passes.h"

#include "db/basic_database.h"
#include "db/finding_counters.h"
#include "db/work_file.h"
#include "files/file_contents.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "util/text_field.h"

namespace velumtar {

namespace {

// Positions the work file at its first file entry and reads it.
bool firstFileEntry(WorkFile& workFile) {
    workFile.clearRecord();
    workFile.view().at(workrec::recordType) = 'F';
    return workFile.startAt();
}

bool isFileEntry(WorkFile& workFile) {
    return workFile.found() && workFile.view().at(workrec::recordType) == 'F';
}

void copyKey(const RecordView& from, const RecordView& to) {
    to.set(dbrec::key, from.get(workrec::key));
}

// Reads the database entry with the work record's key. When there is none,
// the record area is left blank but for that key, ready for a new entry.
bool readEntryOf(const RecordView& work, BasicDatabase& database) {
    RecordView entry = database.view();
    copyKey(work, entry);
    if (database.readByKey())
        return true;
    database.clearRecord();
    copyKey(work, entry);
    return false;
}

// Whether the walk left the file at `path` unseen because it could not read
// a directory on the way to it: the nearest directory above it that the walk
// recorded carries the locked mark (it could not be entered, refused its
// listing, or its path left no room to enter it). One keyed read per level,
// only for entries the walk did not find.
bool underLockedDirectory(WorkFile& workFile, std::string_view path) {
    RecordView work = workFile.view();
    path = trimmedRight(path);
    for (std::size_t cut = path.rfind('\\'); cut != std::string_view::npos && cut > 0;
         cut = path.rfind('\\', cut - 1)) {
        std::string directory(path.substr(0, cut + 1));
        directory += '*';
        // A directory whose pattern does not fit was recorded by its path.
        if (directory.size() > workrec::path.width)
            directory.resize(cut);
        workFile.clearRecord();
        work.at(workrec::recordType) = 'A';
        work.set(workrec::path, directory);
        if (workFile.readByKey())
            return work.at(workrec::lockedMark) == 'G';
    }
    return false;
}

}  // namespace

BuildResult buildAnew(WorkFile& workFile, BasicDatabase& database) {
    RecordView work = workFile.view();
    RecordView entry = database.view();
    for (bool more = firstFileEntry(workFile) && isFileEntry(workFile); more;
         more = workFile.readNext() && isFileEntry(workFile)) {
        readEntryOf(work, database);
        entry.set(dbrec::facts, factsToStore({}, work.get(workrec::facts)).str());
        bool existed = database.found();
        if (!database.store()) {
            return BuildResult{false, database.failedOperation(existed ? kRewrite : kWrite),
                               files::kBasicDatabase};
        }
    }
    // A damaged work file is not the end of its entries.
    if (workFile.readFailed())
        return BuildResult{false, kRead, files::kWorkFile};
    return BuildResult{};
}

bool markNewAndChanged(WorkFile& workFile, BasicDatabase& database, MessageService& messages,
                       FindingCounters& counters) {
    if (!database.storeRunState(RunState::comparing))
        return false;
    counters.zero(FindingCounters::kNew);
    counters.zero(FindingCounters::kChanged);
    counters.fingerprintsRecorded = 0;
    RecordView work = workFile.view();
    RecordView entry = database.view();
    for (bool more = firstFileEntry(workFile) && isFileEntry(workFile); more;
         more = workFile.readNext() && isFileEntry(workFile)) {
        if (!readEntryOf(work, database) && database.readFailed()) {
            // A damaged page is not a missing entry: the file is not new.
            reportFileError(messages, kRead, files::kBasicDatabase);
            return false;
        }
        const std::string_view seen = work.get(workrec::facts);
        if (!database.found()) {
            entry.set(dbrec::facts, factsToStore({}, seen).str());
            entry.at(dbrec::newFlag) = 'N';
            counters.add(FindingCounters::kNew);
            if (!database.store()) {
                reportFileError(messages, kWrite, files::kBasicDatabase);
                return false;
            }
        } else if (const FactsVerdict verdict = compareFacts(entry.get(dbrec::facts), seen);
                   verdict != FactsVerdict::changed) {
            // Unchanged: nothing is written but for the two cases below. A finding an earlier run
            // could not report is still pending; it is counted again so that this run's report
            // carries it instead of saying nothing changed.
            if (entry.at(dbrec::newFlag) == 'N')
                counters.add(FindingCounters::kNew);
            if (entry.at(dbrec::changedFlag) == 'A')
                counters.add(FindingCounters::kChanged);
            bool rewrite = false;
            // A deletion still pending is withdrawn: the file is there, as
            // it was.
            if (entry.at(dbrec::deletedFlag) == 'L') {
                entry.blank(dbrec::flags);
                rewrite = true;
            }
            // The first fingerprint of an entry is recorded without a finding.
            if (verdict == FactsVerdict::fingerprintNew) {
                entry.set(dbrec::facts, factsToStore({}, seen).str());
                ++counters.fingerprintsRecorded;
                rewrite = true;
            }
            if (rewrite) {
                if (!database.store()) {
                    reportFileError(messages, kRewrite, files::kBasicDatabase);
                    return false;
                }
            }
        } else {
            entry.set(dbrec::facts, factsToStore(entry.get(dbrec::facts), seen).str());
            entry.set(dbrec::flags, " A ");
            counters.add(FindingCounters::kChanged);
            if (!database.store()) {
                reportFileError(messages, kRewrite, files::kBasicDatabase);
                return false;
            }
        }
    }
    if (workFile.readFailed()) {
        reportFileError(messages, kRead, files::kWorkFile);
        return false;
    }
    // A failure was shown; the run state left behind makes the next run
    // report the interruption.
    (void)database.clearRunState();
    return true;
}

bool sweepDeleted(WorkFile& workFile, BasicDatabase& database, MessageService& messages,
                  FindingCounters& counters, bool userExtensionsUnseen) {
    if (!database.storeRunState(RunState::comparing))
        return false;
    counters.zero(FindingCounters::kDeleted);
    RecordView work = workFile.view();
    RecordView entry = database.view();
    database.setFirstFileKey();
    for (bool more = database.startAt(); more && entry.at(dbrec::recordType) == 'F';
         more = database.readNext()) {
        work.set(workrec::key, entry.get(dbrec::key));
        if (workFile.readByKey())
            continue;
        if (workFile.readFailed()) {
            // Not found is not the same as unreadable: the file is not gone.
            reportFileError(messages, kRead, files::kWorkFile);
            return false;
        }
        // Not seen is not deleted where the walk could not look: the entry
        // keeps its facts and flags until it can.
        if (userExtensionsUnseen && entry.at(dbrec::extensionMark) != ' ')
            continue;
        if (underLockedDirectory(workFile, entry.get(dbrec::path)))
            continue;
        if (workFile.readFailed()) {
            reportFileError(messages, kRead, files::kWorkFile);
            return false;
        }
        entry.set(dbrec::flags, "  L");
        if (!database.store()) {
            reportFileError(messages, kRewrite, files::kBasicDatabase);
            return false;
        }
        counters.add(FindingCounters::kDeleted);
    }
    if (database.readFailed()) {
        reportFileError(messages, kRead, files::kBasicDatabase);
        return false;
    }
    // A failure was shown; the run state left behind makes the next run
    // report the interruption.
    (void)database.clearRunState();
    return true;
}

}  // namespace velumtar
