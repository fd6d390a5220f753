// The compare run and the new-build run: the order in which they prepare the
// files, walk the drive, build or compare, log and report, how they react to
// the run state an interrupted earlier run left behind, and the closing
// message.
#include "control/run_control.h"
#include "db/comparison_passes.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "report/differences_report.h"
#include "scan/directory_walk.h"
#include "ui/messages.h"

namespace velumtar {

void RunControl::openCompareOrBuild() {
    // A compaction that could not put the database back left its complete
    // copy: restore it before anything reads the database.
    database_.recoverCompaction();
    extensionList_.prepareExtensions(startDirectory);
    runLog_.trimLog();
    counters_.zero(FindingCounters::kLocked);
}

void RunControl::compareRun() {
    if (!database_.open('I')) {
        database_.close();
        commandLetter = "N";
        newBuildRun();
        return;
    }
    database_.close();
    if (!database_.open('-')) {
        reportFileError(messages_, kOpen, files::kBasicDatabase);
        return;
    }
    char state = database_.readRunState();
    if (state == '1' || state == '2') {
        messages_.show(messages::interruptionDetected(state == '1' ? messages::kRebuildText
                                                                   : messages::kContinueText),
                       messages::kError);
        if (!runLog_.logInterruption(state))
            return;
        if (state == '1') {
            database_.close();
            commandLetter = "N";
            newBuildRun();
            return;
        }
        (void)database_.clearRunState();
    }
    if (!prepareWorkFile(workFile_, messages_))
        return;
    DirectoryWalk walk(platform_, messages_, workFile_, extensionList_, counters_);
    if (walk.walk(startDirectory) != 'J')
        return;
    if (!markNewAndChanged(workFile_, database_, messages_, counters_))
        return;
    if (!sweepDeleted(workFile_, database_, messages_, counters_, extensionList_.userListMissed()))
        return;
    bool logged = runLog_.logComparison(counters_, extensions_.available);
    if (!counters_.allZero()) {
        // Without this run's report there are no details to show: the
        // report on disk, if any, is an earlier run's. The findings stay
        // pending for the next report.
        if (!logged)
            return;
        if (!writeDifferencesReport(platform_, messages_, workFile_, database_, counters_,
                                    runLog_.entryDate(), runLog_.entryTime())) {
            return;
        }
    }
    endOfRunMessage();
}

void RunControl::newBuildRun() {
    if (!database_.deleteFile()) {
        reportFileError(messages_, kDelete, files::kBasicDatabase);
        return;
    }
    if (!database_.open('-')) {
        reportFileError(messages_, kOpen, files::kBasicDatabase);
        return;
    }
    // The database is empty from here until buildAnew has filled it: a run
    // that stops before must not leave it for the next compare to trust.
    if (!prepareWorkFile(workFile_, messages_) || !database_.storeRunState('1')) {
        discardDatabase();
        return;
    }
    DirectoryWalk walk(platform_, messages_, workFile_, extensionList_, counters_);
    if (walk.walk(startDirectory) != 'J') {
        discardDatabase();
        return;
    }
    BuildResult built = buildAnew(workFile_, database_);
    if (!built.success) {
        reportFileError(messages_, built.operation, files::kBasicDatabase);
        discardDatabase();
        return;
    }
    (void)database_.clearRunState();
    (void)runLog_.logNewBuild(counters_, extensions_.available);
    endOfRunMessage();
}

// A new build that cannot finish leaves no database at all, so that the next
// compare run builds anew.
void RunControl::discardDatabase() {
    database_.close();
    (void)database_.deleteFile();
}

void RunControl::endOfRunMessage() {
    if (commandLetter == "N") {
        messages_.show(messages::newBuildFinished(), messages::kInformation);
    } else if (counters_.allZero()) {
        messages_.show(messages::noDifferences(), messages::kInformation);
    } else if (messages_.show(messages::detailsQuestion(runLog_.summaryLines),
                              messages::kQuestion) == '3') {
        launcher_.launchWithoutWaiting(kShowReportCommand);
    }
}

}  // namespace velumtar
