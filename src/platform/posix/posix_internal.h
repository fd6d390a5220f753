// Pieces of the POSIX platform layer shared between its files. Nothing outside
// src/platform/posix/ includes this header except the POSIX-only tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace velumtar::posix {

// Translates an errno value into the seam's status: ENOENT/ENOTDIR notFound,
// EACCES/EPERM/EROFS accessDenied, ENOSPC/EDQUOT noSpace, else ioError.
PlatformStatus statusFromErrno(int error);

// ASCII upper-casing; bytes of 128 and above stay as they are.
std::string asciiUpper(std::string_view text);
// The same into `out`, whose room is used again.
void asciiUpper(std::string_view text, std::string& out);
// Equal but for the case of ASCII letters; a control character equals '?'.
bool asciiEqualFold(std::string_view a, std::string_view b);
// A drive name (see util/name_mapping.h) as the tool keeps it, the key under
// which it is looked up: ASCII upper case, each control character '?',
// without trailing blanks. Names that differ only in these are spellings of
// one name.
std::string nameKey(std::string_view name);
bool sameName(std::string_view a, std::string_view b);

// Removes blanks around a path and one pair of enclosing double quotes (a lone
// leading or trailing quote too), then the blanks inside the quotes. Trailing
// blanks are dropped as Windows drops them from file names.
std::string_view stripPathQuotes(std::string_view path);

// Chooses the host directory of drive C: from the environment values (null
// when unset): VELUMTAR_DRIVE_C; else $WINEPREFIX/drive_c when that directory
// exists; else $HOME/.wine/drive_c when it exists; else $HOME; else "/".
std::string chooseDriveRoot(const char* driveC, const char* winePrefix, const char* home);

// A drive path taken apart: the host directory it starts from and its
// components, with "." and ".." already applied. The components are drive
// names (a host path's names are mapped as a listing maps them): the host
// name of each is hostName() of it.
struct SplitPath {
    std::string base;                     // absolute host directory, no trailing slash but "/"
    std::vector<std::string> components;  // as written, not yet matched against the disk
};

// What recent scans saw beyond the name they looked for: a scan of a
// directory keeps, in upper-cased order, the names from the one sought
// onwards (at most `windowSize`). A walk in key order enters the
// sub-directories of a directory in that same order, so one scan of a large
// directory answers the lookups of the many sub-directories that follow, long
// after they have left the directory cache. Bounded by the number of windows
// and the names kept over all of them.
class ScanWindows {
  public:
    struct Window {
        std::string directory;
        std::string low;        // upper-cased name the scan was made for
        std::string high;       // largest upper-cased name kept
        bool complete = false;  // no name after `low` was left out
        std::vector<std::pair<std::string, std::string>> names;  // upper-cased -> real, sorted
    };
    // A directory of n sub-directories not held by the directory cache is
    // read about n / windowSize times over a walk, n entries each time.
    static constexpr std::size_t windowSize = 4096;
    static constexpr std::size_t windowCount = 32;
    static constexpr std::size_t nameBudget = 8192;

    // The name a recent scan of `dir` found for the upper-cased `key`, when
    // the scan's window covers it.
    std::optional<std::string> find(const std::string& dir, const std::string& key) const;
    // Keeps `window` as the most recent, in place of an older window of the
    // same directory, and drops the oldest windows beyond the bounds.
    void keep(Window window);

  private:
    std::deque<Window> windows_;  // most recent first
    std::size_t names_ = 0;
};

// Maps drive paths onto host paths and back. Drive C: is `root`, drive Z: is
// "/", names without a drive are relative to the working directory. A drive
// path's names are drive names: a host name's characters that a Windows path
// takes for syntax are mapped (util/name_mapping.h), and a name reaches
// exactly its own entry. Matching against the disk is case-insensitive
// (ASCII folding): each component is tried as written first, then its parent
// directory is scanned for a name that differs only in case. A component
// that exists in neither form is kept as written, so a new file is created
// with the name given.
//
// Memory stays bounded: a small cache of resolved directories and the names of
// the last entries a listing delivered. Both are hints that are checked against
// the disk before use. One thread only.
// Owns a descriptor; closes it on destruction. Move-only.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(other.fd_);
        other.fd_ = -1;
        return *this;
    }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

