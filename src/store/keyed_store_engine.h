// Engine-specific entry points of the keyed-file store: the cache size and
// the salvage of a damaged file.
//
// A store destroyed without close() keeps the file at its last commit point,
// as if the process had died there: only close() and commit() make changes
// durable. After any failure other than a key outcome ("22", "23", "10") a
// store refuses further work with that status and never commits again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "store/keyed_store.h"

namespace velumtar {

struct KeyedStoreOptions {
    // Pages of 4 KiB kept in memory; memory use does not grow beyond it
    // with the number of records.
    std::size_t cachePages = 1024;
};

// openKeyedStore with explicit options.
std::unique_ptr<KeyedStore> openKeyedStore(Platform& platform, std::string_view path,
                                           std::size_t recordLength, std::size_t keyLength,
                                           KeyedOpenMode mode, FileStatus& status,
                                           const KeyedStoreOptions& options);

// What salvageKeyedStore found: pages that could not be read (meta pages,
// pages of the tree, and others met while looking for lost records), the
// records recovered, and the record count the newest intact meta page names
// (0 when none is intact).
struct SalvageReport {
    std::uint64_t pagesDamaged = 0;
    std::uint64_t recordsRecovered = 0;
    std::uint64_t recordsNamed = 0;
};

// Receives the records a salvage recovers.
class SalvageSink {
  public:
    virtual ~SalvageSink() = default;
    // `record` is recordLength bytes. False stops the salvage.
    virtual bool take(const char* record) = 0;
};

// Reads every record that can still be read from the keyed file at `path`,
// damaged or not, without changing it, and hands each key once to `sink`:
// the records of the intact pages of the newest commit first, in key order,
// then those recovered for the keys of lost pages from older versions of
// those pages, in no particular order. "00" when the file could be read
// (whatever was lost); "35" missing; "30" it cannot be read at all or the
// sink stopped.
FileStatus salvageKeyedStore(Platform& platform, std::string_view path, std::size_t recordLength,
                             std::size_t keyLength, SalvageSink& sink, SalvageReport& report);

}  // namespace velumtar
