#include "scan/directory_walk.h"

#include <algorithm>
#include <array>

#include "db/basic_database.h"
#include "db/finding_counters.h"
#include "db/work_file.h"
#include "files/file_contents.h"
#include "files/file_error.h"
#include "files/file_facts.h"
#include "files/file_names.h"
#include "files/record_view.h"
#include "platform/platform.h"
#include "scan/extension_list.h"
#include "store/fault_injection.h"
#include "ui/message_service.h"
#include "ui/messages.h"
#include "util/name_mapping.h"
#include "util/text_field.h"

namespace velumtar {

namespace {

constexpr std::size_t kPatternWidth = 255;
constexpr std::size_t kFullPathWidth = 300;
constexpr std::string_view kRootPattern = "C:\\*";
constexpr std::string_view kSuffix = "\\*";
// Every entry of the working directory, hidden and system ones included.
constexpr std::string_view kListingPattern = "\"*.*\"";
// How often a file that is listed but not found is listed and asked again
// before it counts as unreadable.
constexpr int kLookupRounds = 3;
// Marks the end of a path in a field, like a blank or a NUL.
constexpr char kEndMarker = 5;
// Recorded files below a directory whose name has several spellings that
// are looked for in each spelling, and spellings of one name compared.
constexpr std::size_t kWatchedSamples = 8;
constexpr std::size_t kMostSpellings = 16;

// Directories that are neither recorded nor entered: the system's restore
// data and recycle bins, and the card store. An entry counts with its
// trailing blanks, wherever it occurs in the 255-character name.
constexpr std::array<std::string_view, 3> ExcludedDirectoryNames = {
    "CARDSPACE                ", "SYSTEM VOLUME INFORMATION", "RECYCLER                 "};

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
    std::size_t end = trimmedLength(field);
    while (end > 0 &&
           (field[end - 1] == ' ' || field[end - 1] == '\0' || field[end - 1] == kEndMarker))
        --end;
    return end;
}

std::string_view unquoted(std::string_view path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
    return path;
}

// `path` is `directory` or lies below it.
bool within(std::string_view path, std::string_view directory) {
    return path.substr(0, directory.size()) == directory &&
           (path.size() == directory.size() || path[directory.size()] == '\\');
}

std::string quoted(std::string_view path) {
    return "\"" + std::string(path) + "\"";
}

}  // namespace

void WalkRules::keptName(Platform& platform, std::string_view listed, std::string& out) {
    // A name is kept as listed, quotes included: a Windows name holds none,
    // and on POSIX they are part of the name.
    const std::string upper = platform.upperCase(listed);
    out.assign(upper, 0, fittingLength(upper, kNameWidth));
    out.resize(kNameWidth, ' ');
}

std::string WalkRules::keptName(Platform& platform, std::string_view listed) {
    std::string name;
    keptName(platform, listed, name);
    return name;
}

bool WalkRules::excludedDirectory(std::string_view name) {
    // An entry of the table counts with its trailing blanks, wherever it
    // occurs in the padded name. A blank name (possible on POSIX) adds
    // nothing to its parent's path: its entry would lead back into the
    // parent and the walk round in circles.
    for (std::string_view entry : ExcludedDirectoryNames) {
        if (name.find(entry) != std::string_view::npos)
            return true;
    }
    return allBlank(name);
}

std::size_t WalkRules::fullPath(std::string_view pattern, std::string_view name, std::string& out) {
    out.assign(pattern.substr(0, kFullPathWidth));
    out.resize(kFullPathWidth, ' ');
    out.replace(asteriskOf(pattern), kNameWidth, name);
    out.resize(kFullPathWidth);
    return contentLength(out);
}