class PathResolver {
  public:
    // `root` is made absolute and canonical when it exists.
    explicit PathResolver(std::string root);
    // The cache's oldest-first list points into the cache itself.
    PathResolver(const PathResolver&) = delete;
    PathResolver& operator=(const PathResolver&) = delete;

    const std::string& root() const { return root_; }

    // Splits `path` (may be quoted). False for a drive letter other than C or Z
    // or when the working directory cannot be read for a relative name.
    bool split(std::string_view path, SplitPath& out) const;

    // The host path for `path`, matched case-insensitively. False when the path
    // cannot be mapped (see split).
    bool hostPath(std::string_view path, std::string& host);

    // The drive form of an absolute host path: "C:\A\B" below the root ("C:"
    // for the root itself), otherwise "Z:\A\B" ("Z:" for "/"); each name
    // mapped.
    std::string drivePath(std::string_view host) const;

    // The host path for a split path, matched case-insensitively. A directory
    // remembered from before is checked against the disk first unless
    // `checkRemembered` is false: for a caller whose own use of the path
    // fails when the directory has gone, and who then asks again with the
    // check.
    // `remembered`, when given, tells whether the whole path was a directory
    // remembered from before; `key`, when given, receives the whole path's
    // cache key when it is written as its key throughout (else empty).
    std::string resolve(const SplitPath& split, bool checkRemembered = true,
                        bool* remembered = nullptr, std::string* key = nullptr);

    // The drive name, spelt as on disk, of the entry `path` names: the
    // spelling given when it exists, else the first spelling of the name in
    // byte order. Unlike hostPath it takes no hint from the listing. False
    // when there is none.
    bool canonicalName(std::string_view path, std::string& name);

    // How many leading components of `split` are written as their keys.
    // Only these are looked up in and kept by the cache of directories: a
    // name spelt otherwise (a directory the walk watches under one of
    // several spellings of its name) is that spelling, which the cache, kept
    // by key, cannot tell from the others.
    static std::size_t keyedPrefix(const SplitPath& split);

    // Records that `host` is the directory the components of `split` name, so
    // that later paths below it are resolved without scanning.
    void rememberDirectory(const SplitPath& split, const std::string& host);

    // A listing of the directory `host` begins: names noted from here on belong
    // to it. Names noted for another directory are forgotten. `isWorking` tells
    // that `host` was read as the working directory just now; `keyed` that it
    // was reached by its key (see keyedPrefix), so that the directories it
    // lists may be remembered by theirs.
    void beginListing(const std::string& host, bool isWorking = false, bool keyed = true);
    // A listing delivered `name` (a drive name); a later lookup of its
    // upper-cased form needs no scan: a file's until the next name is noted,
    // a directory's while the bounded cache of resolved directories keeps it.
    void noteListed(const std::string& name, bool isDirectory = false);
    // The state of the listing begun last. A listing of another directory
    // that runs within it (a second look the walk takes) keeps it aside and
    // puts it back when it ends, so that the names noted afterwards still
    // belong to the directory they are listed in.
    struct ListingState {
        std::string directory, drivePath, lastListed, key;
        bool keyKnown = false, isWorking = false, keyed = true;
        std::uint64_t generation = 0;
    };
    ListingState listingState() const;
    void restoreListing(ListingState state);
    // A listing opens or closes; opening answers whether another one is
    // open, within which it runs.
    bool listingOpened() { return openListings_++ > 0; }
    void listingClosed() { --openListings_; }
    // Whether `path` (as split takes it) is written as its key throughout,
    // from a working directory entered by its key for a relative one.
    bool keyedPath(std::string_view path) const;

