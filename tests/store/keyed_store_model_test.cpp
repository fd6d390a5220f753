// The keyed store against a std::map model: random writes, rewrites, deletes,
// reads by key, start-at and sequential passes that go on while the file
// changes, with commits, reopen cycles and abandoned transactions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "store/keyed_store_engine.h"
#include "support/fake_platform.h"

namespace velumtar {
namespace {

using Model = std::map<std::string, std::string>;

// Record shapes in use: (record length, key length).
struct Shape {
    std::size_t record;
    std::size_t key;
};

// The operations of the whole test (both shapes); VELUMTAR_MODEL_OPS scales it
// down for slow builds.
long operationsFromEnvironment(long fallback) {
    const char* text = std::getenv("VELUMTAR_MODEL_OPS");
    return text ? std::atol(text) : fallback;
}

class ModelRun {
  public:
    ModelRun(Shape shape, std::uint32_t seed, std::size_t keySpace)
        : shape_(shape), random_(seed), keySpace_(keySpace) {
        for (std::size_t n = 0; n < keySpace; ++n) {
            keys_.push_back(makeKey(n));
        }
        for (int i = 0; i < 64; ++i) {
            values_.push_back(makeValue());
        }
    }

    std::string makeKey(std::size_t n) {
        std::string k;
        if (shape_.key >= 40) {
            // Path-shaped: long shared prefixes, then a blank-padded tail.
            static const char* const roots[] = {"FC:\\PROGRAM FILES\\COMMON\\", "FC:\\WINDOWS\\",
                                                "DC:\\TOOLS\\", "FC:\\PROGRAM FILES\\"};
            k = roots[n % 4];
            for (const std::string& part :
                 {std::string("DIR"), std::to_string(n / 64 % 37), std::string("\\SUB"),
                  std::to_string(n / 8 % 11), std::string("\\FILE"), std::to_string(n),
                  std::string(".EXE")}) {
                k += part;
            }
            if (n % 97 == 5) {
                k += '\x01';  // sorts below the blank that pads a shorter key
            }
            if (n % 89 == 7) {
                k += "\xff ";
            }
        } else {
            k = std::to_string(n * 7919 % 100000);
        }
        k.resize(shape_.key, ' ');
        return k;
    }

    std::string makeValue() {
        std::string v;
        std::size_t length = random_() % 3 == 0 ? 0 : random_() % (shape_.record - shape_.key + 1);
        for (std::size_t i = 0; i < length; ++i) {
            v += static_cast<char>(random_() % 4 == 0 ? ' ' : 'A' + random_() % 26);
        }
        v.resize(shape_.record - shape_.key, ' ');
        return v;
    }

    void open(KeyedOpenMode mode) {
        FileStatus st;
        store_ = openKeyedStore(platform_, "C:\\MODEL.DBI", shape_.record, shape_.key, mode, st,
                                KeyedStoreOptions{64});
        ASSERT_TRUE(store_) << st.text();
        ASSERT_TRUE(st.isOpenSuccess()) << st.text();
        positioned_ = false;
        pastEnd_ = false;
        std::string problem;
        ASSERT_TRUE(store_->verify(problem).isSuccess()) << problem;
    }

    void checkAll() {
        std::string problem;
        ASSERT_TRUE(store_->verify(problem).isSuccess()) << problem;
        std::string record(shape_.record, ' ');
        auto it = model_.begin();
        std::string first(shape_.key, '\0');
        FileStatus st = store_->startAt(first.data(), record.data());
        while (st.isSuccess()) {
            ASSERT_NE(it, model_.end());
            ASSERT_EQ(record, it->first + it->second);
            ++it;
            st = store_->readNext(record.data());
        }
        ASSERT_EQ(it, model_.end());
        positioned_ = true;
        pastEnd_ = false;
        lastKey_ = model_.empty() ? first : model_.rbegin()->first;
        if (model_.empty()) {
            pastEnd_ = true;
        }
    }