std::string WalkRules::keyOf(std::string_view path) const {
    path = unquoted(path);
    // Written as the walk keys it (the walk's own key, or a spelling without
    // lower case, controls or blanks ending a name): as it stands.
    bool keyed = true;
    for (std::size_t i = 0; i < path.size() && keyed; ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        keyed = c >= 0x20 && c < 0x7F && !(c >= 'a' && c <= 'z') &&
                !(c == ' ' && (i + 1 == path.size() || path[i + 1] == '\\'));
    }
    if (keyed && !path.empty() && path.back() != '\\')
        return std::string(path) + "\\*";
    // Otherwise the drive, then each name as the walk keys it.
    const std::size_t root = path.find('\\');
    if (root == std::string_view::npos)
        return std::string(trimmedRight(path)) + "\\*";
    std::string key(path.substr(0, root + 1));
    for (std::size_t at = root + 1; at < path.size();) {
        const std::size_t end = std::min(path.find('\\', at), path.size());
        std::string name = keptName(platform_, path.substr(at, end - at));
        showControls(name);
        key.append(trimmedRight(name)).push_back('\\');
        at = end + 1;
    }
    return key + '*';
}

bool WalkRules::childKey(std::string_view parentKey, std::string_view listed,
                         std::string& key) const {
    std::string name = keptName(platform_, listed);
    showControls(name);
    if (excludedDirectory(name))
        return false;
    const std::string pattern = padded(parentKey, kPatternWidth);
    const std::size_t length = fullPath(pattern, name, key);
    // No room for the suffix: recorded as skipped, never entered.
    if (length + kSuffix.size() > workrec::path.width)
        return false;
    key.resize(length);
    key += kSuffix;
    // Entered later only when its entry sorts after the directory listed.
    return padded(key, workrec::path.width) >
           std::string_view(pattern).substr(0, workrec::path.width);
}

bool WalkRules::wantsFacts(std::string_view listed) const {
    // Only what follows a full stop decides: upper-case that part alone.
    const std::size_t dot = listed.find('.');
    if (dot == std::string_view::npos)
        return watched_.everyFile;
    return watched_.covers(platform_.upperCase(listed.substr(dot)));
}

DirectoryWalk::DirectoryWalk(Platform& platform, MessageService& messages, WorkFile& workFile,
                             ExtensionList& extensions, FindingCounters& counters,
                             BasicDatabase* watched)
    : platform_(platform),
      messages_(messages),
      workFile_(workFile),
      extensions_(extensions),
      counters_(counters),
      watched_(watched) {}

DirectoryWalk::~DirectoryWalk() = default;

void DirectoryWalk::readContents(std::unique_ptr<WorkerRunner> runner) {
    contents_ = std::make_unique<ContentsReader>(platform_);
    pool_.reset();
    // A file made to grow while it is read (fault-injection builds) is
    // written through the platform, which serves one thread only.
    if (!runner || faultListed(platform_, FaultKind::grow))
        return;
    pool_ = std::make_unique<ContentsPool>();
    if (!pool_->start(std::move(runner)))
        pool_.reset();
}

DirectoryWalk::Result DirectoryWalk::walk(const std::string& startDirectory) {
    extensions_.openForWalk();
    platform_.beginReadAhead(WalkRules(platform_, extensions_.watchedNames()));
    workFile_.clearRecord();
    pattern_ = padded(kRootPattern, kPatternWidth);
    otherSpellings_ = false;
    spellings_.clear();
    listing_ = platform_.newListing();
    Result completed = Result::stopped;
    if (recordEntry(EntryType::root, "    "))
        completed = visitDirectories();
    if (pool_) {
        if (completed == Result::completed && !applyContents(0))
            completed = Result::stopped;
        pool_.reset();
    }
    finish(startDirectory);
    return completed;
}

DirectoryWalk::Result DirectoryWalk::visitDirectories() {
    for (;;) {
        if (enterAndList() == Next::stop)
            return Result::stopped;
        switch (nextDirectory()) {
            case Found::directory:
                break;
            case Found::none:
                return Result::completed;
            case Found::readFailure:
                // The queue of directories cannot be read on (already told):
                // the walk is not complete.
                return Result::stopped;
        }
    }
}

