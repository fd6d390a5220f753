// BasicDatabase: the keyed file C:\VELUMTAR.DBI of file facts kept between
// runs, with its date stamps, its run-state record, the purge of entries
// whose extension is no longer watched, and its compaction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/keyed_file.h"
#include "files/record_view.h"

namespace velumtar {

class ExtensionDatabase;
class MessageService;
class RunStamp;

// The run that was under way when the database was last left, as its
// run-state record tells.
enum class RunState { none, buildingAnew, comparing };

class BasicDatabase : public KeyedFile {
  public:
    BasicDatabase(Platform& platform, MessageService& messages, RunStamp& stamp);

    RecordView view() { return RecordView(record()); }

    // The run state: none when the record is absent or holds another
    // character than '1' or '2'. REQUIRES: open. A failed read answers none
    // and leaves readFailed() set for the caller.
    [[nodiscard]] RunState readRunState();
    // Stores the run-state record with `state` and makes it durable. A
    // failure is reported (READ, WRITE or REWRITE) and answers false.
    [[nodiscard]] bool storeRunState(RunState state);
    // Removes the run-state record and makes that durable. A failure is
    // reported (READ or DELETE) and answers false.
    [[nodiscard]] bool clearRunState();

    // The fingerprints of file contents the database keeps: `kFingerprintKind`
    // in its fingerprint record, stored by the first run that reads contents.
    // Every later compare reads them too; only a new build without them
    // leaves them off. keepsFingerprints: false also after a failed read
    // (readFailed() tells). storeFingerprintRecord: REQUIRES the record is
    // absent; a failure is reported (WRITE) and answers false.
    static constexpr std::string_view kFingerprintKind = "SHA256";
    [[nodiscard]] bool keepsFingerprints();
    [[nodiscard]] bool storeFingerprintRecord();

    // Deletes the entries of files watched through a user extension that is
    // no longer listed. With `extensions` (the extension database is
    // available): the entries of every extension marked removed, then that
    // extension's entry. Without: every entry with an extension mark, and a
    // compaction follows when one was deleted.
    void purgeExtensions(ExtensionDatabase* extensions);

    // Rebuilds the file through the copy work file C:\VELUTMPA.TMP so that
    // deleted entries leave no space. Silent, but for a failed read of the
    // database (reported READ): the database is then left as it was. When
    // the rebuild stops after the database was emptied, the entries are
    // restored from the copy; if even that fails the copy is kept for
    // recoverCompaction().
    void compact();
    // Replaces a damaged database by every record that can still be read
    // from it, through the copy work file as a compaction does. Closes the
    // database. False when the copy or the rebuild failed: the database is
    // then as it was, or its complete copy is kept for recoverCompaction().
    // `fileEntries`: the file entries recovered.
    [[nodiscard]] bool salvage(std::uint64_t& fileEntries);
    // At the start of a run, when a copy work file is there: only a database
    // that a compaction emptied (it holds the compaction record) is rebuilt
    // from a complete copy. Any other copy is removed unused.
    void recoverCompaction();

    // A purge or compaction met a page it could not read and reported it
    // (READ); the run repairs the database before it compares.
    bool damageMet = false;

    // Sets the key to the run-state record's / the first file entry's.
    void setRunStateKey();
    void setFirstFileKey();

  protected:
    void prepareStore() override;

    // The key of the compaction record, which sorts before every file entry.
    static constexpr char kCompactionRecord = '1';

  private:
    class DeletionReport;
    // The steps of purgeExtensions. Without the extension database: deletes
    // every entry with an extension mark; whether any was deleted and no
    // failure met. With it: the entries of each extension marked removed,
    // then its entry; then of one extension's entries (false after a
    // reported failure). closePurge makes the deletions durable; false when
    // that failed.
    bool purgeMarkedEntries(DeletionReport& report);
    void purgeRemovedExtensions(ExtensionDatabase& extensions, DeletionReport& report);
    bool purgeEntriesOf(const std::string& key, DeletionReport& report);
    bool closePurge(ExtensionDatabase* extensions, DeletionReport& report);

    bool restoreFromCopy();
    // Whether the database holds the compaction record.
    bool emptiedByCompaction();
    void setCompactionKey();

    MessageService& messages_;
    RunStamp& stamp_;
};

}  // namespace velumtar