    void step() {
        std::string record(shape_.record, '?');
        const std::string& k = keys_[random_() % keySpace_];
        unsigned choice = random_() % 100;
        if (choice < 30) {
            const std::string& v = values_[random_() % values_.size()];
            FileStatus st = store_->write((k + v).data());
            bool present = model_.count(k) > 0;
            ASSERT_EQ(st, present ? status::duplicateKey : status::success);
            if (!present) {
                set(k, v);
            }
        } else if (choice < 40) {
            const std::string& v = values_[random_() % values_.size()];
            FileStatus st = store_->rewrite((k + v).data());
            bool present = model_.count(k) > 0;
            ASSERT_EQ(st, present ? status::success : status::keyNotFound);
            if (present) {
                set(k, v);
            }
        } else if (choice < 55) {
            FileStatus st = store_->deleteRecord(k.data());
            bool present = model_.count(k) > 0;
            ASSERT_EQ(st, present ? status::success : status::keyNotFound);
            if (present) {
                set(k, std::nullopt);
            }
        } else if (choice < 62) {
            FileStatus st = store_->readByKey(k.data(), record.data());
            auto it = model_.find(k);
            ASSERT_EQ(st, it != model_.end() ? status::success : status::keyNotFound);
            if (it != model_.end()) {
                ASSERT_EQ(record, it->first + it->second);
            }
            positioned_ = true;
            pastEnd_ = false;
            lastKey_ = k;
            // Storing right after the read, as the record files do (a write
            // when the read missed, a rewrite when it found), or the wrong
            // one of the two, which must still be refused.
            if (random_() % 2 == 0) {
                const std::string& v = values_[random_() % values_.size()];
                const bool present = it != model_.end();
                const bool asRead = random_() % 4 != 0;
                const bool insert = asRead ? !present : present;
                st = insert ? store_->write((k + v).data()) : store_->rewrite((k + v).data());
                if (insert) {
                    ASSERT_EQ(st, present ? status::duplicateKey : status::success);
                } else {
                    ASSERT_EQ(st, present ? status::success : status::keyNotFound);
                }
                if (st.isSuccess()) {
                    set(k, v);
                }
            }
        } else if (choice < 67) {
            FileStatus st = store_->startAt(k.data(), record.data());
            auto it = model_.lower_bound(k);
            ASSERT_EQ(st, it != model_.end() ? status::success : status::keyNotFound);
            if (it != model_.end()) {
                ASSERT_EQ(record, it->first + it->second);
                positioned_ = true;
                pastEnd_ = false;
                lastKey_ = it->first;
            } else {
                pastEnd_ = true;
            }
        } else if (choice < 99 || random_() % 8 != 0) {
            FileStatus st = store_->readNext(record.data());
            auto it = pastEnd_      ? model_.end()
                      : positioned_ ? model_.upper_bound(lastKey_)
                                    : model_.begin();
            ASSERT_EQ(st, it != model_.end() ? status::success : status::endOfFile);
            if (it != model_.end()) {
                ASSERT_EQ(record, it->first + it->second);
                positioned_ = true;
                lastKey_ = it->first;
            }
        } else {
            ASSERT_TRUE(store_->commit().isSuccess());
            undo_.clear();
        }
    }

    // Runs `operations` steps in cycles: open, work, then close, or drop the
    // store without closing (the work since the last commit is lost).
    void run(long operations) {
        open(KeyedOpenMode::update);
        long done = 0;
        while (done < operations) {
            long cycle = 1 + static_cast<long>(random_() % 20000);
            for (long i = 0; i < cycle && done < operations; ++i, ++done) {
                step();
                if (::testing::Test::HasFatalFailure()) {
                    return;
                }
            }
            checkAll();
            if (random_() % 4 == 0) {
                store_.reset();
                rollBack();
            } else {
                ASSERT_TRUE(store_->close().isSuccess());
                undo_.clear();
            }
            bool output = random_() % 10 == 0;
            open(output ? KeyedOpenMode::output : KeyedOpenMode::update);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
            if (output) {
                // The old content stays committed until the next commit.
                while (!model_.empty()) {
                    set(model_.begin()->first, std::nullopt);
                }
            }
            checkAll();
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
        ASSERT_TRUE(store_->close().isSuccess());
    }

  private:
    // Changes the model, remembering the old value until the next commit.
    void set(const std::string& key, std::optional<std::string> value) {
        auto it = model_.find(key);
        undo_.emplace_back(
            key, it == model_.end() ? std::nullopt : std::optional<std::string>(it->second));
        if (value) {
            model_[key] = *value;
        } else if (it != model_.end()) {
            model_.erase(it);
        }
    }
    // The store was dropped without a commit: back to the last one.
    void rollBack() {
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
            if (it->second) {
                model_[it->first] = *it->second;
            } else {
                model_.erase(it->first);
            }
        }
        undo_.clear();
    }

    Shape shape_;
    std::mt19937 random_;
    std::size_t keySpace_;
    test::FakePlatform platform_;
    std::unique_ptr<KeyedStore> store_;
    Model model_;
    std::vector<std::pair<std::string, std::optional<std::string>>> undo_;
    std::vector<std::string> keys_;
    std::vector<std::string> values_;
    bool positioned_ = false;
    bool pastEnd_ = false;
    std::string lastKey_;
};

TEST(KeyedStoreModel, PathRecordsMatchTheModel) {
    long operations = operationsFromEnvironment(1000000) * 6 / 10;
    ModelRun run({378, 254}, 20240611, 6000);
    run.run(operations);
}

TEST(KeyedStoreModel, ShortRecordsMatchTheModel) {
    long operations = operationsFromEnvironment(1000000) * 4 / 10;
    ModelRun run({7, 4}, 77, 20000);
    run.run(operations);
}

}  // namespace
}  // namespace velumtar
