#include "scan/directory_walk.h"

#include <algorithm>
#include <array>

#include "db/work_file.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "files/record_view.h"
#include "files/text_field.h"
#include "platform/platform.h"
#include "scan/extension_list.h"
#include "scan/file_facts.h"
#include "ui/message_service.h"
#include "ui/messages.h"

namespace velumtar {

namespace {

constexpr std::size_t kPatternWidth = 255;
constexpr std::size_t kFullPathWidth = 300;
constexpr std::string_view kRootPattern = "C:\\*";
constexpr std::string_view kSuffix = "\\*";
// Every entry of the working directory, hidden and system ones included.
constexpr std::string_view kListingPattern = "\"*.*\"";
// Marks the end of a path in a field, like a blank or a NUL.
constexpr char kEndMarker = 5;

// Directories that are neither recorded nor entered: the system's restore
// data and recycle bins, and the card store. An entry counts with its
// trailing blanks, wherever it occurs in the 255-character name.
constexpr std::array<std::string_view, 3> ExcludedDirectoryNames = {
    "CARDSPACE                ", "SYSTEM VOLUME INFORMATION", "RECYCLER                 "};

// A directory is excluded when an entry occurs anywhere in its padded
// upper-case name: one occurrence at any start position is enough.
bool excludedDirectory(std::string_view name) {
    for (std::string_view entry : ExcludedDirectoryNames) {
        if (name.find(entry) != std::string_view::npos)
            return true;
    }
    return false;
}

// Where the name of an entry goes in the full path: at the asterisk of the
// pattern's "\*" suffix.
std::size_t asteriskOf(std::string_view pattern) {
    return trimmedRight(pattern).size() - 1;
}

// The directory of a pattern as a change of directory takes it: without the
// "\*" suffix, the root of a drive as "C:\", in double quotes.
std::string changeTarget(std::string_view pattern) {
    std::string path(trimmedRight(pattern));
    if (path.size() >= kSuffix.size() &&
        path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
        path.pop_back();
        bool driveRoot = path.size() == 3 && path[1] == ':';
        if (!driveRoot)
            path.pop_back();
    }
    return "\"" + path + "\"";
}

// Length of a path field's content: up to its last character that is not a
// blank, a NUL or the end marker.
std::size_t contentLength(std::string_view field) {
    std::size_t end = field.size();
    while (end > 0 &&
           (field[end - 1] == ' ' || field[end - 1] == '\0' || field[end - 1] == kEndMarker))
        --end;
    return end;
}

}  // namespace

DirectoryWalk::DirectoryWalk(Platform& platform, MessageService& messages, WorkFile& workFile,
                             ExtensionList& extensions, FindingCounters& counters)
    : platform_(platform),
      messages_(messages),
      workFile_(workFile),
      extensions_(extensions),
      counters_(counters) {}

char DirectoryWalk::walk(const std::string& startDirectory) {
    extensions_.openForWalk();
    platform_.beginReadAhead(extensions_.watchedNames());
    workFile_.clearRecord();
    pattern_ = padded(kRootPattern, kPatternWidth);
    listing_ = platform_.newListing();
    char completed = 'N';
    if (recordEntry(EntryType::root, "    "))
        completed = visitDirectories();
    finish(startDirectory);
    platform_.endReadAhead();
    return completed;
}

char DirectoryWalk::visitDirectories() {
    for (;;) {
        if (enterAndList() == Next::stop)
            return 'N';
        switch (nextDirectory()) {
            case Found::directory:
                break;
            case Found::none:
                return 'J';
            case Found::readFailure:
                return 'N';
        }
    }
}

DirectoryWalk::Next DirectoryWalk::enterAndList() {
    std::string target = changeTarget(pattern_);
    if (!platform_.changeDirectory(target))
        return lockedDirectory(target);
    if (!listing_) {
        messages_.show(messages::listingError(kListingPattern), messages::kError);
        return Next::stop;
    }
    ListingEntry entry;
    ListingResult result = listing_->first(kListingPattern, entry);
    // A directory that opens but refuses its listing is as closed to the
    // walk as one that cannot be entered.
    if (result == ListingResult::accessDenied) {
        listing_->end();
        return lockedDirectory(target);
    }
    for (;; result = listing_->next(entry)) {
        if (result == ListingResult::end) {
            listing_->end();
            return Next::goOn;
        }
        if (result != ListingResult::entry) {
            messages_.show(messages::listingError(kListingPattern), messages::kError);
            return Next::stop;
        }
        if (examine(entry) == Next::stop)
            return Next::stop;
    }
}

DirectoryWalk::Next DirectoryWalk::examine(const ListingEntry& entry) {
    // Links and junctions are not followed, so no tree is visited twice and
    // no loop is possible; devices, pipes and sockets are not files to watch.
    if (entry.kind != EntryKind::file && entry.kind != EntryKind::directory)
        return Next::goOn;
    keepName(entry.name);
    if (entry.kind == EntryKind::file) {
        std::string userExtension;
        if (!extensions_.qualifies(name_, userExtension))
            return Next::goOn;
        return recordEntry(EntryType::file, userExtension) ? Next::goOn : Next::stop;
    }
    // A blank name (possible on POSIX) adds nothing to its parent's path: its
    // entry would lead back into the parent and the walk round in circles.
    if (excludedDirectory(name_) || allBlank(name_))
        return Next::goOn;
    if (!recordEntry(EntryType::directory, "    "))
        return Next::stop;
    announceDirectory();
    return Next::goOn;
}

void DirectoryWalk::announceDirectory() {
    // Entered later: not skipped, and sorting after the directory being
    // listed (the record area still holds the entry just stored).
    RecordView record = workFile_.view();
    std::string_view path = record.get(workrec::path);
    if (record.at(workrec::lockedMark) != 'G' &&
        path > std::string_view(pattern_).substr(0, path.size()))
        platform_.readAhead(path);
}

void DirectoryWalk::keepName(std::string_view listed) {
    std::string name = platform_.upperCase(listed);
    // A name delivered in double quotes loses them; a quote inside a name
    // (possible on POSIX) is part of the name.
    std::string_view kept = name;
    if (kept.size() >= 2 && kept.front() == '"' && kept.back() == '"')
        kept = kept.substr(1, kept.size() - 2);
    name_.assign(kept.substr(0, kNameWidth));
    name_.resize(kNameWidth, ' ');
}

DirectoryWalk::Next DirectoryWalk::lockedDirectory(std::string_view quotedPath) {
    messages_.show(messages::enterDirectoryError(quotedPath), messages::kError);
    counters_.add(FindingCounters::kLocked);
    if (trimmedRight(pattern_) == kRootPattern)
        return Next::stop;
    if (messages_.show(messages::ignoreLockedQuestion(quotedPath), messages::kQuestion) != '3')
        return Next::stop;
    return markCurrentSkipped() ? Next::goOn : Next::stop;
}

bool DirectoryWalk::markCurrentSkipped() {
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.at(workrec::recordType) = 'A';
    record.set(workrec::path, pattern_);
    if (!workFile_.readByKey()) {
        workFile_.clearRecord();
        record.at(workrec::recordType) = 'A';
        record.set(workrec::path, pattern_);
        record.set(workrec::facts, zeroFacts(false).str());
    }
    record.at(workrec::lockedMark) = 'G';
    return storeRecord();
}

DirectoryWalk::Found DirectoryWalk::nextDirectory() {
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.at(workrec::recordType) = 'A';
    record.set(workrec::path, pattern_);
    (void)workFile_.readByKey();
    while (workFile_.readNext()) {
        if (record.at(workrec::recordType) != 'A')
            return Found::none;
        // Directories marked skipped were never to be entered.
        if (record.at(workrec::lockedMark) == 'G')
            continue;
        pattern_ = padded(record.get(workrec::path), kPatternWidth);
        return Found::directory;
    }
    return workFile_.lastStatus().isEndOfFile() ? Found::none : Found::readFailure;
}

bool DirectoryWalk::recordEntry(EntryType type, std::string_view userExtension) {
    fullPath_.assign(std::string_view(pattern_).substr(0, kFullPathWidth));
    fullPath_.resize(kFullPathWidth, ' ');
    if (type != EntryType::root) {
        std::size_t at = asteriskOf(pattern_);
        fullPath_.replace(at, kNameWidth, name_);
        fullPath_.resize(kFullPathWidth);
    }
    std::size_t length = contentLength(fullPath_);
    // A directory whose path leaves no room for the "\*" suffix cannot
    // become a pattern: it is recorded as skipped and counted as locked.
    bool unreachable =
        type == EntryType::directory && length + kSuffix.size() > workrec::path.width;

    buildRecord(type, length, unreachable);
    if (!workFile_.readByKey())
        buildRecord(type, length, unreachable);
    RecordView record = workFile_.view();

    if (type != EntryType::file) {
        // An entry already there keeps its other facts, its skip mark among
        // them.
        FileFacts directoryFacts;
        std::string_view existing = record.get(workrec::facts);
        std::copy(existing.begin(), existing.end(), directoryFacts.text.begin());
        RecordView fields = directoryFacts.view();
        fields.set(facts::date, "00000000");
        fields.set(facts::time, "000000");
        fields.set(facts::size, "0000000000000000");
        if (unreachable) {
            fields.at(facts::lockedMark) = 'G';
            counters_.add(FindingCounters::kLocked);
        }
        record.set(workrec::facts, directoryFacts.str());
        return storeRecord();
    }

    if (length > workrec::path.width) {
        record.set(workrec::facts, zeroFacts(true).str());
        return storeRecord();
    }
    std::string_view path = trimmedRight(record.get(workrec::path));
    FileInformation info;
    PlatformStatus status = platform_.fileInformation("\"" + std::string(path) + "\"", info);
    // Gone since it was listed: nothing left to record.
    if (status == PlatformStatus::notFound)
        return true;
    if (status != PlatformStatus::ok) {
        messages_.show(messages::fileFactsError(trimmedRight(fullPath_)), messages::kError);
        return false;
    }
    // The file's own attributes, not the listing's: a listing may leave out
    // bits it would have to ask the system for entry by entry.
    record.set(workrec::facts, factsFrom(info, info.attributes, userExtension).str());
    return storeRecord();
}

void DirectoryWalk::buildRecord(EntryType type, std::size_t length, bool unreachable) {
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.at(workrec::recordType) = type == EntryType::file ? 'F' : 'A';
    std::string_view path(fullPath_);
    if (type == EntryType::directory && !unreachable)
        record.set(workrec::path, std::string(path.substr(0, length)) + std::string(kSuffix));
    else
        record.set(workrec::path, path.substr(0, workrec::path.width));
}

bool DirectoryWalk::storeRecord() {
    bool rewrite = workFile_.found();
    if (workFile_.store())
        return true;
    reportFileError(messages_, rewrite ? kRewrite : kWrite, files::kWorkFile);
    return false;
}

void DirectoryWalk::finish(const std::string& startDirectory) {
    if (listing_)
        listing_->end();
    listing_.reset();
    extensions_.closeAfterWalk();
    (void)platform_.changeDirectory(changeTarget(startDirectory));
}

}  // namespace velumtar
