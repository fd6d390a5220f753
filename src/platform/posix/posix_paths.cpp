// Drive paths on a POSIX host: the mapping of drive letters onto host
// directories and the case-insensitive matching of names against the disk.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/posix/posix_internal.h"
#include "util/name_mapping.h"

namespace velumtar::posix {

std::string join(const std::string& dir, std::string_view name) {
    std::string out = dir;
    if (out.empty() || out.back() != '/') {
        out += '/';
    }
    out += name;
    return out;
}

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool systemWorkingDirectory(std::string& out) {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) {
        return false;
    }
    out = buffer;
    return true;
}

// Removes the last component of an absolute host directory ("/" stays "/").
void dropLastSegment(std::string& dir) {
    std::size_t slash = dir.find_last_of('/');
    dir.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
}

// The first backslash or slash of `path`: one pass over its bytes.
std::size_t separatorIn(std::string_view path) {
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' || path[i] == '/') {
            return i;
        }
    }
    return std::string_view::npos;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\0';
}

constexpr char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// A character of a name as the tool keeps it: upper case, a control
// character as '?'.
constexpr std::array<char, 256> kFolded = [] {
    std::array<char, 256> table{};
    for (int code = 0; code < 256; ++code) {
        const char c = static_cast<char>(code);
        table[static_cast<std::size_t>(code)] = code < 0x20 || code == 0x7F ? '?' : upper(c);
    }
    return table;
}();

char fold(char c) {
    return kFolded[static_cast<unsigned char>(c)];
}

// The host entry `component` (a drive name) names exactly, if any: its host
// name. A '?' of a drive name stands for a control character, which one is
// not known: such a name is only found by its key.
std::optional<std::string> exactHostName(std::string_view component) {
    if (component.find('?') != std::string_view::npos) {
        return std::nullopt;
    }
    return hostName(component);
}

// A name without its trailing blanks, which the tool's fixed fields lose.
std::string_view withoutTrailingBlanks(std::string_view name) {
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    return name;
}

}  // namespace

PlatformStatus statusFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return PlatformStatus::notFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return PlatformStatus::accessDenied;
        case ENOSPC:
        case EDQUOT:
            return PlatformStatus::noSpace;
        default:
            return PlatformStatus::ioError;
    }
}

void asciiUpper(std::string_view text, std::string& out) {
    out.assign(text);
    for (char& c : out) {
        c = upper(c);
    }
}

std::string asciiUpper(std::string_view text) {
    std::string out;
    asciiUpper(text, out);
    return out;
}

bool asciiEqualFold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::string nameKey(std::string_view name) {
    name = withoutTrailingBlanks(name);
    std::string key(name);
    for (char& c : key) {
        c = fold(c);
    }
    return key;
}

bool sameName(std::string_view a, std::string_view b) {
    return asciiEqualFold(withoutTrailingBlanks(a), withoutTrailingBlanks(b));
}

std::string_view stripPathQuotes(std::string_view path) {
    while (!path.empty() && isBlank(path.front())) {
        path.remove_prefix(1);
    }
    while (!path.empty() && isBlank(path.back())) {
        path.remove_suffix(1);
    }
    if (!path.empty() && path.front() == '"') {
        path.remove_prefix(1);
    }
    if (!path.empty() && path.back() == '"') {
        path.remove_suffix(1);
    }
    while (!path.empty() && isBlank(path.back())) {
        path.remove_suffix(1);
    }
    return path;
}

std::string chooseDriveRoot(const char* driveC, const char* winePrefix, const char* home) {
    if (driveC != nullptr && *driveC != '\0') {
        return driveC;
    }
    if (winePrefix != nullptr && *winePrefix != '\0') {
        std::string candidate = join(winePrefix, "drive_c");
        if (isDirectory(candidate)) {
            return candidate;
        }
    }
    if (home != nullptr && *home != '\0') {
        std::string candidate = join(home, ".wine/drive_c");
        if (isDirectory(candidate)) {
            return candidate;
        }
        return home;
    }
    return "/";
}