DirectoryWalk::Next DirectoryWalk::enterAndList() {
    chooseEnteredSpelling();
    std::string target = changeTarget(spelt(trimmedRight(pattern_)));
    // Never through a link swapped in since the parent's listing: such a
    // directory is one the walk cannot enter.
    if (!platform_.enterDirectory(target))
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
    listedName_ = entry.name;
    listedFacts_ = entry.hasFacts ? std::optional(entry.facts) : std::nullopt;
    listedFactsFromPath_ = entry.hasFacts && entry.factsFromPath;
    keepName(entry.name);
    if (entry.kind == EntryKind::file) {
        // The user's list may name an extension holding a control character
        // (a tab): the name qualifies as listed, and is kept as shown.
        std::string userExtension;
        if (!extensions_.qualifies(name_, userExtension))
            return Next::goOn;
        showControls(name_);
        return recordEntry(EntryType::file, userExtension) ? Next::goOn : Next::stop;
    }
    showControls(name_);
    if (WalkRules::excludedDirectory(name_))
        return Next::goOn;
    return recordEntry(EntryType::directory, "    ") ? Next::goOn : Next::stop;
}

void DirectoryWalk::keepName(std::string_view listed) {
    WalkRules::keptName(platform_, listed, name_);  // its room is used again
}

DirectoryWalk::Next DirectoryWalk::lockedDirectory(std::string_view quotedPath) {
    const std::string shown = shownName(quotedPath);
    messages_.show(messages::enterDirectoryError(shown), messages::kError);
    counters_.add(FindingCounters::kLocked);
    if (trimmedRight(pattern_) == kRootPattern)
        return Next::stop;
    if (messages_.show(messages::ignoreLockedQuestion(shown), messages::kQuestion) != Answer::yes)
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
    // The directory just finished has its entry: a read that does not find
    // it fails like one that cannot read on, and the walk must not end as
    // if every directory had been visited.
    if (workFile_.readByKey()) {
        while (workFile_.readNext()) {
            if (record.at(workrec::recordType) != 'A')
                return Found::none;
            // Directories marked skipped were never to be entered.
            if (record.at(workrec::lockedMark) == 'G')
                continue;
            pattern_ = padded(record.get(workrec::path), kPatternWidth);
            otherSpellings_ = record.at(workrec::otherSpellings) == 'S';
            return Found::directory;
        }
        if (workFile_.lastStatus().isEndOfFile())
            return Found::none;
    }
    reportFileError(messages_, kRead, files::kWorkFile);
    return Found::readFailure;
}

bool DirectoryWalk::recordEntry(EntryType type, std::string_view userExtension) {
    std::size_t length;
    if (type == EntryType::root) {
        fullPath_.assign(std::string_view(pattern_).substr(0, kFullPathWidth));
        fullPath_.resize(kFullPathWidth, ' ');
        length = contentLength(fullPath_);
    } else {
        length = WalkRules::fullPath(pattern_, name_, fullPath_);
    }
    // A directory whose path leaves no room for the "\*" suffix cannot
    // become a pattern: it is recorded as skipped and counted as locked.
    bool unreachable =
        type == EntryType::directory && length + kSuffix.size() > workrec::path.width;

    buildRecord(type, length, unreachable);
    const bool again = workFile_.readByKey();
    if (!again)
        buildRecord(type, length, unreachable);
    // An entry of this run under the same key: another spelling of the same
    // name was listed before (a POSIX file system tells case, trailing
    // blanks and control characters apart). Whatever the listing's order,
    // one spelling is watched, with its own facts; the others are told as
    // twins. The directory's entry notes that it has twins, for its turn.
    const bool twin =
        again && type != EntryType::root && !unreachable && length <= workrec::path.width;
    RecordView record = workFile_.view();
    if (twin && type == EntryType::directory)
        record.at(workrec::otherSpellings) = 'S';
    if (twin && !isChosenSpelling(type)) {
        if (type == EntryType::directory && !storeRecord())
            return false;
        return recordTwin(type, listedName_);
    }

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
        return storeRecord() && (!twin || recordOtherSpellings(type));
    }

    if (length > workrec::path.width) {
        record.set(workrec::facts, zeroFacts(true).str());
        return storeRecord();
    }
    bool gone = false;
    if (!readFacts(userExtension, gone))
        return false;
    if (gone)
        return true;
    return storeRecord() && (!contents_ || recordFingerprint()) &&
           (!twin || recordOtherSpellings(type));
}

