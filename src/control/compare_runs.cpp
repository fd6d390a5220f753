// The compare run and the new-build run: the order in which they prepare the
// files, walk the drive, build or compare, log and report, how they react to
// the run state an interrupted earlier run left behind, and the closing
// message.
#include "control/run_control.h"
#include "db/comparison_passes.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "platform/worker_runner.h"
#include "report/differences_report.h"
#include "scan/directory_walk.h"
#include "ui/messages.h"

namespace velumtar {

void RunControl::openCompareOrBuild() {
    // A compaction that could not put the database back left its complete
    // copy: restore it before anything reads the database.
    database_.recoverCompaction();
    if (commandLetter == "C")
        checkDatabase();
    extensionList_.prepareExtensions(startDirectory);
    // The purge or compaction met a damaged page: repaired before the compare
    // reads the database (a new build replaces it anyway).
    if (commandLetter == "C" && database_.damageMet && !databaseUnusable_)
        databaseUnusable_ = !repairDatabase();
    runLog_.trimLog();
    counters_.zero(FindingCounters::kLocked);
}

// A damaged database is told (OPEN) and repaired before the extension list's
// preparation may purge it, never taken as missing and built anew.
void RunControl::checkDatabase() {
    bool damaged = database_.open(KeyedOpenMode::input) ? database_.metaPageLost()
                                                        : database_.lastStatus() == status::damaged;
    database_.close();
    if (!damaged)
        return;
    reportFileError(messages_, kOpen, files::kBasicDatabase);
    databaseUnusable_ = !repairDatabase();
}

// Replaces the damaged database by the records it still holds and logs how
// many; the compare then runs against them, and the files of lost records
// come out as New. The failure that led here has been shown.
bool RunControl::repairDatabase() {
    std::uint64_t recovered = 0;
    if (!database_.salvage(recovered))
        return false;
    // A failed log entry was shown; the repaired database is used all the same.
    (void)runLog_.logRepair(recovered);
    return true;
}

bool RunControl::openDatabaseForUpdate() {
    if (database_.open(KeyedOpenMode::update))
        return true;
    reportFileError(messages_, kOpen, files::kBasicDatabase);
    return false;
}

// The two passes; a damaged page of the database met by them (reported READ)
// is repaired once and the passes run again against what it still held.
bool RunControl::comparePasses() {
    if (markNewAndChanged(workFile_, database_, messages_, counters_) &&
        sweepDeleted(workFile_, database_, messages_, counters_, extensionList_.userListMissed())) {
        return true;
    }
    if (!database_.readFailed() || !repairDatabase() || !openDatabaseForUpdate())
        return false;
    return markNewAndChanged(workFile_, database_, messages_, counters_) &&
           sweepDeleted(workFile_, database_, messages_, counters_,
                        extensionList_.userListMissed());
}

void RunControl::compareRun() {
    if (databaseUnusable_)
        return;
    if (!database_.open(KeyedOpenMode::input)) {
        // Only a missing database is built anew; one that is there but cannot
        // be read is left alone.
        bool missing = database_.lastStatus() == status::fileNotFound;
        database_.close();
        if (!missing) {
            reportFileError(messages_, kOpen, files::kBasicDatabase);
            return;
        }
        commandLetter = "N";
        newBuildRun();
        return;
    }
    database_.close();
    if (!openDatabaseForUpdate())
        return;
    // The walk and the passes read it through.
    database_.willReadAll();
    RunState state = database_.readRunState();
    if (database_.readFailed()) {
        reportFileError(messages_, kRead, files::kBasicDatabase);
        if (!repairDatabase() || !openDatabaseForUpdate())
            return;
        state = database_.readRunState();
        if (database_.readFailed()) {
            reportFileError(messages_, kRead, files::kBasicDatabase);
            return;
        }
    }
    // Fingerprints once kept are read by every compare, asked for or not.
    const bool keptFingerprints = database_.keepsFingerprints();
    if (database_.readFailed()) {
        reportFileError(messages_, kRead, files::kBasicDatabase);
        return;
    }
    if (state != RunState::none) {
        bool rebuild = state == RunState::buildingAnew;
        messages_.show(messages::interruptionDetected(rebuild ? messages::kRebuildText
                                                              : messages::kContinueText),
                       messages::kError);
        if (!runLog_.logInterruption(rebuild))
            return;
        if (rebuild) {
            database_.close();
            commandLetter = "N";
            newBuildRun(keptFingerprints);
            return;
        }
        // A failure was shown; the passes store the run state anew.
        (void)database_.clearRunState();
    }
    const bool fingerprints = keptFingerprints || fingerprintsAsked();
    if (fingerprints && !keptFingerprints && !database_.storeFingerprintRecord())
        return;
    if (!prepareWorkFile(workFile_, messages_))
        return;
    DirectoryWalk walk(platform_, messages_, workFile_, extensionList_, counters_, &database_);
    if (fingerprints)
        walk.readContents(workers_());
    if (walk.walk(startDirectory) != DirectoryWalk::Result::completed)
        return;
    if (!comparePasses())
        return;
    bool logged = runLog_.logComparison(counters_, extensions_.available());
    if (!counters_.allZero()) {
        // Without this run's report there are no details to show: the
        // report on disk, if any, is an earlier run's. The findings stay
        // pending for the next report.
        if (!logged)
            return;
        if (!writeDifferencesReport(platform_, messages_, workFile_, database_, counters_,
                                    runLog_.entryDate(), runLog_.entryTime(), findings_)) {
            return;
        }
    }
    endOfRunMessage();
}

bool RunControl::fingerprintsAsked() {
    std::optional<std::string> value = platform_.environment("VELUMTAR_FINGERPRINTS");
    return value && platform_.upperCase(*value) == BasicDatabase::kFingerprintKind;
}

void RunControl::newBuildRun(bool keepFingerprints) {
    if (!database_.deleteFile()) {
        reportFileError(messages_, kDelete, files::kBasicDatabase);
        return;
    }
    if (!database_.open(KeyedOpenMode::update)) {
        reportFileError(messages_, kOpen, files::kBasicDatabase);
        return;
    }
    // The database is empty from here until buildAnew has filled it: a run
    // that stops before must not leave it for the next compare to trust.
    const bool fingerprints = keepFingerprints || fingerprintsAsked();
    if (!prepareWorkFile(workFile_, messages_) ||
        (fingerprints && !database_.storeFingerprintRecord()) ||
        !database_.storeRunState(RunState::buildingAnew)) {
        discardDatabase();
        return;
    }
    DirectoryWalk walk(platform_, messages_, workFile_, extensionList_, counters_);
    if (fingerprints)
        walk.readContents(workers_());
    if (walk.walk(startDirectory) != DirectoryWalk::Result::completed) {
        discardDatabase();
        return;
    }
    BuildResult built = buildAnew(workFile_, database_);
    if (!built.success) {
        reportFileError(messages_, built.operation, built.file);
        discardDatabase();
        return;
    }
    // The log tells that the new database compares contents from now on.
    counters_.fingerprintsRecorded = built.fingerprints;
    // Failures were shown. A run state left behind makes the next compare
    // run report the interruption; a missing log entry loses only the entry.
    (void)database_.clearRunState();
    (void)runLog_.logNewBuild(counters_, extensions_.available());
    endOfRunMessage();
}

// A new build that cannot finish leaves no database at all, so that the next
// compare run builds anew.
void RunControl::discardDatabase() {
    database_.close();
    // A database that stays holds the build's run state, so the next compare
    // run still builds anew.
    (void)database_.deleteFile();
}

void RunControl::endOfRunMessage() {
    completed_ = true;
    if (commandLetter == "N") {
        messages_.show(messages::newBuildFinished(), messages::kInformation);
    } else if (counters_.allZero()) {
        messages_.show(messages::noDifferences(), messages::kInformation);
    } else if (messages_.show(messages::detailsQuestion(runLog_.summaryLines()),
                              messages::kQuestion) == Answer::yes) {
        launcher_.launchWithoutWaiting(kShowReportCommand);
    }
}

}  // namespace velumtar
