#include "scan/extension_list.h"

#include <algorithm>
#include <array>

#include "db/basic_database.h"
#include "db/extension_database.h"
#include "files/file_error.h"
#include "files/file_names.h"
#include "platform/platform.h"
#include "store/line_file.h"
#include "util/text_field.h"

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
    LineFile file(platform_, std::string(files::kExtensionFile), files::kExtensionFileRecord,
                  LineFile::Links::followed);
    listValid_ = true;
    if (!file.openInput().isSuccess()) {
        listValid_ = false;
        return;
    }
    counters_ = {};
    std::string line;
    while (file.readNext(line).isSuccess()) {
        if (allBlank(line))
            continue;
        ++counters_[0];
        if (line[0] == '.')
            ++counters_[1];
        if (!allBlank(std::string_view(line).substr(1, 3)))
            ++counters_[2];
    }
    (void)file.close();
    if (counters_[0] != counters_[1] || counters_[1] != counters_[2])
        listValid_ = false;
}

void ExtensionList::prepareExtensions(const std::string& startDirectory) {
    validate();

    extensions_.setName(std::string(files::kExtensionDatabase));
    extensions_.setAvailable(extensions_.open(KeyedOpenMode::input));
    extensions_.close();

    databaseExists_ = database_.open(KeyedOpenMode::input);
    database_.close();

    if (!listValid_) {
        if (extensions_.available()) {
            extensions_.removeFile();
            extensions_.setAvailable(false);
        }
        if (databaseExists_)
            database_.purgeExtensions(nullptr);
    } else {
        synchroniseExtensions();
        // A valid list whose database failed tells nothing about which
        // extensions left it: the entries stay, and the sweep leaves them
        // alone (userListMissed).
        if (databaseExists_ && extensions_.available())
            database_.purgeExtensions(&extensions_);
    }
    if (extensions_.available())
        extensions_.useFullName(startDirectory);
}

void ExtensionList::synchroniseExtensions() {
    entriesDeleted_ = false;
    LineFile file(platform_, std::string(files::kExtensionFile), files::kExtensionFileRecord,
                  LineFile::Links::followed);
    if (!extensions_.open(KeyedOpenMode::update)) {
        reportFileError(messages_, kOpen, files::kExtensionDatabase);
        extensions_.setAvailable(false);
    } else {
        extensions_.setAvailable(true);
        // A list that cannot be opened again (it was read by validate just
        // before) marks no entry as listed.
        if (!file.openInput().isSuccess() || markListedEntries(file))
            settleEntries();
    }
    (void)file.close();
    finishSynchronisation();
}

bool ExtensionList::markListedEntries(LineFile& file) {
    RecordView entry = extensions_.view();
    std::string line;
    while (file.readNext(line).isSuccess()) {
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
            reportFileError(messages_, extensions_.failedOperation(existed ? kRewrite : kWrite),
                            files::kExtensionDatabase);
            extensions_.setAvailable(false);
            return false;
        }
    }
    return true;
}

void ExtensionList::settleEntries() {
    extensions_.clearRecord();
    for (bool more = extensions_.startAt(); more; more = extensions_.readNext()) {
        if (!settleEntry())
            return;
    }
    if (extensions_.readFailed() && extensions_.available()) {
        // A damaged page is not the end of the entries.
        reportFileError(messages_, kRead, files::kExtensionDatabase);
        extensions_.setAvailable(false);
        entriesDeleted_ = false;
    }
}

bool ExtensionList::settleEntry() {
    RecordView entry = extensions_.view();
    if (entry.at(extrec::addedMark) != ' ' || entry.at(extrec::seenMark) != ' ') {
        entry.set(extrec::marks, "   ");
    } else if (databaseExists_) {
        entry.at(extrec::removedMark) = 'E';
    } else {
        if (!extensions_.deleteRecord()) {
            reportFileError(messages_, kDelete, files::kExtensionDatabase);
            extensions_.setAvailable(false);
            return false;
        }
        entriesDeleted_ = true;
        return true;
    }
    if (!extensions_.store()) {
        reportFileError(messages_, kRewrite, files::kExtensionDatabase);
        extensions_.setAvailable(false);
        entriesDeleted_ = false;
        return false;
    }
    return true;
}

void ExtensionList::finishSynchronisation() {
    // The entries become durable at the close: a failure there is a failed
    // rewrite of the marks, unless a failure was shown already.
    if (!extensions_.closeCommitted() && extensions_.available()) {
        reportFileError(messages_, kRewrite, files::kExtensionDatabase);
        extensions_.setAvailable(false);
    }
    if (entriesDeleted_ && extensions_.available()) {
        if (!extensions_.compactExtensionDatabase())
            reportFileError(messages_, kRead, files::kExtensionDatabase);
    }
    if (!extensions_.available())
        extensions_.removeFile();
}

void ExtensionList::openForWalk() {
    if (!extensions_.available())
        return;
    if (!extensions_.open(KeyedOpenMode::input)) {
        reportFileError(messages_, kOpen, files::kExtensionDatabase);
        extensions_.setAvailable(false);
    }
}

void ExtensionList::closeAfterWalk() {
    extensions_.close();
}

bool ExtensionList::userListMissed() const {
    return listValid_ && !extensions_.available();
}