namespace {

// The key of a link entry: the file's volume and index.
std::string linkKey(const FileIdentity& identity) {
    static constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string key;
    for (std::uint64_t value : {identity.volume, identity.index}) {
        for (int shift = 60; shift >= 0; shift -= 4)
            key += kDigits[(value >> shift) & 15];
    }
    return key;
}

bool sameDateTimeAndSize(std::string_view a, std::string_view b) {
    for (Field f : {facts::date, facts::time, facts::size}) {
        if (a.substr(f.offset, f.width) != b.substr(f.offset, f.width))
            return false;
    }
    return true;
}

}  // namespace

bool DirectoryWalk::recordFingerprint() {
    RecordView record = workFile_.view();
    auto job = std::make_unique<ContentsJob>();
    job->key = record.get(workrec::key);
    job->facts = record.get(workrec::facts);
    job->path = quoted(trimmedRight(record.get(workrec::path)));
    // By the name just listed, in the directory the walk is in: the file
    // listed, under that spelling, with no lookup of the whole path.
    const std::string listed = quoted(listedName_);
    bool opened = contents_->open(listed);
    if (!opened && pool_ && pool_->size() > 0) {
        // The files the pool holds open may be what the system is short of.
        if (!applyContents(0))
            return false;
        opened = contents_->open(listed);
    }
    if (!opened) {
        ++counters_.unreadableContents;
        return true;
    }
    job->identity = contents_->identity();
    const FileIdentity& identity = job->identity;
    const bool linked = identity.links > 1;
    if (linked && pool_ && pool_->holds([&](const ContentsJob& queued) {
            return queued.identity.volume == identity.volume &&
                   queued.identity.index == identity.index;
        })) {
        // Another name of the file waits to be read: its link entry first.
        if (!applyContents(0))
            return false;
    }
    // The entry's facts with the fingerprint and the unsettled mark.
    std::string fields;
    if (linked && knownFingerprint(identity, job->facts, fields))
        return amendEntry(job->key, fields);
    if (workFile_.readFailed()) {
        reportFileError(messages_, kRead, files::kWorkFile);
        return false;
    }
    if (pool_) {
        if (pool_->full() && !applyContents(ContentsPool::kCapacity / 2))
            return false;
        job->file = contents_->release();
        pool_->queue(std::move(job));
        return true;
    }
    // Tests make a file grow while it is read (fault-injection builds).
    const std::string& path = job->path;
    job->outcome = contents_->digest(job->digest, [&] {
        if (!injectedFault(platform_, FaultKind::grow, path))
            return;
        PlatformStatus status = PlatformStatus::ok;
        if (std::unique_ptr<File> file = platform_.openFile(path, OpenMode::append, status))
            (void)file->write(0, "+", 1);
    });
    job->readAgain = contents_->readAgain();
    job->factsAfter = contents_->factsAfter();
    return applyContents(*job);
}

bool DirectoryWalk::applyContents(std::size_t count) {
    for (std::size_t i = 0; count == 0 || i < count; ++i) {
        std::unique_ptr<ContentsJob> job = pool_->takeOldest();
        if (!job)
            return true;
        if (!applyContents(*job))
            return false;
    }
    return true;
}

