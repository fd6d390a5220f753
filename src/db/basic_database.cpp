#include "db/basic_database.h"

#include "files/file_error.h"
#include "files/file_names.h"
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
        reportFileError(messages_, existed ? kRewrite : kWrite, files::kBasicDatabase);
        return false;
    }
    return true;
}

bool BasicDatabase::clearRunState() {
    setRunStateKey();
    if (!readByKey())
        return true;
    if (!deleteRecord() || !commit()) {
        reportFileError(messages_, kDelete, files::kBasicDatabase);
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
