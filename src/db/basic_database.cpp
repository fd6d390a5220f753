#include "db/basic_database.h"

#include "db/extension_database.h"
#include "files/file_error.h"
#include "files/file_facts.h"
#include "files/file_names.h"
#include "store/keyed_store_engine.h"
#include "store/line_file.h"
#include "ui/message_service.h"

namespace velumtar {

namespace {

// The last line of a complete copy: no database record starts with '*'.
constexpr std::string_view kCopyComplete = "*COMPLETE COPY OF THE BASIC DATABASE";

// The run-state digits of the run-state record.
constexpr char kNoRun = '0';
constexpr char kBuildingAnew = '1';
constexpr char kComparing = '2';

}  // namespace

BasicDatabase::BasicDatabase(Platform& platform, MessageService& messages, RunStamp& stamp)
    : KeyedFile(platform, std::string(files::kBasicDatabase), dbrec::kWidth, dbrec::kKeyWidth),
      messages_(messages),
      stamp_(stamp) {}

void BasicDatabase::prepareStore() {
    stamp_.read();
    RecordView v = view();
    std::string_view time = std::string_view(stamp_.stampTime()).substr(0, 5);
    v.set(dbrec::storedDate, stamp_.stampDate());
    v.set(dbrec::storedTime, time);
    if (!found()) {
        v.set(dbrec::createdDate, stamp_.stampDate());
        v.set(dbrec::createdTime, time);
    }
}

void BasicDatabase::setRunStateKey() {
    clearRecord();
    view().at(dbrec::recordType) = '0';
}

void BasicDatabase::setFirstFileKey() {
    clearRecord();
    view().at(dbrec::recordType) = 'F';
}

RunState BasicDatabase::readRunState() {
    setRunStateKey();
    if (!readByKey())
        return RunState::none;
    switch (view().at(dbrec::runState)) {
        case kBuildingAnew:
            return RunState::buildingAnew;
        case kComparing:
            return RunState::comparing;
        default:
            return RunState::none;
    }
}

bool BasicDatabase::storeRunState(RunState state) {
    setRunStateKey();
    if (!readByKey())
        setRunStateKey();
    bool existed = found();
    view().at(dbrec::runState) = state == RunState::buildingAnew ? kBuildingAnew
                                 : state == RunState::comparing  ? kComparing
                                                                 : kNoRun;
    if (!store() || !commit()) {
        reportFileError(messages_, failedOperation(existed ? kRewrite : kWrite),
                        files::kBasicDatabase);
        return false;
    }
    return true;
}

bool BasicDatabase::clearRunState() {
    setRunStateKey();
    if (!readByKey() && !readFailed())
        return true;
    if (readFailed() || !deleteRecord() || !commit()) {
        reportFileError(messages_, failedOperation(kDelete), files::kBasicDatabase);
        return false;
    }
    return true;
}

bool BasicDatabase::keepsFingerprints() {
    clearRecord();
    view().at(dbrec::recordType) = dbrec::kFingerprintRecord;
    return readByKey();
}

bool BasicDatabase::storeFingerprintRecord() {
    clearRecord();
    view().at(dbrec::recordType) = dbrec::kFingerprintRecord;
    view().set(dbrec::fingerprintKind, kFingerprintKind);
    if (!store()) {
        reportFileError(messages_, failedOperation(kWrite), files::kBasicDatabase);
        return false;
    }
    return true;
}

// Shows the first failed deletion of a purge: a later failure of the same
// pass is not shown again.
class BasicDatabase::DeletionReport {
  public:
    explicit DeletionReport(MessageService& messages) : messages_(messages) {}
    void failed(std::string_view file) {
        if (!shown_)
            reportFileError(messages_, kDelete, file);
        shown_ = true;
    }