namespace {

// The drive root made absolute, canonical where it exists, without a trailing
// slash ("/" stays "/").
std::string canonicalRoot(const std::string& given) {
    std::string root;
    char buffer[PATH_MAX];
    if (given.empty()) {
        root.assign(1, '/');
    } else if (::realpath(given.c_str(), buffer) != nullptr) {
        root.assign(buffer);
    } else if (given.front() != '/' && systemWorkingDirectory(root)) {
        root = join(root, given);
    } else {
        root = given;
    }
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

}  // namespace

PathResolver::PathResolver(std::string root) : root_(canonicalRoot(root)) {
    // Room for every entry the cache keeps, so that it never rehashes and
    // the oldest-first list of its entries stays valid.
    directories_.reserve(directoryCacheSize + 1);
}

bool PathResolver::split(std::string_view path, SplitPath& out) const {
    std::string_view rest = stripPathQuotes(path);
    bool relative = false;
    bool hostPathForm = false;
    if (rest.size() >= 2 && rest[1] == ':') {
        char drive = upper(rest[0]);
        if (drive == 'C') {
            out.base = root_;
        } else if (drive == 'Z') {
            out.base.assign(1, '/');
        } else {
            return false;
        }
        rest.remove_prefix(2);
    } else if (!rest.empty() && rest.front() == '/') {
        // A host path, as a POSIX user writes it (a transcript file, say):
        // its names are host names, a backslash among them.
        out.base = "/";
        hostPathForm = true;
    } else if (!rest.empty() && rest.front() == '\\') {
        // The root of the drive the working directory is on.
        std::string cwd;
        if (!workingDirectory(cwd)) {
            return false;
        }
        out.base = drivePath(cwd).front() == 'C' ? root_ : std::string("/");
    } else {
        if (!workingDirectory(out.base)) {
            return false;
        }
        relative = true;
    }

    out.components.clear();
    while (!rest.empty()) {
        std::size_t cut = hostPathForm ? rest.find('/') : separatorIn(rest);
        std::string_view part = rest.substr(0, cut);
        rest.remove_prefix(cut == std::string_view::npos ? rest.size() : cut + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!out.components.empty()) {
                out.components.pop_back();
            } else if (relative) {
                dropLastSegment(out.base);
            }
            continue;
        }
        out.components.push_back(hostPathForm ? driveName(part) : std::string(part));
    }
    return true;
}

bool PathResolver::hostPath(std::string_view path, std::string& host) {
    if (listedEntry(stripPathQuotes(path), host)) {
        return true;
    }
    SplitPath split;
    if (!this->split(path, split)) {
        return false;
    }
    host = resolve(split);
    return true;
}

bool PathResolver::workingDirectory(std::string& out) const {
    if (!working_.empty()) {
        out = working_;
        return true;
    }
    return systemWorkingDirectory(out);
}

bool PathResolver::enter(const std::string& host) {
    const char* target = host.c_str();
    if (!working_.empty() && host.size() > working_.size() + 1 &&
        host.compare(0, working_.size(), working_) == 0 &&
        (working_ == "/" || host[working_.size()] == '/')) {
        target = host.c_str() + working_.size() + (working_ == "/" ? 0 : 1);
    }
    // The relative change fails where the working directory has gone or
    // moved since; the whole path then decides.
    if (::chdir(target) != 0 && (target == host.c_str() || ::chdir(host.c_str()) != 0)) {
        return false;
    }
    working_ = host;
    workingKeyed_ = true;
    ++directoryChanges_;
    return true;
}

std::string PathResolver::drivePath(std::string_view host) const {
    std::string_view rest;
    char drive;
    if (root_ == "/") {
        drive = 'C';
        rest = host == "/" ? std::string_view() : host;
    } else if (host == root_) {
        drive = 'C';
    } else if (host.size() > root_.size() && host.substr(0, root_.size()) == root_ &&
               host[root_.size()] == '/') {
        drive = 'C';
        rest = host.substr(root_.size());
    } else {
        drive = 'Z';
        rest = host == "/" ? std::string_view() : host;
    }
    std::string out{drive, ':'};
    while (!rest.empty()) {
        // Each name as the drive shows it.
        rest.remove_prefix(1);
        const std::size_t slash = rest.find('/');
        out += '\\';
        out += driveName(rest.substr(0, slash));
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash);
    }
    return out;
}

std::size_t PathResolver::keyedPrefix(const SplitPath& split) {
    // Written as nameKey() would write it: no lower-case ASCII letter, no
    // control character, no trailing blank.
    const auto isKey = [](std::string_view name) {
        for (char c : name) {
            if ((c >= 'a' && c <= 'z') || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                return false;
            }
        }
        return name.empty() || name.back() != ' ';
    };
    std::size_t keyed = 0;
    while (keyed < split.components.size() && isKey(split.components[keyed])) {
        ++keyed;
    }
    return keyed;
}

