// The operating-system seam. Everything the tool needs from the system is
// reached through `Platform`; the rest of the program includes no system
// header and carries no #ifdef for the system it runs on.
//
// Names: paths handed to the platform are Windows-form drive paths as the tool
// keeps them in its records ("C:\VELUMTAR.DBI", "C:\PROGRAM FILES\APP") or
// names relative to the working directory ("VELULIST.DBI"). A path may arrive
// enclosed in double quotes; the platform strips them. All text crossing the
// seam is UTF-8. Upper-cased paths must still find their entries: the POSIX
// layer resolves them case-insensitively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velumtar {

// Outcome of a platform call, translated once at the seam.
enum class [[nodiscard]] PlatformStatus{
    ok,
    created,       // openFile: the file did not exist and was created empty
    notFound,      // the file or directory does not exist
    locked,        // held by another process (sharing violation, file lock)
    accessDenied,  // permission refused
    noSpace,       // the file system is full
    ioError,       // any other failure
};

// Attribute bits of a listed entry, as the Windows listing reports them.
namespace attr {
inline constexpr std::uint8_t readOnly = 1;
inline constexpr std::uint8_t hidden = 2;
inline constexpr std::uint8_t system = 4;
inline constexpr std::uint8_t volumeLabel = 8;
inline constexpr std::uint8_t directory = 16;
inline constexpr std::uint8_t archive = 32;
}  // namespace attr

enum class EntryKind {
    file,
    directory,
    volumeLabel,
    dotEntry,      // "." or ".."
    reparsePoint,  // a directory symbolic link or junction: never entered
    other,         // FIFO, socket, device: not a file the tool watches
};

// Facts of one file: the full 64-bit size, the last-write time in local time
// and the attribute bits (`attr`) as a listing that describes the file in full
// reports them.
struct FileInformation {
    std::uint64_t size = 0;
    std::uint8_t attributes = 0;
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, hundredths = 0;
};

// One entry delivered by a directory listing. Its attribute bits may be
// incomplete where the system's listing does not carry them (POSIX reports a
// file as archive, hidden for a leading dot): the facts of a file take theirs
// from `FileInformation`.
struct ListingEntry {
    std::string name;  // as stored on disk, UTF-8, not upper-cased
    std::uint8_t attributes = 0;
    EntryKind kind = EntryKind::other;
    // A file's facts as the listing itself reported them, where the system's
    // listing carries them whole (the Windows find data). They describe a
    // listed file that its path cannot reach: a reserved device name, a
    // trailing dot or blank, a character the path rules take for syntax.
    bool hasFacts = false;
    // The facts are those fileInformation gives for the file's path (a
    // listing read ahead reads them with the entry): the walk does not ask.
    bool factsFromPath = false;
    FileInformation facts;
};

// Result codes of the listing, as the walk tests them.
enum class ListingResult {
    entry = 0,         // an entry was delivered
    end = 1,           // no further entry
    error = 2,         // the listing failed
    accessDenied = 3,  // the directory's listing was refused at its first read
};

// A directory listing over one search pattern, relative to the working
// directory. first() starts it, next() continues, end() releases it; the
// destructor ends a listing still open.
class DirectoryListing {
  public:
    virtual ~DirectoryListing() = default;
    virtual ListingResult first(std::string_view pattern, ListingEntry& entry) = 0;
    virtual ListingResult next(ListingEntry& entry) = 0;
    virtual void end() = 0;
};

// Local date and time of day as the clock reports them: "YYYYMMDD" and
// "hhmmsscc". Text, because an implausible reading must survive to be tested.
struct LocalDateTime {
    std::string date;  // 8 characters
    std::string time;  // 8 characters
};

// The walk's rules, handed to a platform that reads its directories ahead
// (Platform::beginReadAhead): which directories it enters, under which key,
// and which files' facts it reads. Called on worker threads: an
// implementation keeps no state that changes while it is in use.
class WalkPlan {
  public:
    virtual ~WalkPlan() = default;
    // A copy to keep: a worker may still use it after the walk has ended.
    virtual std::unique_ptr<WalkPlan> clone() const = 0;
    // The key ("C:\A\*", "C:\*") of the directory that entering `path` (as
    // the walk passes it, which may spell a name as it is on disk) enters.
    virtual std::string keyOf(std::string_view path) const = 0;
    // The key under which the walk enters the sub-directory listed as
    // `name` in the directory whose key is `parentKey`; false when the walk
    // never enters it. Keys hold no control characters.
    virtual bool childKey(std::string_view parentKey, std::string_view name,
                          std::string& key) const = 0;
    // Whether the walk reads the facts of the file listed as `name`; a wrong
    // answer costs time, never a result.
    virtual bool wantsFacts(std::string_view name) const = 0;
};

// What tells an open file apart from others and whether it changed: its
// volume and its index on that volume (device and inode on POSIX), its number
// of names (hard links), its size and its last-write time in the system's
// finest unit.
struct FileIdentity {
    std::uint64_t volume = 0, index = 0;
    std::uint64_t links = 0;
    std::uint64_t size = 0;
    std::int64_t writeTime = 0;
};

