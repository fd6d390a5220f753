// Engine-specific entry points of the keyed-file store: the cache size and
// the integrity check used by tests and diagnostics.
//
// A store destroyed without close() keeps the file at its last commit point,
// as if the process had died there: only close() and commit() make changes
// durable. After any failure other than a key outcome ("22", "23", "10") a
// store refuses further work with that status and never commits again.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "files/keyed_store.h"

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

// Checks every page of the store's current tree (checksums, layout, key
// order, depth, record count). "00" when sound; otherwise `problem` says what
// is wrong. `store` must come from openKeyedStore.
FileStatus verifyKeyedStore(KeyedStore& store, std::string& problem);

}  // namespace velumtar
