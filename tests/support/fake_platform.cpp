#include "support/fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace velumtar::test {

namespace {

class MemoryFile : public File {
  public:
    MemoryFile(std::shared_ptr<std::string> data, OpenMode mode, std::shared_ptr<long> budget,
               std::vector<std::string>& syncs, std::string name, bool torn, std::uint64_t links,
               bool syncFails)
        : links_(links),
          data_(std::move(data)),
          mode_(mode),
          budget_(std::move(budget)),
          syncs_(syncs),
          name_(std::move(name)),
          torn_(torn),
          syncFails_(syncFails) {}
    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = 0;
        if (offset < data_->size()) {
            got = std::min<std::size_t>(length, data_->size() - offset);
            std::memcpy(buffer, data_->data() + offset, got);
        }
        return PlatformStatus::ok;
    }
    PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (readOnly())
            return PlatformStatus::accessDenied;
        if (mode_ == OpenMode::append)
            offset = data_->size();
        if (budget_) {
            if (*budget_ == 0) {
                if (torn_)
                    put(offset, buffer, length / 2);
                return PlatformStatus::noSpace;
            }
            if (*budget_ > 0)
                --*budget_;
        }
        put(offset, buffer, length);
        return PlatformStatus::ok;
    }
    PlatformStatus size(std::uint64_t& size) override {
        size = data_->size();
        return PlatformStatus::ok;
    }
    PlatformStatus truncate(std::uint64_t size) override {
        if (readOnly())
            return PlatformStatus::accessDenied;
        data_->resize(size);
        return PlatformStatus::ok;
    }
    PlatformStatus sync() override {
        if (syncFails_)
            return PlatformStatus::ioError;
        syncs_.push_back(name_);
        return PlatformStatus::ok;
    }
    PlatformStatus identity(FileIdentity& identity) override {
        identity = FileIdentity{};
        identity.index = reinterpret_cast<std::uintptr_t>(data_.get());
        identity.links = links_;
        identity.size = data_->size();
        return PlatformStatus::ok;
    }

  private:
    const std::uint64_t links_;
    bool readOnly() const {
        return mode_ == OpenMode::read || mode_ == OpenMode::readFollowing ||
               mode_ == OpenMode::contents;
    }
    void put(std::uint64_t offset, const void* buffer, std::size_t length) {
        if (data_->size() < offset + length)
            data_->resize(offset + length, '\0');
        std::memcpy(data_->data() + offset, buffer, length);
    }

    std::shared_ptr<std::string> data_;
    OpenMode mode_;
    std::shared_ptr<long> budget_;  // writes left before failing; null: unlimited
    std::vector<std::string>& syncs_;
    std::string name_;
    bool torn_;
    bool syncFails_;
};

class Hold : public ExclusiveHold {
  public:
    Hold(std::set<std::string>& held, std::string path) : held_(held), path_(std::move(path)) {
        held_.insert(path_);
    }
    ~Hold() override { held_.erase(path_); }

  private:
    std::set<std::string>& held_;
    std::string path_;
};

// Separates a twin's spelling from the key of the entry it is a twin of.
constexpr char kTwinMark = '\x01';

std::string withoutTrailingBackslash(std::string path) {
    while (path.size() > 2 && path.back() == '\\')
        path.pop_back();
    return path;
}

// Lists one directory of the tree: its dot entries, then its children, and
// answers the directory's fault when one is set.
class TreeListing : public DirectoryListing {
  public:
    explicit TreeListing(FakePlatform& platform) : platform_(platform) {}
    ~TreeListing() override { end(); }
    TreeListing(const TreeListing&) = delete;
    TreeListing& operator=(const TreeListing&) = delete;

    ListingResult first(std::string_view pattern, ListingEntry& entry) override {
        end();
        platform_.listingPatterns.emplace_back(pattern);
        std::string text(pattern);
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
        std::size_t cut = text.find_last_of('\\');
        directory_ = withoutTrailingBackslash(platform_.normalise(
            cut == std::string::npos ? platform_.workingDirectory : text.substr(0, cut + 1)));
        if (!platform_.isDirectory(directory_))
            return ListingResult::error;
        auto fault = platform_.listingFaults.find(directory_);
        fault_ =
            fault == platform_.listingFaults.end() ? std::nullopt : std::optional(fault->second);
        if (fault_ && fault_->after == 0)
            return fault_->result;
        names_.clear();
        if (directory_.size() > 2) {
            names_.push_back(".");
            names_.push_back("..");
        }
        for (std::string& child : platform_.childrenOf(directory_))
            names_.push_back(std::move(child));
        position_ = 0;
        started_ = true;
        ++platform_.openListings;
        platform_.mostOpenListings = std::max(platform_.mostOpenListings, platform_.openListings);
        return next(entry);
    }

