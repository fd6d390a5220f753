// Directory listings, file facts and the local clock on POSIX.
//
// A listing never follows symbolic links. The kind of an entry comes from the
// type readdir reports where that is a regular file or a directory, so such
// entries cost no system call; a link, an entry of unknown type and anything
// else is described by lstat. A link to a directory is reported as a reparse
// point, which the walk does not enter; a link to a file and a dangling link
// are files.
//
// Attributes follow what Wine reports for a Unix file system: archive for
// files, hidden for a leading dot, read-only when the owner may not write; the
// user.DOSATTRIB extended attribute that Samba and Wine keep overrides the
// read-only, hidden, system and archive bits where an entry carries it. The
// listing reports only what the name tells (archive or directory, hidden for a
// leading dot): reading the mode and the extended attribute of every entry
// would cost two system calls each, for the few files that are watched. The
// file information carries the full attributes, and the facts of a file take
// theirs from there.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/posix_internal.h"
#include "util/name_mapping.h"

namespace velumtar::posix {
namespace {

constexpr std::uint8_t dosBits = attr::readOnly | attr::hidden | attr::system | attr::archive;

// Parses the leading "0x.." text of a DOSATTRIB value (Samba's binary form
// starts with the same text). Nothing when the value is not of that form.
std::optional<unsigned> parseDosAttrib(std::string_view value) {
    std::size_t nul = value.find('\0');
    if (nul != std::string_view::npos) {
        value = value.substr(0, nul);
    }
    if (value.size() < 3 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) {
        return std::nullopt;
    }
    unsigned result = 0;
    for (char c : value.substr(2)) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        result = (result << 4 | static_cast<unsigned>(digit)) & 0xffffffu;
    }
    return result;
}

char fold(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Wildcard match with '*' and '?', ASCII case folded.
bool wildcardMatch(std::string_view mask, std::string_view name) {
    std::size_t m = 0, n = 0, starMask = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || fold(mask[m]) == fold(name[n]))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') {
        ++m;
    }
    return m == mask.size();
}

