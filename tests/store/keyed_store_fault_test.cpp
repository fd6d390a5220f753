// Faults under the keyed store: every write and every sync failing in turn,
// and crashes that lose unsynced writes sector by sector. After each, the
// file must open, verify, and hold exactly a committed state.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "keyed_test_util.h"
#include "support/fake_platform.h"
#include "support/fault_platform.h"

namespace velumtar {
namespace {

using test::Content;
using test::makeRecord;

const char* const path = "C:\\FAULT.DBI";

// A deterministic workload of batches separated by commits, applied to the
// store and to a model. Returns the first status that is not an expected
// outcome ("00" when it ran through); `committed` gets every state
// acknowledged by a commit, `inFlight` the state of a commit that failed.
struct Workload {
    std::uint32_t seed;
    int batches;
    int batchSize;

    FileStatus run(KeyedStore& store, Content model, std::vector<Content>& committed,
                   Content& inFlight) const {
        std::mt19937 random(seed);
        for (int b = 0; b < batches; ++b) {
            for (int i = 0; i < batchSize; ++i) {
                std::string key = makeRecord(test::pathKey(random() % 4000), "").substr(0, 254);
                std::string data = "V";
                data += std::to_string(random());
                std::string record = makeRecord(key, data);
                FileStatus st;
                switch (random() % 3) {
                    case 0:
                        st = store.write(record.data());
                        if (st.isSuccess()) {
                            model[key] = makeRecord("", data).substr(254);
                        }
                        break;
                    case 1:
                        st = store.rewrite(record.data());
                        if (st.isSuccess()) {
                            model[key] = makeRecord("", data).substr(254);
                        }
                        break;
                    default:
                        st = store.deleteRecord(key.data());
                        if (st.isSuccess()) {
                            model.erase(key);
                        }
                }
                if (!st.isSuccess() && !st.isInvalidKey()) {
                    return st;
                }
            }
            inFlight = model;
            FileStatus st = b + 1 == batches ? store.close() : store.commit();
            if (!st.isSuccess()) {
                return st;
            }
            committed.push_back(model);
        }
        return status::success;
    }
};

class KeyedStoreFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FileStatus st;
        auto store = openKeyedStore(platform, path, 378, 254, KeyedOpenMode::output, st);
        ASSERT_TRUE(store);
        for (int i = 0; i < 4000; i += 2) {
            ASSERT_TRUE(store->write(makeRecord(test::pathKey(i), "BASE").data()).isSuccess());
        }
        ASSERT_TRUE(store->close().isSuccess());
        ASSERT_TRUE(test::loadVerified(platform, path, base));
        pristine = memory.contentOf(path);
    }

    std::unique_ptr<KeyedStore> openSmallCache() {
        FileStatus st;
        auto store = openKeyedStore(platform, path, 378, 254, KeyedOpenMode::update, st,
                                    KeyedStoreOptions{64});
        EXPECT_TRUE(store) << st.text();
        return store;
    }

    // Fails the Nth write (or sync) and every later one, for N = 1, 2, ... until
    // the workload runs through.
    void failEachInTurn(bool syncs) {
        const Workload workload{99, 4, 300};
        for (long n = 1;; ++n) {
            memory.putFile(path, pristine);
            platform.forgetUnsynced();
            platform.resetFaults();
            auto store = openSmallCache();
            ASSERT_TRUE(store);
            (syncs ? platform.failSyncAt : platform.failWriteAt) = n;
            std::vector<Content> committed{base};
            Content inFlight;
            FileStatus st = workload.run(*store, base, committed, inFlight);
            store.reset();
            platform.resetFaults();
            Content now;
            ASSERT_TRUE(test::loadVerified(platform, path, now)) << "fault at " << n;
            if (st.isSuccess()) {
                EXPECT_EQ(now, committed.back());
                EXPECT_GT(n, 3) << "the workload must write and sync";
                return;
            }
            EXPECT_EQ(st, status::ioError) << "fault at " << n;
            EXPECT_TRUE(now == committed.back() || now == inFlight)
                << "fault at " << n
                << ": the file is neither the last commit nor the one in flight";
        }
    }

    test::FakePlatform memory;
    test::FaultPlatform platform{memory};
    Content base;
    std::string pristine;
};

TEST_F(KeyedStoreFaultTest, EachWriteFailingInTurnLeavesTheLastCommit) {
    failEachInTurn(false);
}

TEST_F(KeyedStoreFaultTest, EachSyncFailingInTurnLeavesTheLastCommit) {
    failEachInTurn(true);
}

TEST_F(KeyedStoreFaultTest, CrashesLosingUnsyncedWritesLeaveACommittedState) {
    // The process stops at a random write or sync (everything later is lost
    // with it), then the machine loses a random choice of the sectors written
    // since the last sync. Repeated over one file that carries on after
    // each crash.
    std::mt19937 random(2024);
    Content current = base;
    for (int round = 0; round < 150; ++round) {
        platform.resetFaults();
        auto store = openSmallCache();
        ASSERT_TRUE(store);
        if (random() % 2) {
            platform.failWriteAt = 1 + static_cast<long>(random() % 400);
        } else {
            platform.failSyncAt = 1 + static_cast<long>(random() % 6);
        }
        std::vector<Content> committed{current};
        Content inFlight;
        Workload workload{static_cast<std::uint32_t>(random()), 3, 150};
        (void)workload.run(*store, current, committed, inFlight);
        store.reset();
        platform.resetFaults();
        platform.crash(random);
        Content now;
        ASSERT_TRUE(test::loadVerified(platform, path, now)) << "round " << round;
        ASSERT_TRUE(now == committed.back() || now == inFlight) << "round " << round;
        current = now;
    }
}

}  // namespace
}  // namespace velumtar