bool DirectoryWalk::applyContents(const ContentsJob& job) {
    if (job.outcome == ContentsOutcome::unreadable) {
        ++counters_.unreadableContents;
        return true;
    }
    // Contents that changed while they were read are a change, whatever
    // the facts taken before say; the fingerprint is that of the last
    // reading (a settled one when the file came to rest), and the facts are
    // those taken after it where the file told them.
    FileFacts read;
    std::copy(job.facts.begin(), job.facts.end(), read.text.begin());
    if (job.factsAfter) {
        const FileFacts after = factsFrom(*job.factsAfter, job.factsAfter->attributes, "    ");
        for (Field f : {facts::date, facts::time, facts::size, facts::attributes})
            read.view().set(f, after.str().substr(f.offset, f.width));
    }
    setFingerprint(read, fingerprintText(job.digest));
    read.view().at(facts::contentsUnsettled) =
        job.outcome == ContentsOutcome::unsettled || job.readAgain ? 'U' : ' ';
    const std::string fields(read.str());
    if (job.identity.links > 1 && !storeKnownFingerprint(job.identity, fields))
        return false;
    return amendEntry(job.key, fields);
}

bool DirectoryWalk::amendEntry(std::string_view key, std::string_view fields) {
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.set(workrec::key, key);
    if (!workFile_.readByKey()) {
        reportFileError(messages_, kRead, files::kWorkFile);
        return false;
    }
    record.set(workrec::facts, fields);
    return storeRecord();
}

bool DirectoryWalk::knownFingerprint(const FileIdentity& identity, std::string_view entryFacts,
                                     std::string& fields) {
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.at(workrec::recordType) = 'H';
    record.set(workrec::path, linkKey(identity));
    if (!workFile_.readByKey() || !sameDateTimeAndSize(record.get(workrec::facts), entryFacts))
        return false;
    // This name's own facts (its extension mark may differ), with the
    // fingerprint read through the other name.
    const std::string_view link = record.get(workrec::facts);
    FileFacts known;
    std::copy(entryFacts.begin(), entryFacts.end(), known.text.begin());
    setFingerprint(known, fingerprintOf(link));
    known.view().at(facts::contentsUnsettled) = link[facts::contentsUnsettled.offset];
    fields.assign(known.str());
    return true;
}

bool DirectoryWalk::storeKnownFingerprint(const FileIdentity& identity, std::string_view fields) {
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.at(workrec::recordType) = 'H';
    record.set(workrec::path, linkKey(identity));
    const bool again = workFile_.readByKey();
    if (!again && workFile_.readFailed()) {
        reportFileError(messages_, kRead, files::kWorkFile);
        return false;
    }
    if (!again) {
        workFile_.clearRecord();
        record.at(workrec::recordType) = 'H';
        record.set(workrec::path, linkKey(identity));
    }
    record.set(workrec::facts, fields);
    return storeRecord();
}

template <typename Each>
bool DirectoryWalk::relist(std::string_view pattern, Each each) {
    std::unique_ptr<DirectoryListing> listing = platform_.newListing();
    if (!listing)
        return false;
    ListingEntry entry;
    ListingResult result = listing->first(pattern, entry);
    for (; result == ListingResult::entry; result = listing->next(entry)) {
        if (entry.kind == EntryKind::file || entry.kind == EntryKind::directory)
            each(entry);
    }
    listing->end();
    return result == ListingResult::end;
}

bool DirectoryWalk::readFacts(std::string_view userExtension, bool& gone) {
    RecordView record = workFile_.view();
    const std::string path = quoted(spelt(trimmedRight(record.get(workrec::path))));
    FileInformation info;
    PlatformStatus status = PlatformStatus::ok;
    if (listedFactsFromPath_)
        info = *listedFacts_;
    else
        status = platform_.fileInformation(path, info);
    gone = false;
    // A name the listing gave but the path rules cannot reach (a device's
    // name, trailing dots, a character they take for syntax) is described
    // by the listing: a name on the disk never stops the walk.
    if (status != PlatformStatus::ok && listedFacts_) {
        info = *listedFacts_;
        status = PlatformStatus::ok;
    }
    // Passed over only when the directory no longer lists it: a file that is
    // there but cannot be found under its recorded name must not drop out of
    // sight in silence. One removed and made anew meanwhile is asked again.
    for (int round = 0; status == PlatformStatus::notFound && round < kLookupRounds; ++round) {
        bool listed = false;
        if (!relist(kListingPattern, [&](const ListingEntry& entry) {
                listed = listed || entry.name == listedName_;
            }))
            break;
        if (!listed) {
            gone = true;
            return true;
        }
        status = platform_.fileInformation(path, info);
    }
    if (status != PlatformStatus::ok) {
        messages_.show(messages::fileFactsError(shownName(trimmedRight(fullPath_))),
                       messages::kError);
        return false;
    }
    // The file's own attributes, not the listing's: a listing may leave out
    // bits it would have to ask the system for entry by entry.
    record.set(workrec::facts, factsFrom(info, info.attributes, userExtension).str());
    return true;
}