std::string readDosAttrib(const std::string& path) {
    char buffer[256];
    ssize_t n = ::lgetxattr(path.c_str(), "user.DOSATTRIB", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

EntryKind kindFromDirentType(unsigned char type) {
    switch (type) {
        case DT_DIR:
            return EntryKind::directory;
        case DT_REG:
        case DT_LNK:
            return EntryKind::file;
        default:
            return EntryKind::other;
    }
}

EntryKind kindFromMode(unsigned mode) {
    if (S_ISDIR(mode)) {
        return EntryKind::directory;
    }
    return S_ISREG(mode) || S_ISLNK(mode) ? EntryKind::file : EntryKind::other;
}

// What a listing reports without asking for the mode or the extended
// attribute: the attributes of a writable entry without DOSATTRIB.
std::uint8_t listedAttributes(EntryKind kind, std::string_view name) {
    return entryAttributes(kind, S_IWUSR, name, {});
}

}  // namespace

bool describeEntry(int directoryFd, const char* name, unsigned char type, ListingEntry& entry,
                   bool& stated) {
    // Most names need no mapping: copied into the entry's own buffer.
    const std::string_view host = name;
    stated = false;
    if (host == "." || host == "..") {
        entry.name.assign(host);
        entry.kind = EntryKind::dotEntry;
        entry.attributes = attr::directory;
        return true;
    }
    if (name_mapping::isOwnDriveName(host))
        entry.name.assign(host);
    else
        entry.name = driveName(host);
    if (type == DT_REG || type == DT_DIR) {
        entry.kind = type == DT_DIR ? EntryKind::directory : EntryKind::file;
        entry.attributes = listedAttributes(entry.kind, entry.name);
        return true;
    }
    stated = true;
    struct stat st;
    if (::fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        // Not described (a directory readable but not searchable): the
        // type readdir knows still tells files from directories.
        entry.kind = kindFromDirentType(type);
        entry.attributes = listedAttributes(entry.kind, entry.name);
        return true;
    }
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        bool toDirectory = ::fstatat(directoryFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
        entry.kind = toDirectory ? EntryKind::reparsePoint : EntryKind::file;
    } else {
        entry.kind = kindFromMode(st.st_mode);
    }
    entry.attributes = listedAttributes(entry.kind, entry.name);
    return true;
}

namespace {

class HostListing final : public DirectoryListing {
  public:
    explicit HostListing(PathResolver& resolver) : resolver_(resolver) {}
    ~HostListing() override { end(); }
    HostListing(const HostListing&) = delete;
    HostListing& operator=(const HostListing&) = delete;

    ListingResult first(std::string_view pattern, ListingEntry& entry) override {
        end();
        std::string_view text = stripPathQuotes(pattern);
        std::size_t cut = text.find_last_of("\\/");
        if (cut == std::string_view::npos && text.size() >= 2 && text[1] == ':') {
            cut = 1;
        }
        std::string_view mask = cut == std::string_view::npos ? text : text.substr(cut + 1);
        matchAll_ = mask.empty() || mask == "*" || mask == "*.*";
        mask_ = mask;
        // The directory part ("C:\" for "C:\*.*") or the working directory.
        if (!resolver_.hostPath(cut == std::string_view::npos ? "" : text.substr(0, cut + 1),
                                directory_)) {
            return ListingResult::error;
        }
        // The working directory is opened as "." (no walk of its whole path).
        stream_ = ::opendir(cut == std::string_view::npos ? "." : directory_.c_str());
        if (stream_ == nullptr) {
            return errno == EACCES ? ListingResult::accessDenied : ListingResult::error;
        }
        if (resolver_.listingOpened()) {
            outer_ = resolver_.listingState();
        }
        const bool keyed = cut == std::string_view::npos ? resolver_.workingKeyed()
                                                         : resolver_.keyedPath(text.substr(0, cut));
        resolver_.beginListing(directory_, cut == std::string_view::npos, keyed);
        return next(entry);
    }

    ListingResult next(ListingEntry& entry) override {
        if (stream_ == nullptr) {
            return ListingResult::error;
        }
        for (;;) {
            errno = 0;
            const dirent* item = ::readdir(stream_);
            if (item == nullptr) {
                return errno == 0 ? ListingResult::end : ListingResult::error;
            }
            const std::string_view name = item->d_name;
            if (!matchAll_ && !wildcardMatch(mask_, name)) {
                continue;
            }
            if (describe(*item, entry)) {
                if (entry.kind != EntryKind::dotEntry)
                    resolver_.noteListed(entry.name, entry.kind == EntryKind::directory);
                return ListingResult::entry;
            }
        }
    }

    void end() override {
        if (stream_ != nullptr) {
            ::closedir(stream_);
            stream_ = nullptr;
            resolver_.listingClosed();
            if (outer_) {
                resolver_.restoreListing(std::move(*outer_));
                outer_.reset();
            }
        }
    }

  private:
    bool describe(const dirent& item, ListingEntry& entry) {
        bool stated = false;
        const bool present =
            describeEntry(::dirfd(stream_), item.d_name, item.d_type, entry, stated);
        if (stated) {
            resolver_.countEntryStat();
        }
        return present;
    }

    PathResolver& resolver_;
    DIR* stream_ = nullptr;
    std::string directory_;
    std::string mask_;
    bool matchAll_ = true;
    // The listing this one runs within, put back at its end.
    std::optional<PathResolver::ListingState> outer_;
};

}  // namespace

std::uint8_t entryAttributes(EntryKind kind, unsigned mode, std::string_view name,
                             std::string_view dosAttrib) {
    const bool directoryLike = kind == EntryKind::directory || kind == EntryKind::reparsePoint ||
                               kind == EntryKind::dotEntry;
    std::uint8_t bits = directoryLike ? attr::directory : attr::archive;
    if (kind == EntryKind::dotEntry) {
        return bits;
    }
    if (!name.empty() && name.front() == '.') {
        bits |= attr::hidden;
    }
    if ((mode & S_IWUSR) == 0) {
        bits |= attr::readOnly;
    }
    if (std::optional<unsigned> dos = parseDosAttrib(dosAttrib)) {
        bits = static_cast<std::uint8_t>((bits & attr::directory) | (*dos & dosBits));
    }
    return bits;
}

std::unique_ptr<DirectoryListing> newHostListing(PathResolver& resolver) {
    return std::make_unique<HostListing>(resolver);
}

namespace {

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
// getxattrat(2) (Linux 6.13): the attribute of an entry of an open directory
// without walking its whole path again. Not wrapped by the C library yet.
constexpr long kGetXattrAt = 464;
struct XattrArguments {
    std::uint64_t value;
    std::uint32_t size;
    std::uint32_t flags;
};
std::atomic<bool> getXattrAtMissing{false};

// False when the system lacks the call (the caller reads by path).
bool readDosAttribAt(int directoryFd, const char* name, std::string& value) {
    if (getXattrAtMissing.load(std::memory_order_relaxed)) {
        return false;
    }
    char buffer[256];
    XattrArguments arguments{reinterpret_cast<std::uintptr_t>(buffer), sizeof buffer, 0};
    const long n = ::syscall(kGetXattrAt, directoryFd, name, AT_SYMLINK_NOFOLLOW, "user.DOSATTRIB",
                             &arguments, sizeof arguments);
    if (n < 0 && (errno == ENOSYS || errno == EINVAL || errno == EPERM)) {
        getXattrAtMissing.store(true, std::memory_order_relaxed);
        return false;
    }
    value = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    return true;
}
#else
bool readDosAttribAt(int, const char*, std::string&) {
    return false;
}
#endif

// `dosAttrib` is the entry's extended attribute, `name` its last component.
PlatformStatus factsFromStat(const struct stat& st, std::string_view name,
                             const std::string& dosAttrib, FileInformation& info) {
    const EntryKind kind = kindFromMode(st.st_mode);
    info.attributes = entryAttributes(kind, st.st_mode, name, dosAttrib);
    struct tm local;
    if (::localtime_r(&st.st_mtim.tv_sec, &local) == nullptr) {
        return PlatformStatus::ioError;
    }
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.year = local.tm_year + 1900;
    info.month = local.tm_mon + 1;
    info.day = local.tm_mday;
    info.hour = local.tm_hour;
    info.minute = local.tm_min;
    info.second = local.tm_sec;
    info.hundredths = 0;
    return PlatformStatus::ok;
}

// A link carries no extended attribute of its own that Wine would read.
bool carriesDosAttrib(const struct stat& st) {
    return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

}  // namespace

PlatformStatus hostFileInformation(const std::string& host, FileInformation& info) {
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) {
        return statusFromErrno(errno);
    }
    const std::string dosAttrib = carriesDosAttrib(st) ? readDosAttrib(host) : std::string();
    const std::size_t slash = host.find_last_of('/');
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view(host)
                                      : std::string_view(host).substr(slash + 1);
    return factsFromStat(st, name, dosAttrib, info);
}

PlatformStatus hostFileInformationAt(int directoryFd, const char* name,
                                     const std::string& directoryHost, FileInformation& info) {
    struct stat st;
    if (::fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return statusFromErrno(errno);
    }
    std::string dosAttrib;
    if (carriesDosAttrib(st) && !readDosAttribAt(directoryFd, name, dosAttrib)) {
        // The whole path only where the system cannot read it relative to
        // the open directory.
        dosAttrib = readDosAttrib(join(directoryHost, name));
    }
    return factsFromStat(st, name, dosAttrib, info);
}

PlatformStatus openFileInformation(int fd, std::string_view name, FileInformation& info) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    std::string dosAttrib;
    if (carriesDosAttrib(st)) {
        char buffer[256];
        const ssize_t n = ::fgetxattr(fd, "user.DOSATTRIB", buffer, sizeof buffer);
        if (n > 0) {
            dosAttrib.assign(buffer, static_cast<std::size_t>(n));
        }
    }
    return factsFromStat(st, name, dosAttrib, info);
}

LocalDateTime hostLocalDateTime() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    if (::localtime_r(&now.tv_sec, &local) == nullptr) {
        // No plausible reading: the caller's test rejects these texts.
        return {"00000000", "99999999"};
    }
    char date[32], time[32];
    std::snprintf(date, sizeof date, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    std::snprintf(time, sizeof time, "%02d%02d%02d%02d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_nsec / 10000000));
    return {date, time};
}

}  // namespace velumtar::posix
