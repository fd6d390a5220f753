// The in-memory platform for unit tests: files and directories live in maps,
// boxes and launches are recorded, and failures can be switched on. It keeps
// the promises of the platform seam that the contract test checks; faults of
// the device and power failures come from FaultPlatform on top of it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velumtar::test {

struct RecordedBox {
    std::string text, caption;
    unsigned type;  // BoxType::flags()
};

struct RecordedLaunch {
    std::string commandLine;
    int show;
    bool wait;
};

// An entry of the in-memory directory tree that listings deliver.
struct FakeEntry {
    std::string name;  // as the listing delivers it (case kept, possibly quoted)
    EntryKind kind = EntryKind::file;
    std::uint8_t attributes = attr::archive;  // what fileInformation reports
    // What the listing reports instead, for a listing that leaves bits out.
    std::optional<std::uint8_t> listedAttributes;
    FileInformation info;                            // files: size and last-write time
    bool enterable = true;                           // directories: changeDirectory succeeds
    PlatformStatus infoStatus = PlatformStatus::ok;  // files: what fileInformation answers
    bool vanishes = false;                           // gone once a listing delivered it
    // Directories: modification and change time (ns since 1970), as a
    // reader of the tree stamps it.
    std::int64_t changedAt = kSettled;
    static constexpr std::int64_t kSettled = 1751271342123456789;
    bool listedWithFacts = false;  // files: the listing carries `info` (as on Windows)
};

// A failing listing of one directory: `result` is answered instead of the
// entry after `after` entries were delivered (0: at the first read).
struct ListingFault {
    ListingResult result = ListingResult::error;
    std::size_t after = 0;
};

class FakePlatform : public Platform {
  public:
    FakePlatform();

    // Scripted state.
    // Buttons pressed in order, as their identifiers (OK 1, Yes 6, No 7, ...);
    // no box once used up.
    std::vector<int> boxAnswers;
    std::vector<RecordedBox> boxes;
    std::vector<RecordedLaunch> launches;
    LaunchStage launchResult = LaunchStage::started;
    std::map<std::string, std::string> env;
    std::string workingDirectory = "C:\\TOOLS";
    bool workingDirectoryReadable = true;
    LocalDateTime clock{"20261207", "12345600"};
    std::set<std::string> heldByOthers;  // paths another process holds
    std::set<std::string> refused;       // paths whose opening is refused
    std::string arguments;
    // Fails every write to a file whose normalised name equals this, once
    // `writesBeforeFailure` writes to it have succeeded (-1: never fail).
    std::string failWritesTo;
    std::shared_ptr<long> writesBeforeFailure = std::make_shared<long>(0);
    // The failing write still puts the first half of its bytes in place, as
    // a device that fills up part-way through a write does.
    bool tornFailures = false;

    // Events sent to the system's log, in order; each send fails while
    // `systemLogFails` is set (the event is still recorded).
    std::vector<SystemEvent> events;
    bool systemLogFails = false;
    int systemLogsOpened = 0;

    // The normalised name of each file forced to the device, in order.
    std::vector<std::string> syncs;
    // Forcing the file of this normalised name to the device fails.
    std::string failSyncsTo;

    // File contents by normalised path (upper case, drive form). A file is
    // created only in a directory of `directories` or of the tree. Paths
    // sharing their contents are names of one file (hard links).
    std::map<std::string, std::shared_ptr<std::string>> files;
    std::set<std::string> directories;  // the root and the working directory to begin with

    // The listed tree by normalised path. Record files in `files` are not
    // listed; directories in `directories` can be entered and list as empty.
    // Sub-directories list "." and ".." first, then their children in
    // ascending order of the normalised path (descending with
    // `reverseListing`).
    std::map<std::string, FakeEntry> tree;
    std::map<std::string, ListingFault> listingFaults;  // by normalised directory
    bool reverseListing = false;
    // What the walk asked for.
    std::vector<std::string> changeRequests;   // every path handed to changeDirectory
    std::vector<std::string> listingPatterns;  // every pattern handed to first()
    std::vector<std::string> contentsOpened;   // every path opened for its contents
    int readAheadBegun = 0, readAheadEnded = 0;
    std::string lastListed;  // tree key of the entry listed last
    int openListings = 0;    // started and not yet ended
    int mostOpenListings = 0;

    // Add an entry to the tree under its drive path (C:\Program Files\App.exe),
    // with missing parent directories; the listed name is the path's last
    // component in the case given. Files are last written 2025-06-30 08:15:42.
    // An entry whose path upper-cases like one already there but is spelt
    // otherwise is a twin: listed after it (before it with `reverseListing`),
    // described by fileInformation only right after the listing delivered
    // it, never found by a lookup; the spelling added first is the one
    // lookups find.
    FakeEntry& addDirectory(const std::string& path);
    FakeEntry& addFile(const std::string& path, std::uint64_t size = 0,
                       std::uint8_t attributes = attr::archive);
    FakeEntry& addEntry(const std::string& path, EntryKind kind, std::uint8_t attributes);
    // The size and last-write time addFile gives a file of `size` bytes.
    static FileInformation addedFileInformation(std::uint64_t size) {
        return {.size = size,
                .year = 2025,
                .month = 6,
                .day = 30,
                .hour = 8,
                .minute = 15,
                .second = 42};
    }
    // The normalised paths of the entries listed in `directory` (normalised),
    // in listing order, without dot entries.
    std::vector<std::string> childrenOf(const std::string& directory) const;
    bool isDirectory(const std::string& normalised) const;

    void putFile(const std::string& path, const std::string& content);
    std::string contentOf(const std::string& path) const;
    bool has(const std::string& path) const;
    std::string normalise(std::string_view path) const;

    BoxButton messageBox(std::string_view text, std::string_view caption, BoxType type) override;
    LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) override;
    std::string upperCase(std::string_view text) override;
    bool currentDirectory(std::string& path) override;
    bool changeDirectory(std::string_view path) override;
    void beginReadAhead(const WalkPlan&) override { ++readAheadBegun; }
    void endReadAhead() override { ++readAheadEnded; }
    std::unique_ptr<DirectoryListing> newListing() override;
    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override;
    bool entryName(std::string_view path, std::string& name) override;
    LocalDateTime localDateTime() override { return clock; }
    PlatformStatus removeFile(std::string_view path) override;
    PlatformStatus renameFile(std::string_view from, std::string_view to) override;
    PlatformStatus replaceFile(std::string_view from, std::string_view to) override;
    bool fileExists(std::string_view path) override;
    std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                   PlatformStatus& status) override;
    std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                 PlatformStatus& status) override;
    PlatformStatus probe(std::string_view path) override;
    std::string argumentText(int, char**) override { return arguments; }
    std::unique_ptr<SystemLog> openSystemLog() override;
    std::optional<std::string> environment(std::string_view name) override;
    [[noreturn]] void exitProcess(int code) override;

    std::set<std::string> heldHere;

  private:
    friend class FakeReader;
    static std::string parentOf(const std::string& normalised);
    // The tree key of the entry listed as `name` in the directory whose tree
    // key is `directory` (a twin's own key for a twin).
    std::string childKey(const std::string& directory, std::string_view name) const;
    // Moves the listed entry of a renamed file along with it.
    void moveEntry(const std::string& from, const std::string& to);

    std::size_t nextBox_ = 0;
};

}  // namespace velumtar::test
