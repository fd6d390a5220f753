// DirectoryWalk: visits every directory of drive C: that it can enter,
// starting at the root, and records in the comparison work file one
// directory entry for every sub-directory it will visit and one file entry,
// with the file's facts, for every file that qualifies. The work file is also
// the walk's list of directories still to visit: there is no recursion and no
// list in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/worker_runner.h"
#include "scan/extension_list.h"

namespace velumtar {

// The walk's rules for the entries of a directory: how a listed name is
// kept, which sub-directories are entered and under which key, which files'
// facts are read. The walk follows them, and hands them to a platform that
// reads its directories ahead.
class WalkRules final : public WalkPlan {
  public:
    WalkRules(Platform& platform, WatchedNames watched)
        : platform_(platform), watched_(std::move(watched)) {}

    // A listed name as the walk keeps it: upper case, cut to the name field
    // at a whole character and blank-padded.
    static std::string keptName(Platform& platform, std::string_view listed);
    // The same into `out`, whose room is used again.
    static void keptName(Platform& platform, std::string_view listed, std::string& out);
    // Whether a sub-directory of this (kept) name is neither recorded nor
    // entered.
    static bool excludedDirectory(std::string_view name);
    // The full path field of the entry `name` (kept) of the directory
    // `pattern`: the pattern with the name written over its asterisk, 300
    // characters. Returns the length of its content.
    static std::size_t fullPath(std::string_view pattern, std::string_view name, std::string& out);

    std::unique_ptr<WalkPlan> clone() const override { return std::make_unique<WalkRules>(*this); }
    std::string keyOf(std::string_view path) const override;
    bool childKey(std::string_view parentKey, std::string_view name,
                  std::string& key) const override;
    bool wantsFacts(std::string_view name) const override;

  private:
    Platform& platform_;
    WatchedNames watched_;
};

class BasicDatabase;
class ContentsPool;
class ContentsReader;
struct ContentsJob;
class ExtensionList;
class MessageService;
class WorkFile;
struct FindingCounters;

class DirectoryWalk {
  public:
    // Whether every reachable directory was listed, or the walk stopped early.
    enum class Result { completed, stopped };

    // `watched`, when given and open, is the database the walk's results
    // will be compared with: of a directory's spellings the walk keeps the
    // one that holds its files.
    DirectoryWalk(Platform& platform, MessageService& messages, WorkFile& workFile,
                  ExtensionList& extensions, FindingCounters& counters,
                  BasicDatabase* watched = nullptr);
    ~DirectoryWalk();

    // Reads the contents of every file it records and keeps their
    // fingerprint in its facts. A file whose contents cannot be read is
    // counted (unreadableContents) and keeps a blank fingerprint. The files
    // are read on the workers of `runner` while the walk goes on, or on the
    // walk's thread without one (or when it can make no worker); the work
    // file ends the same either way.
    void readContents(std::unique_ptr<WorkerRunner> runner = nullptr);

    // REQUIRES: the work file is open for update and empty. The working
    // directory is back at `startDirectory` (searchPattern form) on return.
    [[nodiscard]] Result walk(const std::string& startDirectory);

  private:
    enum class EntryType { root, directory, file };
    // How a step ends: the walk goes on, or it stops without completing.
    enum class Next { goOn, stop };
    enum class Found { directory, none, readFailure };