    // Changes the working directory to the host directory `host` (resolved
    // by this resolver), relative to the current one when `host` lies below
    // it: a short lookup instead of a walk of the whole path. False when the
    // system refuses; the working directory is then unchanged.
    bool enter(const std::string& host);
    // Changes the working directory to the directory `host` of drive C:,
    // reached from the drive's root through no symbolic link
    // (openDirectoryBelow; `host` then names what was entered). False when
    // it cannot be opened or entered; the working directory is then unchanged.
    bool enterBelowRoot(std::string& host, bool otherSpellings);
    // The working directory as described through the very descriptor
    // enterBelowRoot() entered; null once it changed otherwise.
    const struct stat* workingStat() const {
        return workingStatAt_ == directoryChanges_ ? &workingStat_ : nullptr;
    }
    // The working directory belongs to the platform: it changes only through
    // enter() or enterBelowRoot(), which remember it, so that relative names need not ask the
    // system for it. Code that changes it otherwise (tests) must call this.
    void forgetWorkingDirectory() {
        working_.clear();
        workingKeyed_ = true;
        ++directoryChanges_;
    }
    // The working directory was just entered by `split`, whose cache key
    // resolve() gave as `key`: a listing of it takes its key from there
    // instead of working it out from the host path.
    void enteredBy(const SplitPath& split, std::string key);
    // Whether the working directory was entered by a path written as its key
    // (enter() takes it so; a caller that entered it by a spelling tells).
    bool workingKeyed() const { return workingKeyed_; }
    void setWorkingKeyed(bool keyed) { workingKeyed_ = keyed; }
    // The working directory as a host path: the one enter() set, else the
    // system's.
    bool workingDirectory(std::string& out) const;
    // True while the directory listed last is the working directory, so that
    // its entries can be reached by their bare names (a one-component lookup
    // instead of a walk of the whole path).
    bool listedIsWorking() const {
        return listedIsWorking_ && listedGeneration_ == directoryChanges_;
    }
    // The drive name, spelt as on disk, of the entry `path` names when a
    // listing of the directory listed last delivered it (see listedEntry);
    // not checked against the disk.
    bool listedName(std::string_view path, std::string& name) const;
    const std::string& listedDirectory() const { return listedDirectory_; }

    // Number of directory scans done so far (a measure for tests).
    std::uint64_t scanCount() const { return scans_; }
    // Listed entries described by lstat because readdir did not tell their
    // kind (a measure for tests).
    void countEntryStat() { ++entryStats_; }
    std::uint64_t entryStatCount() const { return entryStats_; }

  private:
    // The entry a listing delivered, when `path` names one of the directory
    // listed last: found by its whole name, which may even hold a backslash.
    bool listedEntry(std::string_view path, std::string& host) const;
    // The on-disk form of `name` when it is the file the listing of the
    // directory listed last delivered last.
    std::optional<std::string> listedNameFor(std::string_view name) const;
    std::optional<std::string> findInDirectory(const std::string& dir, const std::string& name);
    std::string cacheKey(const SplitPath& split, std::size_t count) const;
    void cachePut(std::string key, std::string host);

    std::string root_;
    // The root held open for enterBelowRoot(); none until first needed.
    Descriptor rootFd_;

    // Directories resolved or listed: enough to hold the sub-directories of
    // the directories a walk in key order has listed but not yet entered.
    static constexpr std::size_t directoryCacheSize = 2048;
    using DirectoryMap = std::unordered_map<std::string, std::string>;  // key -> host directory
    DirectoryMap directories_;
    std::deque<DirectoryMap::iterator> directoryOrder_;  // oldest first
    // Puts an entry just added to the cache last in line to be let go.
    void remember(DirectoryMap::iterator added);

    // listedDirectory_ as a drive path, made when first asked for: most
    // listings never need it.
    const std::string& listedDrivePath() const;
    std::string listedDirectory_;
    mutable std::string listedDrivePath_;
    mutable bool listedDrivePathKnown_ = false;
    std::string lastListed_;  // the file noted last, if the last name was a file
    // The cache key of the directory listed last, when it lies on drive C:
    // or Z: (empty otherwise).
    std::string listedKey_;
    bool listedKeyKnown_ = false;  // listedKey_ is computed at the first directory noted
    bool listedKeyed_ = true;
    bool listedIsWorking_ = false;
    std::uint64_t listedGeneration_ = 0;
    std::uint64_t directoryChanges_ = 0;
    std::string working_;     // the working directory enter() set; empty: ask the system
    std::string workingKey_;  // its cache key, while workingKeyAt_ is directoryChanges_
    std::uint64_t workingKeyAt_ = ~std::uint64_t{0};
    struct stat workingStat_ {};
    std::uint64_t workingStatAt_ = ~std::uint64_t{0};
    bool workingKeyed_ = true;
    int openListings_ = 0;

