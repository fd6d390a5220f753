// Engine-specific entry points of the keyed-file store: the cache size and
// the integrity check used by tests and diagnostics.
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