std::string PathResolver::cacheKey(const SplitPath& split, std::size_t count) const {
    std::size_t length = split.base.size();
    for (std::size_t i = 0; i < count; ++i) {
        length += 1 + withoutTrailingBlanks(split.components[i]).size();
    }
    std::string key(length, '\0');
    char* out = std::copy(split.base.begin(), split.base.end(), key.data());
    for (std::size_t i = 0; i < count; ++i) {
        ++out;  // the separator, '\0'
        for (char c : withoutTrailingBlanks(split.components[i])) {
            *out++ = fold(c);
        }
    }
    return key;
}

void PathResolver::cachePut(std::string key, std::string host) {
    auto [entry, added] = directories_.try_emplace(std::move(key), std::move(host));
    if (!added) {
        entry->second = std::move(host);
        return;
    }
    remember(entry);
}

void PathResolver::remember(DirectoryMap::iterator added) {
    directoryOrder_.push_back(added);
    if (directories_.size() > directoryCacheSize) {
        directories_.erase(directoryOrder_.front());
        directoryOrder_.pop_front();
    }
}

void PathResolver::rememberDirectory(const SplitPath& split, const std::string& host) {
    if (!split.components.empty() && keyedPrefix(split) == split.components.size()) {
        cachePut(cacheKey(split, split.components.size()), host);
    }
}

void PathResolver::beginListing(const std::string& host, bool isWorking, bool keyed) {
    listedIsWorking_ = isWorking;
    listedGeneration_ = directoryChanges_;
    lastListed_.clear();
    if (host != listedDirectory_ || keyed != listedKeyed_) {
        listedDirectory_ = host;
        listedDrivePathKnown_ = false;
        listedKeyKnown_ = false;
        listedKeyed_ = keyed;
        if (isWorking && keyed && workingKeyAt_ == directoryChanges_ && host == working_) {
            listedKey_ = workingKey_;
            listedKeyKnown_ = true;
        }
    }
}

void PathResolver::enteredBy(const SplitPath& split, std::string key) {
    if (key.empty() && split.components.empty()) {
        key = split.base;  // the root, or the base of a relative path
    }
    if (!key.empty()) {
        workingKey_ = std::move(key);
        workingKeyAt_ = directoryChanges_;
    }
}

PathResolver::ListingState PathResolver::listingState() const {
    return {listedDirectory_, listedDrivePath(), lastListed_,  listedKey_,
            listedKeyKnown_,  listedIsWorking_,  listedKeyed_, listedGeneration_};
}

const std::string& PathResolver::listedDrivePath() const {
    if (!listedDrivePathKnown_) {
        listedDrivePath_ = drivePath(listedDirectory_);
        listedDrivePathKnown_ = true;
    }
    return listedDrivePath_;
}

void PathResolver::restoreListing(ListingState state) {
    listedDirectory_ = std::move(state.directory);
    listedDrivePath_ = std::move(state.drivePath);
    listedDrivePathKnown_ = true;
    lastListed_ = std::move(state.lastListed);
    listedKey_ = std::move(state.key);
    listedKeyKnown_ = state.keyKnown;
    listedIsWorking_ = state.isWorking;
    listedKeyed_ = state.keyed;
    listedGeneration_ = state.generation;
}

bool PathResolver::keyedPath(std::string_view path) const {
    SplitPath split;
    if (!this->split(path, split) || keyedPrefix(split) != split.components.size()) {
        return false;
    }
    std::string_view rest = stripPathQuotes(path);
    const bool relative = !(rest.size() >= 2 && rest[1] == ':') && !rest.empty() &&
                          rest.front() != '/' && rest.front() != '\\';
    return !relative || workingKeyed_;
}

