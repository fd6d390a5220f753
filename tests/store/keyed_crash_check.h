// The checking side of the keyed-file crash test, shared by the POSIX and
// Win32 versions, which differ only in how they start and kill the child.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "helpers/keyed_crash_batches.h"
#include "platform/platform.h"
#include "store/keyed_store_engine.h"

namespace velumtar::test {

using CrashModel = std::map<std::string, std::string>;

// Runs the child `keyed_crash_child <file> <seed> <note>` and kills it after
// `microseconds`. Returns true when it was killed while still working, false
// when it had already ended by itself; fails the test when it could not run.
using RunAndKill =
    std::function<bool(const std::vector<std::string>& arguments, unsigned microseconds)>;

// Whether the file at `path` exists and holds no byte.
inline bool emptyFile(const std::string& path) {
    PlatformStatus ps = PlatformStatus::ok;
    auto file = systemPlatform().openFile(path, OpenMode::read, ps);
    std::uint64_t size = 1;
    return file && file->size(size) == PlatformStatus::ok && size == 0;
}

// When `mayBeMissing`, a child may have been killed before it committed
// anything: before it created the file, before its first commit (both read
// as missing), or between creating the file and writing its first bytes (an
// empty file, which an input open refuses and an update open formats anew).
// Such a file counts as empty.
inline CrashModel readCrashFile(const std::string& path, bool mayBeMissing, bool& ok) {
    CrashModel model;
    FileStatus st;
    auto store = openKeyedStore(systemPlatform(), path, crash::recordLength, crash::keyLength,
                                KeyedOpenMode::input, st);
    ok = false;
    if (!store && mayBeMissing &&
        (st == status::fileNotFound || (st == status::damaged && emptyFile(path)))) {
        ok = true;
        return model;
    }
    if (!store) {
        ADD_FAILURE() << "open answered " << st.text();
        return model;
    }
    std::string problem;
    if (!store->verify(problem).isSuccess()) {
        ADD_FAILURE() << "verify: " << problem;
        return model;
    }
    std::string record(crash::recordLength, ' ');
    std::string low(crash::keyLength, '\0');
    for (st = store->startAt(low.data(), record.data()); st.isSuccess();
         st = store->readNext(record.data())) {
        model[record.substr(0, crash::keyLength)] = record;
    }
    ok = st == status::endOfFile || (st == status::keyNotFound && model.empty());
    if (!ok) {
        ADD_FAILURE() << "reading ended with " << st.text();
    }
    return model;
}

// `rounds` times: start a child on the file, kill it after a random delay
// below `maxDelayMicroseconds`, then check that the file opens, verifies and
// holds the state of the last batch whose commit returned or of the next.
// `file` is a drive path; `note` a path the standard library can open.
inline void runCrashRounds(const RunAndKill& runAndKill, const std::string& file,
                           const std::string& note, int rounds, unsigned maxDelayMicroseconds) {
    std::mt19937 random(4711);
    CrashModel current;
    int killedMidway = 0;
    for (int round = 0; round < rounds; ++round) {
        std::error_code ignored;
        std::filesystem::remove(note, ignored);
        std::uint32_t seed = random();
        unsigned delay = 2000 + random() % maxDelayMicroseconds;
        killedMidway += runAndKill({file, std::to_string(seed), note}, delay);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
        std::ifstream in(note);
        std::string noted((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int acknowledged = noted.empty() ? 0 : std::atoi(noted.c_str());
        CrashModel last = current;
        for (int batch = 1; batch <= acknowledged; ++batch) {
            crash::applyToModel(crash::batchChanges(seed, batch), last);
        }
        CrashModel inFlight = last;
        crash::applyToModel(crash::batchChanges(seed, acknowledged + 1), inFlight);

        bool ok = false;
        // Under load a child may be killed before it has even created the
        // file or written to it, which can only be while nothing was ever
        // committed.
        CrashModel now = readCrashFile(file, last.empty(), ok);
        ASSERT_TRUE(ok) << "round " << round;
        ASSERT_TRUE(now == last || now == inFlight)
            << "round " << round << ": not the state of batch " << acknowledged << " or the next";
        current = now;
    }
    EXPECT_GT(killedMidway, rounds / 2) << "most children must die while working";
}

inline int crashRounds(int fallback) {
    const char* text = std::getenv("VELUMTAR_CRASH_ROUNDS");
    return text ? std::atoi(text) : fallback;
}

}  // namespace velumtar::test