// A file opened for positional reads and writes.
class File {
  public:
    virtual ~File() = default;
    // Reads up to `length` bytes at `offset`; `got` is less than `length` only
    // at the end of the file.
    virtual PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                                std::size_t& got) = 0;
    // Writes all `length` bytes at `offset`, extending the file as needed.
    virtual PlatformStatus write(std::uint64_t offset, const void* buffer, std::size_t length) = 0;
    virtual PlatformStatus size(std::uint64_t& size) = 0;
    virtual PlatformStatus truncate(std::uint64_t size) = 0;
    // Forces written data to the storage device (fsync, FlushFileBuffers).
    virtual PlatformStatus sync() = 0;
    virtual PlatformStatus identity(FileIdentity& identity) = 0;
    // The facts of the open file, as fileInformation() reports them for the
    // name it was opened by. A file that cannot tell them answers ioError.
    virtual PlatformStatus information(FileInformation& /*info*/) {
        return PlatformStatus::ioError;
    }
    // A hint that the whole file is about to be read, in no set order: the
    // system may fetch it from the device meanwhile. Never fails.
    virtual void willRead() {}
};

// Every mode opens only a regular file, and never through a symbolic link or
// reparse point: a link, a directory, a pipe or a device at the name fails
// the open (accessDenied) without anything behind the name being read,
// changed or locked. A file that is missing is created exclusively, so a name
// that appears in between is never taken over. The one exception is
// `readFollowing`, for a file the user keeps (it may be a link, and is read
// when what the link leads to is a regular file).
enum class OpenMode {
    read,           // must exist; read only
    readWrite,      // created empty when missing (status `created`)
    truncate,       // created or emptied; read and write
    append,         // created when missing; writes go to the end
    readFollowing,  // as `read`, but a symbolic link is followed
    // As `read`, for a watched file's contents: others may go on reading,
    // writing, renaming and deleting it meanwhile, and a name that reaches
    // no regular file is refused (accessDenied); on Windows by its literal
    // path, as the facts are read, a name relative to the working directory
    // included.
    contents,
};

// The exclusively held instance marker. Releasing it (destructor) closes it;
// another process sees it as locked until then.
class ExclusiveHold {
  public:
    virtual ~ExclusiveHold() = default;
};

// How serious an event for the system's log is: the event log's information,
// warning and error types; syslog's LOG_INFO, LOG_WARNING and LOG_ERR.
enum class EventLevel { information, warning, error };

// One event for the system's log. `id` names the event's text in the
// program's message table, whose inserts %1, %2, ... are `inserts` (the
// Windows event log shows that text); `text` is the same message with its
// inserts in place (what syslog receives).
struct SystemEvent {
    unsigned id = 0;
    EventLevel level = EventLevel::information;
    std::vector<std::string> inserts;
    std::string text;
};

// The system's log, open for one run.
class SystemLog {
  public:
    virtual ~SystemLog() = default;
    // Sends one event; false when the system did not take it. Never blocks
    // for long: a log that does not take an event within about a second has
    // failed it.
    virtual bool send(const SystemEvent& event) = 0;
};

// How far starting a program got: started (and waited for, if asked), not
// started, waiting failed, or its exit code could not be obtained.
enum class LaunchStage { started, notStarted, waitingFailed, exitCodeUnknown };

// What a message box shows: its buttons, its icon, and the button Enter
// chooses (0: the first). The values are those of the Windows box type,
// which flags() puts together for the system and the transcript.
struct BoxType {
    enum class Buttons : unsigned {
        ok,
        okCancel,
        abortRetryIgnore,
        yesNoCancel,
        yesNo,
        retryCancel
    };
    enum class Icon : unsigned {
        none = 0x00,
        error = 0x10,
        question = 0x20,
        warning = 0x30,
        information = 0x40
    };
    Buttons buttons = Buttons::ok;
    Icon icon = Icon::none;
    unsigned defaultButton = 0;
    constexpr unsigned flags() const {
        return static_cast<unsigned>(buttons) | static_cast<unsigned>(icon) | (defaultButton << 8);
    }
};

// The button that closed a message box (the Windows identifiers); none when
// no box could be shown.
enum class BoxButton {
    none = 0,
    ok = 1,
    cancel = 2,
    abort = 3,
    retry = 4,
    ignore = 5,
    yes = 6,
    no = 7
};

class Platform {
  public:
    virtual ~Platform() = default;

    // Shows a message box with the given text and caption (UTF-8); the
    // button pressed.
    virtual BoxButton messageBox(std::string_view text, std::string_view caption, BoxType type) = 0;

    // Starts `commandLine` (program name first, no path; the system's usual
    // search applies) with the given show-window value. Waits for it when
    // `wait` is set. CREATE_DEFAULT_ERROR_MODE on Windows.
    virtual LaunchStage startProcess(std::string_view commandLine, int showWindow, bool wait) = 0;

    // Upper-cases text in place: ASCII letters on POSIX, the system's rules
    // on Windows. Safe on any thread. Returns the upper-cased text (its byte length may differ
    // from the input's on Windows).
    virtual std::string upperCase(std::string_view text) = 0;

