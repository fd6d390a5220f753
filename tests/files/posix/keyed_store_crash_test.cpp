// Real crashes: a child process applies committed batches to a keyed file on
// disk and is killed with SIGKILL at a random moment, hundreds of times. After
// each kill the file must open, verify, and equal the state of the last batch
// whose commit returned or of the batch in flight.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "files/keyed_store_engine.h"
#include "helpers/keyed_crash_batches.h"
#include "platform/platform.h"
#include "platform/posix/posix_test_util.h"
#include "platform/scratch.h"

namespace velumtar {
namespace {

using Model = std::map<std::string, std::string>;

Model readFile(const std::string& path, bool& ok) {
    Model model;
    FileStatus st;
    auto store = openKeyedStore(systemPlatform(), path, crash::recordLength, crash::keyLength,
                                KeyedOpenMode::input, st);
    ok = false;
    if (!store) {
        ADD_FAILURE() << "open answered " << st.text();
        return model;
    }
    std::string problem;
    if (!verifyKeyedStore(*store, problem).isSuccess()) {
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

TEST(KeyedStoreCrash, KilledWritersLeaveACommittedState) {
    const char* roundsText = std::getenv("VELUMTAR_CRASH_ROUNDS");
    const int rounds = roundsText ? std::atoi(roundsText) : 300;
    const std::string dir = test::scratchDirectory();
    const std::string file = dir + "\\CRASH.DBI";
    const std::string note = test::hostPath(dir) + "/note";
    std::mt19937 random(4711);
    Model current;
    int killedMidway = 0;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(note);
        std::uint32_t seed = random();
        pid_t child = test::spawnProcess(
            {test::helperProgram("keyed_crash_child"), file, std::to_string(seed), note});
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 40000));
        ::kill(child, SIGKILL);
        int exitCode = test::waitForExit(child);
        ASSERT_TRUE(exitCode == -1 || exitCode == 0) << "child failed with " << exitCode;
        killedMidway += exitCode == -1;

        std::string noted = test::readHostFile(note);
        int acknowledged = noted.empty() ? 0 : std::atoi(noted.c_str());
        Model last = current;
        for (int batch = 1; batch <= acknowledged; ++batch) {
            crash::applyToModel(crash::batchChanges(seed, batch), last);
        }
        Model inFlight = last;
        crash::applyToModel(crash::batchChanges(seed, acknowledged + 1), inFlight);

        bool ok = false;
        Model now = readFile(file, ok);
        ASSERT_TRUE(ok) << "round " << round;
        ASSERT_TRUE(now == last || now == inFlight)
            << "round " << round << ": not the state of batch " << acknowledged << " or the next";
        current = now;
    }
    EXPECT_GT(killedMidway, rounds / 2) << "most children must die while working";
}

}  // namespace
}  // namespace velumtar