bool DirectoryWalk::isChosenSpelling(EntryType type) {
    const std::string_view path = trimmedRight(fullPath_);
    std::string chosen;
    if (type == EntryType::directory)
        chosen = chooseSpelling("", path);
    else if (!platform_.entryName(quoted(spelt(path)), chosen))
        return true;
    return chosen.empty() || chosen == listedName_;
}

std::string DirectoryWalk::chooseSpelling(std::string_view base, std::string_view keyPath) {
    if (choice_.base == base && choice_.key == keyPath)
        return choice_.chosen;
    const std::string_view key = keyPath.substr(keyPath.find_last_of('\\') + 1);
    const std::vector<std::string> watched = watchedBelow(keyPath);
    std::string chosen;
    std::size_t chosenHolds = 0;
    std::vector<std::string> spellings;
    for (std::string after; spellingsOf(base, key, after, spellings); after = spellings.back()) {
        for (const std::string& spelling : spellings) {
            std::size_t holds = 0;
            for (const std::string& file : watched)
                holds += holdsFile(std::string(base) + spelling + "\\", file);
            // Of spellings that hold as many, the one spelt as the key, else
            // the first in byte order, whatever the order of the listing.
            if (chosen.empty() || holds > chosenHolds ||
                (holds == chosenHolds && spelling == key)) {
                chosen = spelling;
                chosenHolds = holds;
            }
        }
    }
    choice_ = {std::string(base), std::string(keyPath), chosen};
    return chosen;
}

bool DirectoryWalk::spellingsOf(std::string_view base, std::string_view key,
                                const std::string& after, std::vector<std::string>& spellings) {
    const std::string name = name_;
    spellings.clear();
    // A failed listing leaves the choice to the spellings seen; the walk
    // meets the failure itself when it lists or enters the directory.
    (void)relist(quoted(std::string(base) + "*.*"), [&](const ListingEntry& entry) {
        if (entry.kind != EntryKind::directory || (!after.empty() && entry.name <= after))
            return;
        keepName(entry.name);
        showControls(name_);
        if (trimmedRight(name_) != key)
            return;
        spellings.insert(std::upper_bound(spellings.begin(), spellings.end(), entry.name),
                         entry.name);
        if (spellings.size() > kMostSpellings)
            spellings.pop_back();
    });
    name_ = name;
    return !spellings.empty();
}

bool DirectoryWalk::holdsFile(const std::string& base, std::string_view path) {
    if (platform_.fileExists(quoted(base + std::string(path))))
        return true;
    // A directory on the way whose name has other spellings: the file may
    // be in another one than a lookup finds.
    const std::size_t slash = path.find('\\');
    if (slash == std::string_view::npos)
        return false;
    std::vector<std::string> spellings;
    for (std::string after; spellingsOf(base, path.substr(0, slash), after, spellings);
         after = spellings.back()) {
        for (const std::string& spelling : spellings) {
            if (holdsFile(base + spelling + "\\", path.substr(slash + 1)))
                return true;
        }
    }
    return false;
}