  private:
    MessageService& messages_;
    bool shown_ = false;
};

void BasicDatabase::purgeExtensions(ExtensionDatabase* extensions) {
    DeletionReport report(messages_);
    bool compaction = false;
    if (!open(KeyedOpenMode::update)) {
        reportFileError(messages_, kOpen, files::kBasicDatabase);
    } else if (!extensions) {
        compaction = purgeMarkedEntries(report);
    } else if (!extensions->open(KeyedOpenMode::update)) {
        reportFileError(messages_, kOpen, files::kExtensionDatabase);
        extensions->setAvailable(false);
    } else {
        purgeRemovedExtensions(*extensions, report);
    }
    if (!closePurge(extensions, report))
        compaction = false;
    if (compaction)
        compact();
    if (extensions && !extensions->available())
        extensions->removeFile();
}

bool BasicDatabase::purgeMarkedEntries(DeletionReport& report) {
    bool deleted = false;
    while (readNext()) {
        if (view().at(dbrec::extensionMark) == ' ')
            continue;
        if (!deleteRecord()) {
            report.failed(files::kBasicDatabase);
            return false;
        }
        deleted = true;
    }
    if (readFailed()) {
        // A damaged page is not the end of the entries.
        reportFileError(messages_, kRead, files::kBasicDatabase);
        damageMet = true;
        return false;
    }
    return deleted;
}

void BasicDatabase::purgeRemovedExtensions(ExtensionDatabase& extensions, DeletionReport& report) {
    RecordView entry(extensions.record());
    while (extensions.readNext()) {
        if (entry.at(extrec::removedMark) == ' ')
            continue;
        if (!purgeEntriesOf(std::string(entry.get(extrec::key)), report))
            return;
        if (!extensions.deleteRecord()) {
            report.failed(files::kExtensionDatabase);
            extensions.setAvailable(false);
            return;
        }
    }
}

bool BasicDatabase::purgeEntriesOf(const std::string& key, DeletionReport& report) {
    clearRecord();
    for (bool more = startAt(); more; more = readNext()) {
        RecordView v = view();
        if (v.at(dbrec::extensionMark) == ' ' || v.get(dbrec::userExtension) != key)
            continue;
        if (!deleteRecord()) {
            report.failed(files::kBasicDatabase);
            return false;
        }
    }
    if (readFailed()) {
        // The extension's mark stays for a later purge.
        reportFileError(messages_, kRead, files::kBasicDatabase);
        damageMet = true;
        return false;
    }
    return true;
}

bool BasicDatabase::closePurge(ExtensionDatabase* extensions, DeletionReport& report) {
    bool closed = true;
    if (extensions && extensions->readFailed()) {
        reportFileError(messages_, kRead, files::kExtensionDatabase);
        extensions->setAvailable(false);
    }
    // The deletions become durable at the close; a failure there is shown
    // as a failed deletion.
    if (!closeCommitted()) {
        report.failed(files::kBasicDatabase);
        closed = false;
        // The extensions keep their removed marks, so that the next run
        // purges their entries again.
        if (extensions)
            extensions->discardChanges();
    }
    if (extensions && !extensions->closeCommitted()) {
        report.failed(files::kExtensionDatabase);
        extensions->setAvailable(false);
        closed = false;
    }
    return closed;
}

void BasicDatabase::compact() {
    LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
    if (!open(KeyedOpenMode::input)) {
        close();
        return;
    }
    if (!copy.openOutput().isSuccess()) {
        close();
        return;
    }
    bool copied = true;
    while (readNext()) {
        if (!copy.write(std::string_view(record(), recordLength())).isSuccess()) {
            copied = false;
            break;
        }
    }
    if (readFailed()) {
        // The entries after a damaged page are not in the copy: emptying the
        // database now would lose them.
        reportFileError(messages_, kRead, files::kBasicDatabase);
        damageMet = true;
        copied = false;
    }
    if (copied)
        copied = copy.write(kCopyComplete).isSuccess();
    close();
    if (!copy.close().isSuccess())
        copied = false;
    if (!copied) {
        // The database was not touched; the copy is of no use.
        copy.remove();
        return;
    }
    if (restoreFromCopy())
        copy.remove();
}

namespace {

// Writes each recovered file entry as a line of the copy work file, and the
// run-state record when it tells of a run under way.
class CopySink final : public SalvageSink {
  public:
    CopySink(LineFile& copy, std::size_t recordLength) : copy_(copy), length_(recordLength) {}
    bool take(const char* record) override {
        const char type = record[dbrec::recordType.offset];
        if (type == 'F') {
            ++fileEntries;
        } else if (type != dbrec::kFingerprintRecord) {
            // The fingerprint record is kept: a repaired database goes on
            // checking contents.
            // An interrupted build or compare stays told: a half-built
            // database is built anew, not compared with. (An older version
            // of the record may be all that survived; at worst it warns of
            // an interruption once more.)
            const char state = record[dbrec::runState.offset];
            if (type != '0' || (state != kBuildingAnew && state != kComparing))
                return true;
        }
        return copy_.write(std::string_view(record, length_)).isSuccess();
    }
    std::uint64_t fileEntries = 0;