    ScanWindows windows_;

    std::uint64_t scans_ = 0;
    std::uint64_t entryStats_ = 0;
};

// The resolver of the running process, made at first use from the environment.
PathResolver& processResolver();

// Entering the walk's directories (posix_enter.cpp).
// Opens the directory `host` for reading so that nothing below the drive's
// root `root` is reached through a symbolic link: each component after the
// root must be a directory itself when it is opened. With `otherSpellings`,
// a component that is a link or no directory under the spelling in `host` is
// looked for under another spelling of its name that is a directory (the one
// spelt as its key, else the first in byte order), and `host` then names
// what was opened. `rootFd` is the root held open, or -1. Returns the
// descriptor, or -1 with errno set (EXDEV when `host` is not below `root`).
int openDirectoryBelow(int rootFd, const std::string& root, std::string& host, bool otherSpellings);

// File services (posix_files.cpp).
std::unique_ptr<File> openHostFile(const std::string& host, OpenMode mode, PlatformStatus& status);
PlatformStatus removeHostFile(const std::string& host);
PlatformStatus renameHostFile(const std::string& from, const std::string& to);
PlatformStatus replaceHostFile(const std::string& from, const std::string& to);
std::unique_ptr<ExclusiveHold> holdHostFile(const std::string& host, PlatformStatus& status);
PlatformStatus probeHostFile(const std::string& host);

// `dir` and `name` joined by one slash.
std::string join(const std::string& dir, std::string_view name);

// Listing and file facts (posix_listing.cpp).
std::unique_ptr<DirectoryListing> newHostListing(PathResolver& resolver);
PlatformStatus hostFileInformation(const std::string& host, FileInformation& info);
// The same for the entry `name` of the open directory `directoryFd`, whose
// host path is `directoryHost` (where the system cannot read the extended
// attribute relative to the directory, it is read by path).
PlatformStatus hostFileInformationAt(int directoryFd, const char* name,
                                     const std::string& directoryHost, FileInformation& info);
// Fills `entry` for an entry readdir delivered from the open directory
// `directoryFd` with its drive name and type (dot entries as such), as a
// listing reports it; false when the entry vanished since. `stated` tells
// whether that took an lstat.
bool describeEntry(int directoryFd, const char* name, unsigned char type, ListingEntry& entry,
                   bool& stated);
// The same for the open file `fd`, whose name's last part is `name`.
PlatformStatus openFileInformation(int fd, std::string_view name, FileInformation& info);
LocalDateTime hostLocalDateTime();
// The attribute byte of a listed entry from its kind, its own lstat mode, its
// name and the value of its user.DOSATTRIB extended attribute (empty when it
// carries none).
std::uint8_t entryAttributes(EntryKind kind, unsigned mode, std::string_view name,
                             std::string_view dosAttrib);

// Message box on the terminal (posix_dialog.cpp).
BoxButton terminalMessageBox(std::string_view text, std::string_view caption, BoxType type);

// Program start and the deferred viewer (posix_launch.cpp). `programDir` is
// the directory of the running program, where its help is looked for; the
// short form takes it from the system.
LaunchStage launchCommand(PathResolver& resolver, std::string_view commandLine, bool wait);
LaunchStage launchCommand(PathResolver& resolver, std::string_view commandLine, bool wait,
                          const std::string& programDir);
// The directory of the running program's executable; empty when unknown.
std::string programDirectory();
// The tool's help for a program in `programDir`: the manual page when
// `manual` is set, else the start page of the HTML help; looked for beside the
// program, then in the installed layout. Empty when absent.
std::string helpFile(const std::string& programDir, bool manual);
[[noreturn]] void endProcess(int code);

// syslog (posix_syslog.cpp): the events go to the datagram socket `socketPath`
// (the system's is /dev/log) as syslog(3) frames them, facility LOG_AUTH,
// identity "velumtar" with the process id.
std::unique_ptr<SystemLog> openSyslog(const std::string& socketPath);
// The frame of one event sent at `now` (time_t) by process `pid`.
std::string syslogFrame(const SystemEvent& event, long long now, long pid);

}  // namespace velumtar::posix
