// ExtensionList: which files on drive C: are watched. A file is watched when
// its name carries one of twelve built-in extensions or one the user lists in
// VELULIST.EXT, mirrored between runs in the extension database.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace velumtar {

class BasicDatabase;
class ExtensionDatabase;
class LineFile;
class MessageService;

inline constexpr std::array<std::string_view, 12> DefaultExtensions = {
    "DLL", "EXE", "MSI", "COM", "OCX", "JAR", "BIN", "SCR", "SYS", "VB ", "BAT", "CMD"};

inline constexpr std::array<std::string_view, 4> ExcludedFileNames = {
    "PAGEFILE.SYS   ", ".MANIFEST      ", ".MUI           ", "NTLDR          "};

// The width of a listed entry name.
inline constexpr std::size_t kNameWidth = 255;

// The files whose facts a walk will ask for, as far as can be told without
// the extension database: names whose upper-case form has a full stop
// followed by one of `extensions` (three characters each, blank padded) and
// then a blank or the end of the name; every file when `everyFile` is set.
// Safe to ask on any thread; a wrong guess costs time, never a result.
struct WatchedNames {
    std::vector<std::string> extensions;
    bool everyFile = false;
    bool covers(std::string_view upperName) const;
};

class ExtensionList {
  public:
    ExtensionList(Platform& platform, MessageService& messages, ExtensionDatabase& extensions,
                  BasicDatabase& database);

    // At the start of every compare and build run, with the working directory
    // at the start directory: validates VELULIST.EXT, brings the extension
    // database in line with it, and has the basic database purged of entries
    // whose extension is no longer watched. Never stops the run.
    void prepareExtensions(const std::string& startDirectory);

    // Around the directory walk.
    void openForWalk();
    void closeAfterWalk();
    // Whether the user's list is valid but its extension database was not in
    // use for the walk (it failed): files watched only through the list were
    // then not looked at.
    bool userListMissed() const;

    // The extensions that can make a file qualify during the walk, for the
    // platform to read ahead: the built-in ones and the user's entries.
    WatchedNames watchedNames();

    // Whether a listed file is watched. `name` is the upper-case entry name;
    // `userExtension` receives the list entry it qualified through, ".*.*"
    // for the wildcard, or four blanks for a built-in extension.
    bool qualifies(std::string_view name, std::string& userExtension);

    // Whether VELULIST.EXT was found valid by the last preparation.
    bool listValid() const { return listValid_; }
    // Whether the last synchronisation deleted entries of the extension
    // database (a compaction followed).
    bool entriesDeleted() const { return entriesDeleted_; }
    // The three validation counters: non-blank lines, lines beginning with a
    // full stop, lines with something after it.
    const std::array<std::uint64_t, 3>& validationCounters() const { return counters_; }

  private:
    void validate();
    // Brings the extension database in line with the valid list: marks each
    // listed entry as added or seen, then settles every entry, then makes
    // the changes durable (compacting after deletions). A failure is
    // reported and gives the database up.
    void synchroniseExtensions();
    // False after a reported failure.
    bool markListedEntries(LineFile& file);
    // Entries added or seen lose their marks; an unlisted entry is marked
    // removed while the basic database may hold its files, else deleted.
    void settleEntries();
    bool settleEntry();
    void finishSynchronisation();

    // Whether the padded name `text` (the name's `length` characters, then
    // blanks) qualifies through an entry of the user's list; sets
    // `userExtension` to it. A failed read is reported and the extension
    // database is given up for the rest of the walk.
    bool matchUserEntry(std::string_view text, std::size_t length, std::string& userExtension);
    // The smallest listed key among the name's candidate extensions; empty
    // when none is listed or a read failed.
    std::string smallestListedCandidate(std::string_view text, std::size_t length);
    // Reads the extension database's entry for `key`; whether it is there.
    bool readExtensionEntry(std::string_view key);
    void stopUsingExtensionDatabase();

    Platform& platform_;
    MessageService& messages_;
    ExtensionDatabase& extensions_;
    BasicDatabase& database_;
    bool listValid_ = false;
    bool databaseExists_ = false;
    bool entriesDeleted_ = false;
    std::array<std::uint64_t, 3> counters_{};
};

// Whether `testValue` occurs in the blank-padded 255-character name.
bool occursInName(std::string_view name, std::string_view testValue);

}  // namespace velumtar