std::vector<std::string> DirectoryWalk::watchedBelow(std::string_view keyPath) {
    std::vector<std::string> files;
    if (watched_ == nullptr || !watched_->isOpen())
        return files;
    const std::string prefix = std::string(keyPath) + "\\";
    watched_->clearRecord();
    RecordView record = watched_->view();
    record.at(dbrec::recordType) = 'F';
    record.set(dbrec::path, prefix);
    // A failed read leaves the database refusing further reads; the
    // comparison meets it and repairs the database.
    for (bool more = watched_->startAt(); more && files.size() < kWatchedSamples;
         more = watched_->readNext()) {
        const std::string_view path = trimmedRight(record.get(dbrec::path));
        if (record.at(dbrec::recordType) != 'F' || path.substr(0, prefix.size()) != prefix)
            break;
        // A path cut to its field names no file.
        if (record.get(dbrec::facts).front() != 'L')
            files.emplace_back(path.substr(prefix.size()));
    }
    return files;
}

void DirectoryWalk::chooseEnteredSpelling() {
    choice_ = {};
    std::string_view path = trimmedRight(pattern_);
    path.remove_suffix(kSuffix.size());
    while (!spellings_.empty() && !within(path, spellings_.back().key))
        spellings_.pop_back();
    if (!otherSpellings_)
        return;
    const std::size_t slash = path.find_last_of('\\');
    const std::string base = spelt(path.substr(0, slash)) + "\\";
    const std::string chosen = chooseSpelling(base, path);
    if (!chosen.empty())
        spellings_.push_back({std::string(path), base + chosen});
}

std::string DirectoryWalk::spelt(std::string_view keyPath) const {
    for (auto it = spellings_.rbegin(); it != spellings_.rend(); ++it) {
        if (within(keyPath, it->key))
            return it->spelt + std::string(keyPath.substr(it->key.size()));
    }
    return std::string(keyPath);
}

bool DirectoryWalk::recordOtherSpellings(EntryType type) {
    const std::string name = name_;
    const std::string chosen = listedName_;
    const EntryKind kind = type == EntryType::file ? EntryKind::file : EntryKind::directory;
    bool stored = true;
    // A failed listing leaves the twins untold; the main listing of the
    // directory meets the same failure and reports it.
    (void)relist(kListingPattern, [&](const ListingEntry& entry) {
        if (!stored || entry.kind != kind || entry.name == chosen)
            return;
        keepName(entry.name);
        showControls(name_);
        if (name_ == name)
            stored = recordTwin(type, entry.name);
    });
    name_ = name;
    return stored;
}

bool DirectoryWalk::recordTwin(EntryType type, std::string_view spelling) {
    std::string path(trimmedRight(pattern_));
    path.pop_back();  // the pattern's asterisk
    path += spelling;
    showControls(path);
    workFile_.clearRecord();
    RecordView record = workFile_.view();
    record.at(workrec::recordType) = 'T';
    record.set(workrec::path, path);
    if (workFile_.readByKey())
        return true;  // told already
    workFile_.clearRecord();
    record.at(workrec::recordType) = 'T';
    record.set(workrec::path, path);
    record.set(workrec::facts, zeroFacts(path.size() > workrec::path.width).str());
    record.at(workrec::twinKind) = type == EntryType::file ? 'F' : 'A';
    counters_.add(FindingCounters::kLocked);
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
        record.set(workrec::path, path.substr(0, length));
}

bool DirectoryWalk::storeRecord() {
    bool rewrite = workFile_.found();
    if (workFile_.store())
        return true;
    reportFileError(messages_, workFile_.failedOperation(rewrite ? kRewrite : kWrite),
                    files::kWorkFile);
    return false;
}

void DirectoryWalk::finish(const std::string& startDirectory) {
    if (listing_)
        listing_->end();
    listing_.reset();
    extensions_.closeAfterWalk();
    platform_.endReadAhead();
    // Every later file name is a full path: a working directory that stays
    // elsewhere changes nothing the run reads or writes.
    (void)platform_.changeDirectory(changeTarget(startDirectory));
}

}  // namespace velumtar
