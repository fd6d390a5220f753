#include "db/basic_database.h"

#include "files/file_error.h"
#include "files/file_names.h"
#include "files/keyed_store_engine.h"
#include "files/line_file.h"
#include "scan/extension_database.h"
#include "scan/file_facts.h"
#include "ui/message_service.h"

namespace velumtar {

namespace {

// The last line of a complete copy: no database record starts with '*'.
constexpr std::string_view kCopyComplete = "*COMPLETE COPY OF THE BASIC DATABASE";

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

char BasicDatabase::readRunState() {
    setRunStateKey();
    if (!readByKey())
        return '0';
    char state = view().at(dbrec::runState);
    return state >= '0' && state <= '9' ? state : '0';
}

bool BasicDatabase::storeRunState(char digit) {
    setRunStateKey();
    if (!readByKey())
        setRunStateKey();
    bool existed = found();
    view().at(dbrec::runState) = digit;
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

void BasicDatabase::purgeExtensions(ExtensionDatabase* extensions) {
    bool compaction = false;
    if (!open('-')) {
        reportFileError(messages_, kOpen, files::kBasicDatabase);
    } else if (!extensions) {
        while (readNext()) {
            if (view().at(dbrec::extensionMark) == ' ')
                continue;
            if (!deleteRecord()) {
                reportFileError(messages_, kDelete, files::kBasicDatabase);
                compaction = false;
                break;
            }
            compaction = true;
        }
        if (readFailed()) {
            // A damaged page is not the end of the entries.
            reportFileError(messages_, kRead, files::kBasicDatabase);
            damageMet = true;
            compaction = false;
        }
    } else if (!extensions->open('-')) {
        reportFileError(messages_, kOpen, files::kExtensionDatabase);
        extensions->available = '0';
    } else {
        RecordView entry(extensions->record());
        bool failed = false;
        while (!failed && extensions->readNext()) {
            if (entry.at(extrec::removedMark) == ' ')
                continue;
            std::string key(entry.get(extrec::key));
            clearRecord();
            startAt();
            // startAt delivered the first record; go through it and the rest.
            for (bool more = found(); more; more = readNext()) {
                RecordView v = view();
                if (v.at(dbrec::extensionMark) == ' ' || v.get(dbrec::userExtension) != key) {
                    continue;
                }
                if (!deleteRecord()) {
                    reportFileError(messages_, kDelete, files::kBasicDatabase);
                    failed = true;
                    break;
                }
            }
            if (!failed && readFailed()) {
                // The extension's mark stays for a later purge.
                reportFileError(messages_, kRead, files::kBasicDatabase);
                damageMet = true;
                failed = true;
            }
            if (failed)
                break;
            if (!extensions->deleteRecord()) {
                reportFileError(messages_, kDelete, files::kExtensionDatabase);
                extensions->available = '0';
                compaction = false;
                break;
            }
        }
    }
    if (extensions && extensions->readFailed()) {
        reportFileError(messages_, kRead, files::kExtensionDatabase);
        extensions->available = '0';
    }
    close();
    if (extensions)
        extensions->close();
    if (compaction)
        compact();
    if (extensions && extensions->available != '1')
        extensions->removeFile();
}

void BasicDatabase::compact() {
    LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
    if (!open('I')) {
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

// Writes each recovered file entry as a line of the copy work file.
class CopySink final : public SalvageSink {
  public:
    CopySink(LineFile& copy, std::size_t recordLength) : copy_(copy), length_(recordLength) {}
    bool take(const char* record) override {
        // The run-state record is left out: an older version of it may be
        // all that survived, and the repair is itself logged.
        if (record[0] != 'F')
            return true;
        ++fileEntries;
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

// Replaces the database with the records of the complete copy. On failure
// the copy stays on disk and the next run's recoverCompaction() retries.
bool BasicDatabase::restoreFromCopy() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
        close();
        if (!open('O')) {
            close();
            continue;
        }
        if (!copy.openInput().isSuccess()) {
            close();
            return false;
        }
        bool restored = false;
        std::string line;
        while (copy.readNext(line).isSuccess()) {
            if (line.rfind(kCopyComplete, 0) == 0) {
                restored = true;
                break;
            }
            std::copy(line.begin(), line.end(), record());
            // `found` stays cleared: every record is written as new and gets
            // both stamps of this moment.
            if (!store())
                break;
        }
        copy.close();
        if (restored && commit()) {
            close();
            return true;
        }
        close();
    }
    return false;
}

void BasicDatabase::recoverCompaction() {
    LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
    if (!copy.openInput().isSuccess())
        return;
    std::string line, first;
    bool complete = false;
    bool any = false;
    while (copy.readNext(line).isSuccess()) {
        if (!any)
            first = line;
        any = true;
        if (line.rfind(kCopyComplete, 0) == 0)
            complete = true;
    }
    copy.close();
    bool ofThisDatabase = any && (first[0] == 'F' || first[0] == '0' || first[0] == '*');
    if (complete && ofThisDatabase) {
        if (!restoreFromCopy())
            return;
    }
    copy.remove();
}

}  // namespace velumtar