bool WatchedNames::covers(std::string_view upperName) const {
    if (everyFile)
        return true;
    for (std::size_t dot = upperName.find('.'); dot != std::string_view::npos;
         dot = upperName.find('.', dot + 1)) {
        // The three characters after the dot, blank padded past the end of
        // the name, then a blank or the end.
        if (dot + 4 < upperName.size() && upperName[dot + 4] != ' ')
            continue;
        char extension[3] = {' ', ' ', ' '};
        upperName.copy(extension, 3, dot + 1);
        if (std::find(extensions.begin(), extensions.end(), std::string_view(extension, 3)) !=
            extensions.end())
            return true;
    }
    return false;
}

WatchedNames ExtensionList::watchedNames() {
    // More user entries than this: any file may qualify.
    constexpr std::size_t kListedAtMost = 256;
    WatchedNames names;
    names.extensions.assign(DefaultExtensions.begin(), DefaultExtensions.end());
    if (!extensions_.available() || !extensions_.isOpen())
        return names;
    RecordView entry = extensions_.view();
    extensions_.clearRecord();
    for (bool more = extensions_.startAt(); more && !names.everyFile;
         more = extensions_.readNext()) {
        std::string_view key = entry.get(extrec::key);
        if (key == ".*.*" || names.extensions.size() >= kListedAtMost)
            names.everyFile = true;
        else
            names.extensions.emplace_back(key.substr(1, 3));
    }
    return names;
}

namespace {

// Every test value is a dot, three characters and a blank, looked for
// anywhere in the blank-padded 255-character name: only a dot of the name can
// start a match, and most names have one or two. Goes through the three
// characters after each dot of the name that is followed by them and a blank.
class CandidateExtensions {
  public:
    // `text`: the padded name; `length`: the length of the name in it.
    CandidateExtensions(std::string_view text, std::size_t length)
        : text_(text), length_(length), dot_(text.find('.')) {
        skipUnfit();
    }
    bool done() const { return dot_ == std::string_view::npos || dot_ >= length_; }
    std::string_view current() const { return text_.substr(dot_ + 1, 3); }
    void next() {
        dot_ = text_.find('.', dot_ + 1);
        skipUnfit();
    }

  private:
    static constexpr std::size_t kTestWidth = 5;
    void skipUnfit() {
        while (!done() && (dot_ + kTestWidth > text_.size() || text_[dot_ + kTestWidth - 1] != ' '))
            dot_ = text_.find('.', dot_ + 1);
    }

    std::string_view text_;
    std::size_t length_;
    std::size_t dot_;
};

bool hasDefaultExtension(std::string_view text, std::size_t length) {
    for (CandidateExtensions c(text, length); !c.done(); c.next()) {
        if (std::find(DefaultExtensions.begin(), DefaultExtensions.end(), c.current()) !=
            DefaultExtensions.end()) {
            return true;
        }
    }
    return false;
}

bool isExcludedName(std::string_view text) {
    for (std::string_view excluded : ExcludedFileNames) {
        if (text.find(excluded) != std::string_view::npos)
            return true;
    }
    return false;
}

}  // namespace

bool ExtensionList::qualifies(std::string_view name, std::string& userExtension) {
    userExtension.assign(4, ' ');
    std::array<char, kNameWidth> field;
    const std::size_t length = std::min(name.size(), kNameWidth);
    std::copy_n(name.begin(), length, field.begin());
    std::fill(field.begin() + static_cast<std::ptrdiff_t>(length), field.end(), ' ');
    const std::string_view text(field.data(), field.size());

    bool watched =
        hasDefaultExtension(text, length) || (extensions_.available() && extensions_.isOpen() &&
                                              matchUserEntry(text, length, userExtension));
    return watched && !isExcludedName(text);
}

bool ExtensionList::matchUserEntry(std::string_view text, std::size_t length,
                                   std::string& userExtension) {
    std::string best = smallestListedCandidate(text, length);
    if (extensions_.readFailed()) {
        // Not found is not the same as unreadable: the walk goes on without
        // the user's extensions, and says so.
        stopUsingExtensionDatabase();
        return false;
    }
    if (!best.empty()) {
        userExtension.assign(best);
        return true;
    }
    // The wildcard entry counts only when no listed extension occurs.
    if (readExtensionEntry(".*.*")) {
        userExtension = ".*.*";
        return true;
    }
    if (extensions_.readFailed())
        stopUsingExtensionDatabase();
    return false;
}

std::string ExtensionList::smallestListedCandidate(std::string_view text, std::size_t length) {
    // The smallest key that occurs in the name is the one that counts.
    std::string best;
    for (CandidateExtensions c(text, length); !c.done(); c.next()) {
        std::string_view extension = c.current();
        std::string key = "." + std::string(extension);
        if (extension == "*.*" || (!best.empty() && key >= best))
            continue;
        if (readExtensionEntry(key))
            best = std::move(key);
        if (extensions_.readFailed())
            break;
    }
    return best;
}

bool ExtensionList::readExtensionEntry(std::string_view key) {
    extensions_.clearRecord();
    extensions_.view().set(extrec::key, key);
    return extensions_.readByKey();
}

void ExtensionList::stopUsingExtensionDatabase() {
    reportFileError(messages_, kRead, files::kExtensionDatabase);
    extensions_.setAvailable(false);
    extensions_.close();
}

}  // namespace velumtar