    ListingResult next(ListingEntry& entry) override {
        if (!started_)
            return ListingResult::error;
        if (fault_ && position_ == fault_->after)
            return fault_->result;
        if (position_ == names_.size())
            return ListingResult::end;
        const std::string& name = names_[position_++];
        if (name == "." || name == "..") {
            entry = ListingEntry{};
            entry.name = name;
            entry.attributes = attr::directory;
            entry.kind = EntryKind::dotEntry;
            return ListingResult::entry;
        }
        const FakeEntry& found = platform_.tree.at(name);
        platform_.lastListed = name;
        entry = ListingEntry{};
        entry.name = found.name;
        entry.attributes = found.listedAttributes.value_or(found.attributes);
        entry.kind = found.kind;
        entry.hasFacts = found.listedWithFacts;
        if (found.listedWithFacts) {
            entry.facts = found.info;
            entry.facts.attributes = found.attributes;
        }
        if (found.vanishes)
            platform_.tree.erase(name);
        return ListingResult::entry;
    }

    void end() override {
        if (started_)
            --platform_.openListings;
        started_ = false;
    }

  private:
    FakePlatform& platform_;
    std::string directory_;
    std::vector<std::string> names_;
    std::size_t position_ = 0;
    std::optional<ListingFault> fault_;
    bool started_ = false;
};

}  // namespace

FakePlatform::FakePlatform() {
    directories.insert("C:");
    directories.insert(workingDirectory);
}

std::string FakePlatform::parentOf(const std::string& normalised) {
    const std::size_t cut = normalised.rfind('\\');
    return cut == std::string::npos ? std::string() : normalised.substr(0, cut);
}

void FakePlatform::moveEntry(const std::string& from, const std::string& to) {
    auto entry = tree.find(from);
    if (entry == tree.end())
        return;
    FakeEntry moved = entry->second;
    tree.erase(entry);
    moved.name = to.substr(to.rfind('\\') + 1);
    tree[to] = moved;
}

std::string FakePlatform::childKey(const std::string& directory, std::string_view name) const {
    std::string key = withoutTrailingBackslash(normalise(directory + "\\" + std::string(name)));
    auto found = tree.find(key);
    if (found != tree.end() && found->second.name != name)
        key += kTwinMark + std::string(name);
    return key;
}

std::string FakePlatform::normalise(std::string_view path) const {
    std::string p(path);
    if (p.size() >= 2 && p.front() == '"' && p.back() == '"')
        p = p.substr(1, p.size() - 2);
    // Names as the POSIX layer matches them: without case, a control
    // character as '?', without trailing blanks (a name of blanks only
    // stays).
    std::string folded;
    for (char c : p) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
        if (c == '/')
            c = '\\';
        if (c == '\\') {
            std::size_t end = folded.size();
            while (end > 0 && folded[end - 1] == ' ')
                --end;
            if (end > 0 && folded[end - 1] != '\\')
                folded.resize(end);
        }
        folded += c;
    }
    std::size_t end = folded.size();
    while (end > 0 && folded[end - 1] == ' ')
        --end;
    if (end > 0 && folded[end - 1] != '\\')
        folded.resize(end);
    p = folded;
    if (p.size() < 2 || p[1] != ':') {
        std::string dir = workingDirectory;
        for (char& c : dir) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        p = dir + "\\" + p;
    }
    return p;
}

void FakePlatform::putFile(const std::string& path, const std::string& content) {
    files[normalise(path)] = std::make_shared<std::string>(content);
}

std::string FakePlatform::contentOf(const std::string& path) const {
    auto it = files.find(normalise(path));
    return it == files.end() ? std::string() : *it->second;
}

bool FakePlatform::has(const std::string& path) const {
    return files.count(normalise(path)) != 0;
}