void PathResolver::noteListed(const std::string& name, bool isDirectory) {
    // A file is looked up, if at all, right after its listing delivered it:
    // the last name is enough, and most names of a drive are files.
    if (!isDirectory) {
        lastListed_ = name;
        return;
    }
    lastListed_.clear();
    if (!listedKeyKnown_) {
        listedKeyKnown_ = true;
        SplitPath split;
        listedKey_.clear();
        if (listedKeyed_ && this->split(listedDrivePath(), split)) {
            listedKey_ = cacheKey(split, split.components.size());
        }
    }
    if (listedKey_.empty()) {
        return;
    }
    std::string upperName = nameKey(name);
    std::string key;
    key.reserve(listedKey_.size() + 1 + upperName.size());
    key.append(listedKey_).append(1, '\0').append(upperName);
    auto [known, added] = directories_.try_emplace(std::move(key));
    if (added) {
        known->second = join(listedDirectory_, hostName(name));
        remember(known);
        return;
    }
    // The directory a later resolution would choose, whatever the order of
    // the listing: the name spelt as the key when it exists, else the first
    // of its spellings in byte order.
    if (upperName != name) {
        const std::string& host = known->second;
        const std::string chosen =
            driveName(std::string_view(host).substr(host.find_last_of('/') + 1));
        if (chosen == upperName || !(name < chosen))
            return;
    }
    known->second = join(listedDirectory_, hostName(name));
}

std::optional<std::string> PathResolver::listedNameFor(std::string_view name) const {
    if (!lastListed_.empty() && sameName(name, lastListed_)) {
        return lastListed_;
    }
    return std::nullopt;
}

bool PathResolver::listedName(std::string_view path, std::string& name) const {
    if (lastListed_.empty()) {
        return false;
    }
    const std::string& directory = listedDrivePath();
    const std::size_t prefix = directory.size();
    if (path.size() <= prefix + 1 || path[prefix] != '\\' ||
        !asciiEqualFold(path.substr(0, prefix), directory)) {
        return false;
    }
    std::optional<std::string> listed = listedNameFor(path.substr(prefix + 1));
    if (!listed) {
        return false;
    }
    name = std::move(*listed);
    return true;
}

bool PathResolver::listedEntry(std::string_view path, std::string& host) const {
    std::string name;
    if (!listedName(path, name)) {
        return false;
    }
    std::string candidate = join(listedDirectory_, hostName(name));
    if (!exists(candidate)) {
        return false;
    }
    host = std::move(candidate);
    return true;
}

std::optional<std::string> ScanWindows::find(const std::string& dir, const std::string& key) const {
    for (const Window& window : windows_) {
        if (window.directory != dir || key < window.low ||
            (!window.complete && key > window.high)) {
            continue;
        }
        auto found =
            std::lower_bound(window.names.begin(), window.names.end(), key,
                             [](const std::pair<std::string, std::string>& entry,
                                const std::string& wanted) { return entry.first < wanted; });
        if (found == window.names.end() || found->first != key) {
            return std::nullopt;
        }
        return found->second;
    }
    return std::nullopt;
}

void ScanWindows::keep(Window window) {
    for (auto old = windows_.begin(); old != windows_.end(); ++old) {
        if (old->directory == window.directory) {
            names_ -= old->names.size();
            windows_.erase(old);
            break;
        }
    }
    names_ += window.names.size();
    windows_.push_front(std::move(window));
    while (windows_.size() > windowCount || (names_ > nameBudget && windows_.size() > 1)) {
        names_ -= windows_.back().names.size();
        windows_.pop_back();
    }
}

namespace {

// Collects the window of one scan: the smallest upper-cased names from the
// one sought onwards, ties in byte order of their spellings, in a heap whose
// top is the one to drop next.
class WindowCollector {
  public:
    explicit WindowCollector(const std::string& key) : key_(key) {}

    void offer(std::string upperName, const char* spelling) {
        Kept kept{{std::move(upperName), spelling}};
        if (heap_.size() == ScanWindows::windowSize) {
            dropped_ = true;
            if (!(kept < heap_.front())) {
                return;
            }
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.pop_back();
        }
        heap_.push_back(std::move(kept));
        std::push_heap(heap_.begin(), heap_.end());
    }

    ScanWindows::Window take(const std::string& dir) {
        std::sort_heap(heap_.begin(), heap_.end());
        ScanWindows::Window window;
        window.directory = dir;
        window.low = key_;
        window.complete = !dropped_;
        window.high = heap_.empty() ? key_ : heap_.back().entry.first;
        window.names.reserve(heap_.size());
        for (Kept& kept : heap_) {
            window.names.push_back(std::move(kept.entry));
        }
        heap_.clear();
        return window;
    }

