#include "scan/extension_list.h"

#include "db/basic_database.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "files/line_file.h"
#include "files/text_field.h"
#include "platform/platform.h"
#include "scan/extension_database.h"

namespace velumtar {

namespace {

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

}  // namespace

bool occursInName(std::string_view name, std::string_view testValue) {
    // The name is compared as its 255-character blank-padded field, so a
    // value ending in a blank matches at the end of the name too.
    std::string field = padded(name, kNameWidth);
    return field.find(testValue) != std::string::npos;
}

ExtensionList::ExtensionList(Platform& platform, MessageService& messages,
                             ExtensionDatabase& extensions, BasicDatabase& database)
    : platform_(platform), messages_(messages), extensions_(extensions), database_(database) {}

void ExtensionList::validate() {
    LineFile file(platform_, std::string(files::kExtensionFile), files::kExtensionFileRecord);
    extensionFileFlag = '1';
    if (!file.openInput().isSuccess()) {
        extensionFileFlag = '0';
        return;
    }
    counters = {};
    std::string line;
    while (file.readNext(line).isSuccess()) {
        if (allBlank(line))
            continue;
        ++counters[0];
        if (line[0] == '.')
            ++counters[1];
        if (!allBlank(std::string_view(line).substr(1, 3)))
            ++counters[2];
    }
    file.close();
    if (counters[0] != counters[1] || counters[1] != counters[2])
        extensionFileFlag = '0';
}

void ExtensionList::prepareExtensions(const std::string& startDirectory) {
    validate();

    extensions_.setName(std::string(files::kExtensionDatabase));
    extensions_.available = extensions_.open('I') ? '1' : '0';
    extensions_.close();

    basicDatabaseFlag = database_.open('I') ? '1' : '0';
    database_.close();

    if (extensionFileFlag != '1') {
        if (extensions_.available == '1') {
            extensions_.removeFile();
            extensions_.available = '0';
        }
        if (basicDatabaseFlag == '1')
            database_.purgeExtensions(nullptr);
    } else {
        synchroniseExtensions();
        if (basicDatabaseFlag == '1') {
            database_.purgeExtensions(extensions_.available == '1' ? &extensions_ : nullptr);
        }
    }
    if (extensions_.available == '1')
        extensions_.useFullName(startDirectory);
}

void ExtensionList::synchroniseExtensions() {
    entriesDeletedFlag = '0';
    LineFile file(platform_, std::string(files::kExtensionFile), files::kExtensionFileRecord);
    RecordView entry = extensions_.view();
    if (!extensions_.open('-')) {
        reportFileError(messages_, kOpen, files::kExtensionDatabase);
        extensions_.available = '0';
    } else {
        extensions_.available = '1';
        (void)file.openInput();
        std::string line;
        bool failed = false;
        while (!failed && file.isOpen() && file.readNext(line).isSuccess()) {
            if (allBlank(line))
                continue;
            std::string key = upperAscii(std::string_view(line).substr(0, 4));
            extensions_.clearRecord();
            entry.set(extrec::key, key);
            if (extensions_.readByKey()) {
                entry.set(extrec::marks, "  E");
            } else {
                extensions_.clearRecord();
                entry.set(extrec::key, key);
                entry.set(extrec::marks, "E  ");
            }
            bool existed = extensions_.found();
            if (!extensions_.store()) {
                reportFileError(messages_, existed ? kRewrite : kWrite, files::kExtensionDatabase);
                extensions_.available = '0';
                failed = true;
            }
        }
        if (!failed) {
            extensions_.clearRecord();
            for (bool more = extensions_.startAt(); more; more = extensions_.readNext()) {
                if (entry.at(extrec::addedMark) != ' ' || entry.at(extrec::seenMark) != ' ') {
                    entry.set(extrec::marks, "   ");
                } else if (basicDatabaseFlag == '1') {
                    entry.at(extrec::removedMark) = 'E';
                } else {
                    if (!extensions_.deleteRecord()) {
                        reportFileError(messages_, kDelete, files::kExtensionDatabase);
                        extensions_.available = '0';
                        break;
                    }
                    entriesDeletedFlag = '1';
                    continue;
                }
                if (!extensions_.store()) {
                    reportFileError(messages_, kRewrite, files::kExtensionDatabase);
                    extensions_.available = '0';
                    entriesDeletedFlag = '0';
                    break;
                }
            }
        }
    }
    file.close();
    extensions_.close();
    if (entriesDeletedFlag == '1' && extensions_.available == '1') {
        extensions_.compactExtensionDatabase();
    }
    if (extensions_.available != '1')
        extensions_.removeFile();
}

void ExtensionList::openForWalk() {
    if (extensions_.available != '1')
        return;
    if (!extensions_.open('I')) {
        reportFileError(messages_, kOpen, files::kExtensionDatabase);
        extensions_.available = '0';
    }
}

void ExtensionList::closeAfterWalk() {
    extensions_.close();
}

bool ExtensionList::qualifies(std::string_view name, std::string& userExtension) {
    userExtension.assign(4, ' ');
    std::string field = padded(name, kNameWidth);
    bool result = false;
    for (std::string_view ext : DefaultExtensions) {
        std::string test = "." + std::string(ext) + " ";
        if (field.find(test) != std::string::npos) {
            result = true;
            break;
        }
    }
    if (!result && extensions_.available == '1' && extensions_.isOpen()) {
        bool wildcard = false;
        RecordView entry = extensions_.view();
        extensions_.clearRecord();
        for (bool more = extensions_.startAt(); more; more = extensions_.readNext()) {
            std::string_view key = entry.get(extrec::key);
            if (key.substr(1) == "*.*") {
                wildcard = true;
                continue;
            }
            std::string test = "." + std::string(key.substr(1)) + " ";
            if (field.find(test) != std::string::npos) {
                result = true;
                userExtension.assign(key);
                break;
            }
        }
        if (!result && wildcard) {
            result = true;
            userExtension = ".*.*";
        }
    }
    if (!result)
        return false;
    for (std::string_view excluded : ExcludedFileNames) {
        if (field.find(excluded) != std::string::npos)
            return false;
    }
    return true;
}

}  // namespace velumtar