    // Enters the directory of each directory entry in key order, from the
    // root.
    Result visitDirectories();
    // Changes into the current directory and records its entries. A
    // directory that cannot be entered, or refuses its listing, is locked.
    Next enterAndList();
    Next examine(const ListingEntry& entry);
    // Keeps a listed name upper case, cut to 255 bytes at a whole character
    // and blank-padded. Control characters (possible on POSIX) would break
    // the lines of the report and the boxes: once the name has qualified,
    // they are shown as '?' (showControls), and the platform finds the entry
    // under that name.
    void keepName(std::string_view listed);
    // Counts the directory as locked and shows the error box; below the root
    // the user may choose to go on without it, which marks its entry 'G'.
    Next lockedDirectory(std::string_view quotedPath);
    bool markCurrentSkipped();
    // Moves the current pattern to the next directory entry after it in key
    // order, passing over entries marked 'G'.
    Found nextDirectory();
    // Records the root, a directory or a file (name_) of the current
    // directory. False when the walk must stop; the failure was shown.
    bool recordEntry(EntryType type, std::string_view userExtension);
    // The facts of the file just listed, into the record area: those its
    // path reaches, else those the listing reported. False when the walk
    // must stop; `gone` is set instead when the file has vanished since it
    // was listed.
    bool readFacts(std::string_view userExtension, bool& gone);
    // True when the entry just listed is the spelling of its name that is
    // watched: for a file the one a lookup of the name finds, for a
    // directory the one chooseSpelling chooses.
    bool isChosenSpelling(EntryType type);
    // Of the sub-directories of the directory `base` ("" for the working
    // directory, else a path ending in a backslash) whose names are spellings
    // of the last name of `keyPath`, the one the database already watches: it
    // holds the most of the first files recorded below `keyPath`; on a tie
    // the spelling of the key, else the first in byte order. Empty when none
    // is listed.
    std::string chooseSpelling(std::string_view base, std::string_view keyPath);
    // The first few spellings in byte order after `after` ("" for the
    // first) of the sub-directory name `key` in the directory `base` (as for
    // chooseSpelling), in `spellings`, sorted; false when there are none.
    bool spellingsOf(std::string_view base, std::string_view key, const std::string& after,
                     std::vector<std::string>& spellings);
    // Whether the file `path` (a key path relative to `base`, which is ""
    // or ends in a backslash) is there, through any spelling of the
    // directories on its way.
    bool holdsFile(const std::string& base, std::string_view path);
    // The paths, relative to `keyPath`, of the first few files the database
    // holds below it.
    std::vector<std::string> watchedBelow(std::string_view keyPath);
    // Before a directory is entered: forgets the spellings of directories
    // the walk has left, and chooses the current one's when its name has
    // several.
    void chooseEnteredSpelling();
    // `keyPath` spelt as on disk where it runs through a directory whose
    // name has several spellings.
    std::string spelt(std::string_view keyPath) const;
    // After the chosen spelling of a name was recorded: records every other
    // spelling of that name the directory holds as a twin.
    bool recordOtherSpellings(EntryType type);
    // Records a listed entry that is not watched because another spelling of
    // its name is: counted as locked and listed with the locked directories.
    bool recordTwin(EntryType type, std::string_view spelling);
    // Lists the directory of `pattern` ("*.*" for the working directory) and
    // calls `each` with every file and directory entry. False when that
    // listing fails.
    template <typename Each>
    bool relist(std::string_view pattern, Each each);
    // Adds the fingerprint of the file entry just stored (still in the record
    // area), at once or, when the pool reads it, once it has been read. A
    // file of several names is read through the first of them only. False
    // when the work file failed (reported).
    bool recordFingerprint();
    // Adds the fingerprints of the `count` oldest files the pool holds (0:
    // all of them) to their entries, in the order they were queued.
    bool applyContents(std::size_t count);
    bool applyContents(const ContentsJob& job);
    // Gives the file entry `key` the facts `fields`.
    bool amendEntry(std::string_view key, std::string_view fields);
    // The facts of the link entry of `identity`, with their fingerprint, when
    // they have the date, time and size of `entryFacts`; false, with the read
    // failure to be told by the caller, otherwise. The store keeps `fields`
    // as that entry's facts.
    bool knownFingerprint(const FileIdentity& identity, std::string_view entryFacts,
                          std::string& fields);
    bool storeKnownFingerprint(const FileIdentity& identity, std::string_view fields);
    // Fresh record with the type and key of the entry in fullPath_, whose
    // content is `length` characters long.
    void buildRecord(EntryType type, std::size_t length, bool unreachable);
    // Rewrites a record the last read found, else writes it; a failure is
    // reported as a file error of the work file.
    bool storeRecord();
    // Ends the listing, closes the extension database and returns to the
    // start directory.
    void finish(const std::string& startDirectory);

    Platform& platform_;
    MessageService& messages_;
    WorkFile& workFile_;
    ExtensionList& extensions_;
    FindingCounters& counters_;
    BasicDatabase* watched_;

    // The directory being listed, in searchPattern form (255 characters).
    std::string pattern_;
    // The listed entry's name, upper case, 255 characters.
    std::string name_;
    // The same name as the listing delivered it.
    std::string listedName_;
    // The file's facts as the listing reported them, where it carries them,
    // and whether they are those of its path (read ahead).
    std::optional<FileInformation> listedFacts_;
    bool listedFactsFromPath_ = false;
    // The listed entry's full path: the pattern with the name written over
    // its asterisk (300 characters).
    std::string fullPath_;
    // The one listing of the walk, restarted for every directory.
    std::unique_ptr<DirectoryListing> listing_;
    // Present when the walk reads the contents of the files it records.
    std::unique_ptr<ContentsReader> contents_;
    // Present when they are read on workers.
    std::unique_ptr<ContentsPool> pool_;
    // The current directory's name has other spellings.
    bool otherSpellings_ = false;
    // The directories around the current one (itself included) whose names
    // have several spellings, outermost first: the key path and the path
    // spelt as on disk. At most one per level of the path.
    struct Spelling {
        std::string key;
        std::string spelt;
    };
    std::vector<Spelling> spellings_;
    // The choice chooseSpelling made last, asked again for each further
    // spelling of the name the listing delivers.
    struct Choice {
        std::string base, key, chosen;
    };
    Choice choice_;
};

}  // namespace velumtar
