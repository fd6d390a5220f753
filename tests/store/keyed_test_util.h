// Helpers shared by the keyed-store tests: records, reading a whole store
// into a map, and opening with an in-memory platform.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "store/keyed_store_engine.h"

namespace velumtar::test {

using Content = std::map<std::string, std::string>;

// A record of `recordLength` bytes: `key` and `data`, each blank-padded.
inline std::string makeRecord(const std::string& key, const std::string& data,
                              std::size_t recordLength = 378, std::size_t keyLength = 254) {
    std::string k = key, d = data;
    k.resize(keyLength, ' ');
    d.resize(recordLength - keyLength, ' ');
    return k + d;
}

inline std::string pathKey(int n) {
    std::string key = "FC:\\PROGRAM FILES\\SUITE\\DIR";
    key += std::to_string(n / 50);
    key += "\\FILE";
    key += std::to_string(n);
    key += ".EXE";
    return key;
}

// Reads every record in key order into `out`. Returns the status that ended
// the pass: "10" when the whole file was read.
inline FileStatus readAll(KeyedStore& store, Content& out) {
    out.clear();
    std::string record(store.recordLength(), ' ');
    std::string low(store.keyLength(), '\0');
    FileStatus st = store.startAt(low.data(), record.data());
    if (st == status::keyNotFound) {
        return status::endOfFile;
    }
    while (st.isSuccess()) {
        out[record.substr(0, store.keyLength())] = record.substr(store.keyLength());
        st = store.readNext(record.data());
    }
    return st;
}

// Opens `path` for input, verifies it and reads it whole. False (with a test
// failure) when it does not open or verify.
inline bool loadVerified(Platform& platform, const std::string& path, Content& out,
                         std::size_t recordLength = 378, std::size_t keyLength = 254) {
    FileStatus st;
    auto store = openKeyedStore(platform, path, recordLength, keyLength, KeyedOpenMode::input, st);
    if (!store) {
        ADD_FAILURE() << "open for input answered " << st.text();
        return false;
    }
    std::string problem;
    FileStatus v = store->verify(problem);
    if (!v.isSuccess()) {
        ADD_FAILURE() << "verify: " << problem;
        return false;
    }
    FileStatus end = readAll(*store, out);
    if (!(end == status::endOfFile)) {
        ADD_FAILURE() << "reading ended with " << end.text();
        return false;
    }
    return true;
}

}  // namespace velumtar::test
