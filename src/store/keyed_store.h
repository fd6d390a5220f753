// The keyed organisation of record files: fixed-length records with one unique
// key made of the record's leading bytes, kept in ascending byte order of the
// key. `KeyedStore` is one open keyed file; the engine behind
// `openKeyedStore` keeps it on disk.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "store/file_status.h"

namespace velumtar {

class Platform;

enum class KeyedOpenMode {
    input,   // read only; a missing file fails with "35"
    output,  // an existing file is replaced by an empty one; a missing one is created ("05")
    update,  // read, write, rewrite, delete; a missing file is created empty ("05")
};

// One open keyed file. All record buffers are `recordLength()` bytes; keys are
// the first `keyLength()` bytes of a record.
//
// Position: the file keeps the key of the last record delivered by a read.
// readNext() delivers the first record whose key is greater than that key, as
// the file is at the moment of the call: a record written ahead of the
// position is delivered, one deleted ahead is not, and a write, rewrite or
// delete never moves the position. Right after open the position is before
// the first record. A readByKey that finds nothing positions at the key it
// sought; a startAt that finds nothing positions past the last record.
//
// Durability: changes become durable at commit points, commit() and close().
// A process that dies between two commit points leaves the file as it was at
// the last one.
class KeyedStore {
  public:
    virtual ~KeyedStore() = default;

    virtual std::size_t recordLength() const = 0;
    virtual std::size_t keyLength() const = 0;

    // Reads the record whose key equals the first keyLength() bytes of `key`.
    // "00" found, "23" not found.
    virtual FileStatus readByKey(const char* key, char* record) = 0;
    // Reads the first record whose key is not less than `key`. "00", or "23"
    // when there is none.
    virtual FileStatus startAt(const char* key, char* record) = 0;
    // Reads the next record in key order. "00", or "10" at the end.
    virtual FileStatus readNext(char* record) = 0;
    // Adds a new record. "00", or "22" when its key is already present.
    virtual FileStatus write(const char* record) = 0;
    // Replaces the record with the same key. "00", or "23" when it is absent.
    virtual FileStatus rewrite(const char* record) = 0;
    // Removes the record with the key. "00", or "23" when it is absent.
    virtual FileStatus deleteRecord(const char* key) = 0;
    // Makes every change so far durable.
    virtual FileStatus commit() = 0;
    // Commits and closes. Further calls answer "42".
    virtual FileStatus close() = 0;
    // A hint that every record is about to be read: the pages, read in the
    // tree's order rather than the file's, may be fetched ahead as a whole,
    // one long read instead of one wait per page. Never fails.
    virtual void willReadAll() {}
    // Checks every page of the current tree (checksums, layout, key order,
    // depth, record count). "00" when sound; otherwise `problem` says what
    // is wrong.
    virtual FileStatus verify(std::string& problem) = 0;
    // True when one of the two meta pages failed its check at open, so that
    // the store opened the older commit: a torn meta write, or damage. Sound
    // stores and files created and not yet committed have both intact.
    virtual bool lostMetaPage() const = 0;
};

// Opens the keyed file at `path` (a drive path as the platform takes it).
// Statuses: "00" opened; "05" a missing file was created empty (output,
// update); "35" a missing file opened for input; "39" the file is damaged or
// is not a keyed file of this record and key length; "37" permission refused;
// "30" any other failure. On failure the result is null.
std::unique_ptr<KeyedStore> openKeyedStore(Platform& platform, std::string_view path,
                                           std::size_t recordLength, std::size_t keyLength,
                                           KeyedOpenMode mode, FileStatus& status);

}  // namespace velumtar