BoxButton FakePlatform::messageBox(std::string_view text, std::string_view caption, BoxType type) {
    boxes.push_back({std::string(text), std::string(caption), type.flags()});
    return nextBox_ < boxAnswers.size() ? static_cast<BoxButton>(boxAnswers[nextBox_++])
                                        : BoxButton::none;
}

LaunchStage FakePlatform::startProcess(std::string_view commandLine, int showWindow, bool wait) {
    launches.push_back({std::string(commandLine), showWindow, wait});
    return launchResult;
}

std::string FakePlatform::upperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool FakePlatform::currentDirectory(std::string& path) {
    path = workingDirectory;
    return workingDirectoryReadable;
}

bool FakePlatform::changeDirectory(std::string_view path) {
    changeRequests.emplace_back(path);
    std::string p = withoutTrailingBackslash(normalise(path));
    auto entry = tree.find(p);
    bool enterable = directories.count(p) != 0 ||
                     (entry != tree.end() && entry->second.kind == EntryKind::directory &&
                      entry->second.enterable);
    if (!enterable)
        return false;
    workingDirectory = p;
    return true;
}

std::unique_ptr<DirectoryListing> FakePlatform::newListing() {
    return std::make_unique<TreeListing>(*this);
}

FakeEntry& FakePlatform::addEntry(const std::string& path, EntryKind kind,
                                  std::uint8_t attributes) {
    // Parents first: every backslash after the drive's marks one; each takes
    // its listed name from the path as written.
    for (std::size_t cut = path.find('\\', 3); cut != std::string::npos;
         cut = path.find('\\', cut + 1)) {
        std::string parent = normalise(path.substr(0, cut));
        if (!tree.count(parent)) {
            FakeEntry& dir = tree[parent];
            std::size_t from = path.rfind('\\', cut - 1) + 1;
            dir.name = path.substr(from, cut - from);
            dir.kind = EntryKind::directory;
            dir.attributes = attr::directory;
        }
    }
    std::string key = withoutTrailingBackslash(normalise(path));
    const std::string name = path.substr(path.rfind('\\') + 1);
    auto known = tree.find(key);
    if (known != tree.end() && known->second.name != name)
        key += kTwinMark + name;
    FakeEntry& entry = tree[key];
    entry = FakeEntry{};
    entry.name = name;
    entry.kind = kind;
    entry.attributes = attributes;
    return entry;
}

FakeEntry& FakePlatform::addDirectory(const std::string& path) {
    return addEntry(path, EntryKind::directory, attr::directory);
}

FakeEntry& FakePlatform::addFile(const std::string& path, std::uint64_t size,
                                 std::uint8_t attributes) {
    FakeEntry& entry = addEntry(path, EntryKind::file, attributes);
    entry.info = addedFileInformation(size);
    return entry;
}

std::vector<std::string> FakePlatform::childrenOf(const std::string& directory) const {
    std::vector<std::string> out;
    std::string prefix = directory + "\\";
    for (auto it = tree.lower_bound(prefix);
         it != tree.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        if (it->first.find('\\', prefix.size()) == std::string::npos)
            out.push_back(it->first);
    }
    if (reverseListing)
        std::reverse(out.begin(), out.end());
    return out;
}

bool FakePlatform::isDirectory(const std::string& normalised) const {
    auto entry = tree.find(normalised);
    return directories.count(normalised) != 0 ||
           (entry != tree.end() && entry->second.kind == EntryKind::directory);
}

bool FakePlatform::entryName(std::string_view path, std::string& name) {
    auto listed = tree.find(withoutTrailingBackslash(normalise(path)));
    if (listed == tree.end())
        return false;
    name = listed->second.name;
    return true;
}

PlatformStatus FakePlatform::fileInformation(std::string_view path, FileInformation& info) {
    const std::string key = withoutTrailingBackslash(normalise(path));
    // Right after the listing delivered a twin, the twin is described.
    auto listed = lastListed.compare(0, lastListed.find(kTwinMark), key) == 0
                      ? tree.find(lastListed)
                      : tree.find(key);
    if (listed != tree.end()) {
        if (listed->second.infoStatus == PlatformStatus::ok) {
            info = listed->second.info;
            info.attributes = listed->second.attributes;
        }
        return listed->second.infoStatus;
    }
    auto it = files.find(normalise(path));
    if (it == files.end())
        return PlatformStatus::notFound;
    info = FileInformation{};
    info.size = it->second->size();
    return PlatformStatus::ok;
}