  private:
    LineFile& copy_;
    std::size_t length_;
};

}  // namespace

bool BasicDatabase::salvage(std::uint64_t& fileEntries) {
    fileEntries = 0;
    close();
    LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
    bool copied = copy.openOutput().isSuccess();
    CopySink sink(copy, recordLength());
    SalvageReport report;
    copied = copied &&
             salvageKeyedStore(platform(), name(), recordLength(), keyLength(), sink, report)
                 .isSuccess() &&
             copy.write(kCopyComplete).isSuccess();
    if (!copy.close().isSuccess())
        copied = false;
    if (!copied) {
        copy.remove();
        return false;
    }
    if (!restoreFromCopy())
        return false;
    copy.remove();
    fileEntries = sink.fileEntries;
    return true;
}

// Replaces the database with the records of the complete copy. The emptied
// database holds the compaction record from the moment it is durable until
// the last record of the copy is back, in one commit with its removal: a
// database with that record is one a compaction emptied, and the only one
// recoverCompaction() rebuilds from a copy. On failure the copy stays on disk.
bool BasicDatabase::restoreFromCopy() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
        close();
        if (!open(KeyedOpenMode::output)) {
            close();
            continue;
        }
        setCompactionKey();
        if (!store() || !commit() || !copy.openInput().isSuccess()) {
            // Until that commit the old database is untouched on disk.
            discardChanges();
            continue;
        }
        bool restored = false;
        std::string line;
        while (copy.readNext(line).isSuccess()) {
            if (line.rfind(kCopyComplete, 0) == 0) {
                restored = true;
                break;
            }
            // A compaction record in the copy is not one of this rebuild.
            if (line[0] == kCompactionRecord)
                continue;
            std::copy(line.begin(), line.end(), record());
            // `found` stays cleared: every record is written as new and gets
            // both stamps of this moment.
            if (!store())
                break;
        }
        (void)copy.close();
        setCompactionKey();
        if (restored && readByKey() && deleteRecord() && commit()) {
            close();
            return true;
        }
        // Back to the emptied database with its compaction record.
        discardChanges();
    }
    return false;
}

bool BasicDatabase::emptiedByCompaction() {
    if (!open(KeyedOpenMode::input)) {
        close();
        return false;
    }
    setCompactionKey();
    bool emptied = readByKey();
    close();
    return emptied;
}

void BasicDatabase::recoverCompaction() {
    LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
    if (!platform().fileExists(files::kCopyWorkFile))
        return;
    // A copy next to a database that no compaction emptied is not put back,
    // whatever it holds: that database is the one to trust.
    if (emptiedByCompaction()) {
        bool complete = false;
        std::string line;
        if (copy.openInput().isSuccess()) {
            while (!complete && copy.readNext(line).isSuccess())
                complete = line.rfind(kCopyComplete, 0) == 0;
        }
        (void)copy.close();
        if (complete && !restoreFromCopy())
            return;
    }
    // A copy that stays is taken up by recoverCompaction at the next start,
    // which removes any copy it does not need.
    (void)copy.remove();
}

void BasicDatabase::setCompactionKey() {
    clearRecord();
    view().at(dbrec::recordType) = kCompactionRecord;
}

}  // namespace velumtar