    // The working directory as a drive path without trailing backslash, for
    // example "C:\TOOLS" or "C:" for the root; false when it cannot be read.
    [[nodiscard]] virtual bool currentDirectory(std::string& path) = 0;
    // Changes the working directory; `path` may be quoted. "C:\" is the root.
    [[nodiscard]] virtual bool changeDirectory(std::string_view path) = 0;
    // Enters a directory of drive C: that a walk listed (`path` may be
    // quoted), never leaving the drive: only when every part of the path
    // below the drive's root is a directory itself, no symbolic link,
    // junction or directory link, at the moment it is entered (what was
    // swapped in since the listing is not entered). Where names differ in
    // case on disk, a part that is such a link under the spelling a lookup
    // finds is looked for under another spelling that is a directory. False
    // otherwise; the working directory is then unchanged. The default, for
    // platforms whose directories cannot be swapped, changes directory.
    [[nodiscard]] virtual bool enterDirectory(std::string_view path) {
        return changeDirectory(path);
    }

    virtual std::unique_ptr<DirectoryListing> newListing() = 0;

    // Reading ahead. A walk that enters directories in ascending key order
    // announces its start with its rules and its end, so that a platform can
    // list the directories it will enter and read the facts of their watched
    // files on other threads. A platform may ignore both: nothing it answers
    // depends on them.
    virtual void beginReadAhead(const WalkPlan& /*plan*/) {}
    virtual void endReadAhead() {}
    // Facts of the file at `path` (may be quoted). A symbolic link is
    // described by itself, never followed.
    virtual PlatformStatus fileInformation(std::string_view path, FileInformation& info) = 0;

    // The name, spelt as on disk, of the entry a lookup of `path` (may be
    // quoted) finds; false when it finds none. Where a directory holds several
    // entries that upper-case to the same name (a POSIX file system tells
    // case apart), the lookup finds the same one whatever the order of the
    // directory: the one spelt as asked, else the first in byte order. The
    // hints of the listing delivered last play no part.
    [[nodiscard]] virtual bool entryName(std::string_view path, std::string& name) = 0;

    virtual LocalDateTime localDateTime() = 0;

    // Removes the name `path`: a symbolic link is removed itself, never what
    // it leads to; a directory is refused.
    virtual PlatformStatus removeFile(std::string_view path) = 0;
    // Moves the closed file `from` onto the name `to`, which must not exist.
    virtual PlatformStatus renameFile(std::string_view from, std::string_view to) = 0;
    // Moves the closed regular file `from` onto the name `to` in one step,
    // replacing a file of that name: at every moment `to` names either the
    // old file or the new one. A link or anything but a regular file at
    // `from` is refused (accessDenied) and stays where it is.
    virtual PlatformStatus replaceFile(std::string_view from, std::string_view to) = 0;
    // Whether anything (a file, a directory, a link, even a dangling one)
    // has the name `path`.
    virtual bool fileExists(std::string_view path) = 0;

    virtual std::unique_ptr<File> openFile(std::string_view path, OpenMode mode,
                                           PlatformStatus& status) = 0;

    // Creates (or re-creates empty) and holds `path` so that other processes
    // see it as locked. `status` is ok or created on success. The hold lasts
    // whatever is done to the name: where a held file can be unlinked or
    // renamed (POSIX), the directory that holds it is held too, so that while
    // the hold lasts no other process can hold, and no probe finds free, any
    // name in that directory.
    virtual std::unique_ptr<ExclusiveHold> holdExclusive(std::string_view path,
                                                         PlatformStatus& status) = 0;
    // Tests a file for reading without keeping it: ok when it could be opened,
    // locked when another process holds it (or, see holdExclusive, its
    // directory) exclusively, notFound, or a failure.
    virtual PlatformStatus probe(std::string_view path) = 0;

    // The argument text: the program's arguments (without the program name)
    // joined by single blanks. argc/argv are main()'s; Windows reads the wide
    // command line instead so that no argument loses characters.
    virtual std::string argumentText(int argc, char** argv) = 0;

    // The system's log under the program's name: the Application event log,
    // source "VELUMTAR", on Windows; syslog, identity "velumtar", facility
    // LOG_AUTH, on POSIX. Opening never fails: a log that cannot be reached
    // fails each send.
    virtual std::unique_ptr<SystemLog> openSystemLog() = 0;

    // An environment variable (UTF-8), or nothing when it is not set.
    virtual std::optional<std::string> environment(std::string_view name) = 0;

    // Ends the process with `code`. Never returns.
    [[noreturn]] virtual void exitProcess(int code) = 0;

  protected:
    // main()'s arguments after the program name, joined by single blanks.
    static std::string joinArguments(int argc, char** argv) {
        std::string text;
        for (int i = 1; i < argc; ++i) {
            if (i > 1) {
                text += ' ';
            }
            text += argv[i];
        }
        return text;
    }
};

// The real system's implementation (Win32 or POSIX, chosen by the build),
// without wrappers: main() composes the stack.
Platform& systemPlatform();

}  // namespace velumtar