PlatformStatus FakePlatform::removeFile(std::string_view path) {
    std::string p = normalise(path);
    if (heldByOthers.count(p) || heldHere.count(p))
        return PlatformStatus::locked;
    auto entry = tree.find(p);
    if (entry != tree.end() && (entry->second.attributes & attr::readOnly) != 0)
        return PlatformStatus::accessDenied;
    if (!files.erase(p))
        return PlatformStatus::notFound;
    tree.erase(p);
    return PlatformStatus::ok;
}

PlatformStatus FakePlatform::renameFile(std::string_view from, std::string_view to) {
    std::string f = normalise(from), t = normalise(to);
    if (!files.count(f))
        return PlatformStatus::notFound;
    if (files.count(t))
        return PlatformStatus::ioError;
    files[t] = files[f];
    files.erase(f);
    moveEntry(f, t);
    return PlatformStatus::ok;
}

PlatformStatus FakePlatform::replaceFile(std::string_view from, std::string_view to) {
    std::string f = normalise(from), t = normalise(to);
    if (!files.count(f))
        return PlatformStatus::notFound;
    files[t] = files[f];
    files.erase(f);
    moveEntry(f, t);
    return PlatformStatus::ok;
}

bool FakePlatform::fileExists(std::string_view path) {
    const std::string p = withoutTrailingBackslash(normalise(path));
    return files.count(p) != 0 || tree.count(p) != 0 || directories.count(p) != 0;
}

std::unique_ptr<File> FakePlatform::openFile(std::string_view path, OpenMode mode,
                                             PlatformStatus& status) {
    if (mode == OpenMode::contents)
        contentsOpened.emplace_back(path);
    std::string p = normalise(path);
    if (heldByOthers.count(p) || heldHere.count(p)) {
        status = PlatformStatus::locked;
        return nullptr;
    }
    if (refused.count(p)) {
        status = PlatformStatus::accessDenied;
        return nullptr;
    }
    auto it = files.find(p);
    status = PlatformStatus::ok;
    if (it == files.end()) {
        if (mode == OpenMode::read || mode == OpenMode::readFollowing ||
            mode == OpenMode::contents || !isDirectory(parentOf(p))) {
            status = PlatformStatus::notFound;
            return nullptr;
        }
        it = files.emplace(p, std::make_shared<std::string>()).first;
        status = PlatformStatus::created;
    } else if (mode == OpenMode::truncate) {
        it->second->clear();
    }
    return std::make_unique<MemoryFile>(
        it->second, mode, p == failWritesTo ? writesBeforeFailure : std::shared_ptr<long>(), syncs,
        p, tornFailures,
        static_cast<std::uint64_t>(
            std::count_if(files.begin(), files.end(),
                          [&](const auto& file) { return file.second == it->second; })),
        p == failSyncsTo);
}

std::unique_ptr<ExclusiveHold> FakePlatform::holdExclusive(std::string_view path,
                                                           PlatformStatus& status) {
    std::string p = normalise(path);
    if (heldByOthers.count(p)) {
        status = PlatformStatus::locked;
        return nullptr;
    }
    status = files.count(p) ? PlatformStatus::ok : PlatformStatus::created;
    files[p] = std::make_shared<std::string>();
    return std::make_unique<Hold>(heldHere, p);
}

PlatformStatus FakePlatform::probe(std::string_view path) {
    std::string p = normalise(path);
    if (heldByOthers.count(p) || heldHere.count(p))
        return PlatformStatus::locked;
    return files.count(p) ? PlatformStatus::ok : PlatformStatus::notFound;
}

namespace {

class RecordedLog final : public SystemLog {
  public:
    explicit RecordedLog(FakePlatform& platform) : platform_(platform) {}
    bool send(const SystemEvent& event) override {
        platform_.events.push_back(event);
        return !platform_.systemLogFails;
    }

  private:
    FakePlatform& platform_;
};

}  // namespace

std::unique_ptr<SystemLog> FakePlatform::openSystemLog() {
    ++systemLogsOpened;
    return std::make_unique<RecordedLog>(*this);
}

std::optional<std::string> FakePlatform::environment(std::string_view name) {
    auto it = env.find(std::string(name));
    if (it == env.end())
        return std::nullopt;
    return it->second;
}

void FakePlatform::exitProcess(int code) {
    std::exit(code);
}

}  // namespace velumtar::test