  private:
    struct Kept {
        std::pair<std::string, std::string> entry;  // upper-cased, real
        bool operator<(const Kept& other) const { return entry < other.entry; }
    };
    const std::string& key_;
    std::vector<Kept> heap_;
    bool dropped_ = false;
};

// Reads the directory `dir` for the entry whose upper-cased name is `key`.
// Of several spellings of the name the first in byte order wins, so that the
// choice does not depend on the order of the directory. False when the
// directory cannot be read.
bool scanDirectory(const std::string& dir, const std::string& key,
                   std::optional<std::string>& match, WindowCollector& window) {
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) {
        return false;
    }
    while (const dirent* entry = ::readdir(stream)) {
        std::string upperName = nameKey(driveName(entry->d_name));
        if (upperName < key) {
            continue;
        }
        if (upperName == key && (!match || *match > entry->d_name)) {
            match = entry->d_name;
        }
        window.offer(std::move(upperName), entry->d_name);
    }
    ::closedir(stream);
    return true;
}

}  // namespace

std::optional<std::string> PathResolver::findInDirectory(const std::string& dir,
                                                         const std::string& name) {
    const std::string key = nameKey(name);
    if (std::optional<std::string> seen = windows_.find(dir, key)) {
        // Seen by an earlier scan: still there under that name?
        if (exists(join(dir, *seen))) {
            return seen;
        }
    }
    ++scans_;
    std::optional<std::string> match;
    WindowCollector window(key);
    if (!scanDirectory(dir, key, match, window)) {
        return std::nullopt;
    }
    windows_.keep(window.take(dir));
    return match;
}

std::string PathResolver::resolve(const SplitPath& split, bool checkRemembered, bool* remembered,
                                  std::string* key) {
    const std::vector<std::string>& parts = split.components;
    const std::size_t count = parts.size();
    const std::size_t keyed = keyedPrefix(split);
    std::string real = split.base;
    std::size_t start = 0;

    if (key != nullptr) {
        key->clear();
    }
    // Start below the deepest directory resolved before, if it still exists.
    for (std::size_t k = keyed; k >= 1; --k) {
        std::string probe = cacheKey(split, k);
        auto found = directories_.find(probe);
        if (key != nullptr && k == count) {
            *key = std::move(probe);
        }
        if (found == directories_.end()) {
            continue;
        }
        if (!checkRemembered || isDirectory(found->second)) {
            real = found->second;
            start = k;
            break;
        }
        // Gone: left in place, the next resolution of the same key replaces it.
    }
    if (remembered) {
        *remembered = count > 0 && start == count;
    }

    std::string parent;
    for (std::size_t i = start; i < count; ++i) {
        if (i + 1 == count) {
            parent = real;
            // A name spelt otherwise than its key is that spelling only.
            if (real == listedDirectory_) {
                std::optional<std::string> listed = listedNameFor(parts[i]);
                if (listed && (i < keyed || *listed == parts[i])) {
                    std::string candidate = join(real, hostName(*listed));
                    if (exists(candidate)) {
                        real = std::move(candidate);
                        continue;
                    }
                }
            }
        }
        if (std::optional<std::string> name = exactHostName(parts[i])) {
            std::string exact = join(real, *name);
            if (exists(exact)) {
                real = std::move(exact);
                continue;
            }
        }
        std::optional<std::string> match = findInDirectory(real, parts[i]);
        if (match) {
            real = join(real, *match);
            continue;
        }
        // Not on disk in any case: the rest stays as written.
        for (std::size_t j = i; j < count; ++j) {
            real = join(real, hostName(parts[j]));
        }
        return real;
    }
    if (count >= 2 && start < count - 1 && keyed >= count - 1) {
        cachePut(cacheKey(split, count - 1), parent);
    }
    return real;
}

bool PathResolver::canonicalName(std::string_view path, std::string& name) {
    SplitPath split;
    if (!this->split(path, split) || split.components.empty()) {
        return false;
    }
    const std::string last = split.components.back();
    split.components.pop_back();
    const std::string dir = resolve(split);
    if (std::optional<std::string> exact = exactHostName(last);
        exact && exists(join(dir, *exact))) {
        name = last;
        return true;
    }
    std::optional<std::string> match = findInDirectory(dir, last);
    if (!match || !exists(join(dir, *match))) {
        return false;
    }
    name = driveName(*match);
    return true;
}

PathResolver& processResolver() {
    static PathResolver resolver(chooseDriveRoot(std::getenv("VELUMTAR_DRIVE_C"),
                                                 std::getenv("WINEPREFIX"), std::getenv("HOME")));
    return resolver;
}

}  // namespace velumtar::posix
