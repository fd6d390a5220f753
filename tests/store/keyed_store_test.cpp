// The keyed store's contract: open statuses, operation statuses, the read
// position while the file changes, blank handling, and the refusal of
// damaged or foreign files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "keyed_test_util.h"
#include "store/page_format.h"
#include "support/fake_platform.h"
#include "support/fault_platform.h"

namespace velumtar {
namespace {

using test::Content;
using test::makeRecord;

const char* const path = "C:\\VELUMTAR.DBI";

class KeyedStoreTest : public ::testing::Test {
  protected:
    std::unique_ptr<KeyedStore> open(KeyedOpenMode mode, FileStatus& st, std::size_t record = 378,
                                     std::size_t key = 254) {
        return openKeyedStore(platform, path, record, key, mode, st);
    }
    std::unique_ptr<KeyedStore> open(KeyedOpenMode mode) {
        FileStatus st;
        auto store = open(mode, st);
        EXPECT_TRUE(store && st.isOpenSuccess()) << st.text();
        return store;
    }
    // Writes records 0..count-1 with pathKey keys and closes.
    void fill(int count) {
        auto store = open(KeyedOpenMode::update);
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(
                store->write(makeRecord(test::pathKey(i), std::to_string(i)).data()).isSuccess());
        }
        ASSERT_TRUE(store->close().isSuccess());
    }
    std::vector<std::uint8_t> bytes() const {
        const std::string content = memory.contentOf(path);
        return std::vector<std::uint8_t>(content.begin(), content.end());
    }
    // Installs `content` as the file, durable.
    void replaceFile(const std::vector<std::uint8_t>& content) {
        memory.putFile(path, std::string(content.begin(), content.end()));
        platform.forgetUnsynced();
    }

    test::FakePlatform memory;
    test::FaultPlatform platform{memory};
};

TEST_F(KeyedStoreTest, OpenStatusesOfMissingAndExistingFiles) {
    FileStatus st;
    EXPECT_EQ(open(KeyedOpenMode::input, st), nullptr);
    EXPECT_EQ(st, status::fileNotFound);
    EXPECT_FALSE(platform.fileExists(path));

    auto store = open(KeyedOpenMode::update, st);
    ASSERT_TRUE(store);
    EXPECT_EQ(st, status::created);
    EXPECT_TRUE(platform.fileExists(path));
    EXPECT_TRUE(store->close().isSuccess());
    EXPECT_EQ(store->close(), status::notOpen);

    store = open(KeyedOpenMode::input, st);
    ASSERT_TRUE(store);
    EXPECT_EQ(st, status::success);
    std::string record(378, ' ');
    EXPECT_EQ(store->readNext(record.data()), status::endOfFile);
    EXPECT_EQ(store->write(record.data()), status::wrongMode);
    store.reset();

    ASSERT_EQ(platform.removeFile(path), PlatformStatus::ok);
    store = open(KeyedOpenMode::output, st);
    EXPECT_EQ(st, status::created);

    memory.refused.insert(path);
    EXPECT_EQ(open(KeyedOpenMode::update, st), nullptr);
    EXPECT_EQ(st, status::accessDenied);
}

TEST_F(KeyedStoreTest, OperationStatuses) {
    auto store = open(KeyedOpenMode::update);
    std::string a = makeRecord("FA", "1"), b = makeRecord("FB", "2"), got(378, ' ');
    EXPECT_TRUE(store->write(a.data()).isSuccess());
    EXPECT_EQ(store->write(makeRecord("FA", "other").data()), status::duplicateKey);
    EXPECT_EQ(store->rewrite(b.data()), status::keyNotFound);
    EXPECT_EQ(store->deleteRecord(b.data()), status::keyNotFound);
    EXPECT_EQ(store->readByKey(b.data(), got.data()), status::keyNotFound);
    EXPECT_TRUE(store->readByKey(a.data(), got.data()).isSuccess());
    EXPECT_EQ(got, a);
    EXPECT_TRUE(store->rewrite(makeRecord("FA", "changed").data()).isSuccess());
    EXPECT_TRUE(store->readByKey(a.data(), got.data()).isSuccess());
    EXPECT_EQ(got, makeRecord("FA", "changed"));
    // startAt above every key: not found, nothing read, and the pass is over.
    got = "untouched";
    got.resize(378, '#');
    std::string before = got;
    EXPECT_EQ(store->startAt(makeRecord("FZ", "").data(), got.data()), status::keyNotFound);
    EXPECT_EQ(got, before);
    EXPECT_EQ(store->readNext(got.data()), status::endOfFile);
    EXPECT_TRUE(store->startAt(makeRecord("F", "").data(), got.data()).isSuccess());
    EXPECT_EQ(got, makeRecord("FA", "changed"));
    EXPECT_EQ(store->readNext(got.data()), status::endOfFile);
    EXPECT_TRUE(store->deleteRecord(a.data()).isSuccess());
    EXPECT_EQ(store->readByKey(a.data(), got.data()), status::keyNotFound);
    EXPECT_TRUE(store->close().isSuccess());
    EXPECT_EQ(store->readNext(got.data()), status::notOpen);
    EXPECT_EQ(store->write(a.data()), status::notOpen);
}

TEST_F(KeyedStoreTest, SequentialPassSeesTheFileAsItChanges) {
    auto store = open(KeyedOpenMode::update);
    for (const char* k : {"FB", "FD", "FF", "FH"}) {
        ASSERT_TRUE(store->write(makeRecord(k, "x").data()).isSuccess());
    }
    std::string got(378, ' ');
    auto key = [&] { return got.substr(0, 2); };
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FB");
    // Written ahead of the position: delivered. Deleted ahead: not delivered.
    // Written behind it: not delivered.
    ASSERT_TRUE(store->write(makeRecord("FC", "new").data()).isSuccess());
    ASSERT_TRUE(store->deleteRecord(makeRecord("FD", "").data()).isSuccess());
    ASSERT_TRUE(store->write(makeRecord("FA", "behind").data()).isSuccess());
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FC");
    EXPECT_EQ(got, makeRecord("FC", "new"));
    // Rewriting the record just read does not move the position; deleting it
    // does not either.
    ASSERT_TRUE(store->rewrite(makeRecord("FC", "rewritten").data()).isSuccess());
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FF");
    ASSERT_TRUE(store->deleteRecord(makeRecord("FF", "").data()).isSuccess());
    ASSERT_TRUE(store->write(makeRecord("FG", "").data()).isSuccess());
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FG");
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FH");
    EXPECT_EQ(store->readNext(got.data()), status::endOfFile);
    // A record appended after the end is delivered by the next read.
    ASSERT_TRUE(store->write(makeRecord("FI", "").data()).isSuccess());
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FI");
    // A failed read by key positions at the key sought.
    EXPECT_EQ(store->readByKey(makeRecord("FE", "").data(), got.data()), status::keyNotFound);
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FG");
    // Across a commit the position holds.
    ASSERT_TRUE(store->commit().isSuccess());
    ASSERT_TRUE(store->readNext(got.data()).isSuccess());
    EXPECT_EQ(key(), "FH");
}

TEST_F(KeyedStoreTest, BlankPaddingKeepsBytewiseOrder) {
    // Bytes below the blank sort before the padding, bytes above after it;
    // stored records come back with their exact blanks.
    auto store = open(KeyedOpenMode::update);
    std::vector<std::string> keys = {std::string("FA\x01", 3), "FA",     "FA  B",
                                     std::string("FA\x7f"),    "FA\xff", ""};
    for (const std::string& k : keys) {
        ASSERT_TRUE(store->write(makeRecord(k, "  lead and trail  ").data()).isSuccess()) << k;
    }
    ASSERT_TRUE(
        store->write(makeRecord(std::string(254, 'K'), std::string(124, 'V')).data()).isSuccess());
    ASSERT_TRUE(store->close().isSuccess());
    Content content;
    ASSERT_TRUE(test::loadVerified(platform, path, content));
    std::vector<std::string> order;
    for (auto& [k, v] : content) {
        order.push_back(k);
        EXPECT_TRUE(v == makeRecord("", "  lead and trail  ").substr(254) ||
                    v == std::string(124, 'V'));
    }
    std::vector<std::string> expected;
    for (const std::string& k : keys) {
        expected.push_back(makeRecord(k, "").substr(0, 254));
    }
    expected.push_back(std::string(254, 'K'));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(order, expected);
}

TEST_F(KeyedStoreTest, OutputReplacesContentOnlyAtTheCommit) {
    fill(500);
    auto store = open(KeyedOpenMode::output);
    ASSERT_TRUE(store->write(makeRecord("FNEW", "").data()).isSuccess());
    // The process dies before any commit point: the old content is intact.
    store.reset();
    std::mt19937 random(5);
    platform.crash(random);
    Content content;
    ASSERT_TRUE(test::loadVerified(platform, path, content));
    EXPECT_EQ(content.size(), 500u);

    store = open(KeyedOpenMode::output);
    ASSERT_TRUE(store->write(makeRecord("FNEW", "").data()).isSuccess());
    ASSERT_TRUE(store->close().isSuccess());
    ASSERT_TRUE(test::loadVerified(platform, path, content));
    EXPECT_EQ(content.size(), 1u);
    // The next transaction reuses the freed pages; those left at the end go
    // back to the file system.
    store = open(KeyedOpenMode::update);
    ASSERT_TRUE(store->rewrite(makeRecord("FNEW", "again").data()).isSuccess());
    ASSERT_TRUE(store->close().isSuccess());
    EXPECT_EQ(bytes().size(), 3u * 4096);
}

TEST_F(KeyedStoreTest, DamagedOrForeignFilesAreRefused) {
    fill(3000);
    const std::vector<std::uint8_t> good = bytes();
    ASSERT_GT(good.size(), 20u * 4096);
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        std::size_t record, key;
    };
    auto flip = [](std::size_t at) {
        return [at](std::vector<std::uint8_t>& b) { b[at] ^= 0x40; };
    };
    const std::vector<Case> cases = {
        {"other record length", [](auto&) {}, 327, 254},
        {"other key length", [](auto&) {}, 378, 250},
        {"bad magic in both meta pages", [](auto& b) { b[8] = b[4096 + 8] = 'X'; }, 378, 254},
        {"checksums of both meta pages", [&](auto& b) { flip(40)(b), flip(4096 + 40)(b); }, 378,
         254},
        {"only part of a meta page", [](auto& b) { b.resize(40); }, 378, 254},
        {"cut before the last page", [](auto& b) { b.resize(b.size() - 4096); }, 378, 254},
        {"cut within a page", [](auto& b) { b.resize(b.size() - 100); }, 378, 254},
        {"foreign bytes",
         [](auto& b) {
             std::mt19937 r(1);
             for (auto& x : b) {
                 x = static_cast<std::uint8_t>(r());
             }
         },
         378, 254},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> damaged = good;
        c.damage(damaged);
        replaceFile(damaged);
        for (KeyedOpenMode mode : {KeyedOpenMode::input, KeyedOpenMode::update}) {
            FileStatus st;
            EXPECT_EQ(open(mode, st, c.record, c.key), nullptr) << c.what;
            EXPECT_EQ(st, status::damaged) << c.what;
        }
    }
    // An empty file is what a crash during creation leaves: it counts as
    // missing for input, and update formats it anew.
    replaceFile({});
    FileStatus empty;
    EXPECT_EQ(open(KeyedOpenMode::input, empty), nullptr);
    EXPECT_EQ(empty, status::fileNotFound);
    // Output replaces a foreign file with an empty keyed file.
    FileStatus st;
    auto store = open(KeyedOpenMode::output, st);
    ASSERT_TRUE(store) << st.text();
    EXPECT_TRUE(store->close().isSuccess());
    Content content;
    ASSERT_TRUE(test::loadVerified(platform, path, content));
    EXPECT_TRUE(content.empty());
}

TEST_F(KeyedStoreTest, DamageInAnyTreePageIsReportedNotDelivered) {
    fill(3000);
    const std::vector<std::uint8_t> good = bytes();
    Content original;
    ASSERT_TRUE(test::loadVerified(platform, path, original));
    std::mt19937 random(11);
    for (std::size_t page = 2; page < good.size() / 4096; ++page) {
        std::vector<std::uint8_t> damaged = good;
        damaged[page * 4096 + 8 + random() % (4096 - 8)] ^=
            static_cast<std::uint8_t>(1 + random() % 255);
        replaceFile(damaged);
        FileStatus st;
        auto store = open(KeyedOpenMode::input, st);
        if (!store) {
            EXPECT_EQ(st, status::damaged);
            continue;
        }
        Content seen;
        FileStatus end = test::readAll(*store, seen);
        std::string problem;
        if (end == status::endOfFile) {
            // Only a page the tree does not use may be damaged unnoticed.
            EXPECT_EQ(seen, original) << "page " << page;
        } else {
            EXPECT_EQ(end, status::damaged) << "page " << page;
            EXPECT_FALSE(store->verify(problem).isSuccess());
        }
    }
}

// Collects what a salvage recovers; a key delivered twice is a failure.
class CollectingSink final : public SalvageSink {
  public:
    bool take(const char* record) override {
        std::string r(record, 378);
        EXPECT_TRUE(content.emplace(r.substr(0, 254), r.substr(254)).second) << r.substr(0, 40);
        return true;
    }
    Content content;
};

// Pages with good checksums whose keys are out of place, as a second writer
// leaves them: every way of reading tells the damage, no lookup answers "not
// found" for a record that is there, and a salvage puts moved pages back.
TEST_F(KeyedStoreTest, KeysOutOfPlaceAreDamageNeverMissingRecords) {
    using namespace keyed;
    fill(3000);
    const std::vector<std::uint8_t> good = bytes();
    Content original;
    ASSERT_TRUE(test::loadVerified(platform, path, original));
    const std::uint8_t* meta =
        get64(good.data() + 32) > get64(good.data() + 4096 + 32) ? good.data() : good.data() + 4096;
    const std::uint32_t root = get32(meta + 40);
    ASSERT_EQ(get32(meta + 44), 2u);
    // The children of the branch's first two cells.
    const std::uint8_t* branch = good.data() + root * pageSize;
    const std::uint8_t* offsets = branch + headerSize + get16(branch + hdr::prefixLength);
    const std::uint32_t leafA = get32(branch + get16(offsets));
    const std::uint32_t leafB = get32(branch + get16(offsets + 2));
    const struct {
        const char* what;
        void (*damage)(std::vector<std::uint8_t>&, std::uint32_t root, std::uint32_t a,
                       std::uint32_t b);
        bool allRecovered;
    } cases[] = {
        {"two leaves swapped in their branch",
         [](auto& f, std::uint32_t r, std::uint32_t, std::uint32_t) {
             std::uint8_t* p = f.data() + r * pageSize;
             std::uint8_t* a = p + get16(p + headerSize + get16(p + hdr::prefixLength));
             std::uint8_t* b = p + get16(p + headerSize + get16(p + hdr::prefixLength) + 2);
             std::swap_ranges(a, a + 4, b);
             put64(p, checksum64(p + 8, pageSize - 8));
         },
         true},
        {"two keys swapped within a leaf",
         [](auto& f, std::uint32_t, std::uint32_t a, std::uint32_t) {
             std::uint8_t* p = f.data() + a * pageSize;
             std::uint8_t* offsets = p + headerSize + get16(p + hdr::prefixLength);
             std::swap_ranges(offsets, offsets + 2, offsets + 2);
             put64(p, checksum64(p + 8, pageSize - 8));
         },
         false},
        {"a leaf written over another",
         [](auto& f, std::uint32_t, std::uint32_t a, std::uint32_t b) {
             std::copy_n(f.data() + a * pageSize, pageSize, f.data() + b * pageSize);
             std::uint8_t* p = f.data() + b * pageSize;
             put32(p + hdr::pageNumber, b);
             put64(p, checksum64(p + 8, pageSize - 8));
         },
         false},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> damaged = good;
        c.damage(damaged, root, leafA, leafB);
        replaceFile(damaged);
        auto store = open(KeyedOpenMode::input);
        ASSERT_TRUE(store) << c.what;
        std::string problem;
        EXPECT_EQ(store->verify(problem), status::damaged) << c.what;
        Content seen;
        EXPECT_EQ(test::readAll(*store, seen), status::damaged) << c.what;
        int told = 0;
        std::string record(378, ' ');
        for (const auto& [key, value] : original) {
            store = open(KeyedOpenMode::input);
            FileStatus st = store->readByKey(key.data(), record.data());
            told += st == status::damaged;
            EXPECT_TRUE(st == status::damaged || (st.isSuccess() && record.substr(254) == value))
                << c.what << ": " << st.text() << " " << key.substr(0, 40);
        }
        EXPECT_GT(told, 0) << c.what;
        CollectingSink sink;
        SalvageReport report;
        ASSERT_TRUE(salvageKeyedStore(platform, path, 378, 254, sink, report).isSuccess());
        EXPECT_GT(report.pagesDamaged, 0u) << c.what;
        for (const auto& [key, value] : sink.content) {
            auto it = original.find(key);
            EXPECT_TRUE(it != original.end() && it->second == value) << c.what;
        }
        if (c.allRecovered) {
            EXPECT_EQ(sink.content, original) << c.what;
        }
    }
}

// The keys stored in a leaf page of `file` (empty for any other page).
std::vector<std::string> leafKeys(const std::vector<std::uint8_t>& file, std::size_t page) {
    const std::uint8_t* p = file.data() + page * 4096;
    std::vector<std::string> keys;
    if (p[12] != 1) {
        return keys;
    }
    const std::size_t count = p[14] | (p[15] << 8), prefix = p[16] | (p[17] << 8);
    for (std::size_t slot = 0; slot < count; ++slot) {
        const std::uint8_t* at = p + 24 + prefix + 2 * slot;
        const std::uint8_t* cell = p + (at[0] | (at[1] << 8));
        std::size_t length = cell[0] < 128 ? cell[0] : (cell[0] & 0x7f) | (cell[1] << 7);
        std::size_t skip = (cell[0] < 128 ? 1 : 2);
        skip += cell[skip] < 128 ? 1 : 2;
        std::string key(reinterpret_cast<const char*>(p + 24), prefix);
        key.append(reinterpret_cast<const char*>(cell + skip), length);
        key.resize(254, ' ');
        keys.push_back(key);
    }
    return keys;
}

TEST_F(KeyedStoreTest, SalvageRecoversEveryRecordNotOnTheDamagedPage) {
    // A file with a history: rewrites and deletes after the first commit
    // leave older versions of pages behind.
    fill(3000);
    auto store = open(KeyedOpenMode::update);
    for (int i = 0; i < 3000; i += 7) {
        std::string r = makeRecord(test::pathKey(i), "again " + std::to_string(i));
        ASSERT_TRUE((i % 2 ? store->rewrite(r.data()) : store->deleteRecord(r.data())).isSuccess());
    }
    ASSERT_TRUE(store->close().isSuccess());
    Content original;
    ASSERT_TRUE(test::loadVerified(platform, path, original));
    const std::vector<std::uint8_t> good = bytes();
    const std::size_t pages = good.size() / 4096;

    // Every page damaged in turn (meta pages, branches, leaves, free pages):
    // only the records of a damaged leaf may be missing or older (brought
    // back from an older version of the leaf).
    std::size_t lostInAll = 0;
    for (std::size_t page = 0; page < pages; ++page) {
        std::vector<std::uint8_t> damaged = good;
        damaged[page * 4096 + 40] ^= 0x10;
        replaceFile(damaged);
        CollectingSink sink;
        SalvageReport report;
        ASSERT_TRUE(salvageKeyedStore(platform, path, 378, 254, sink, report).isSuccess());
        // The stretch of keys the damaged leaf held, up to its neighbours'
        // keys: an older version of the leaf may fill it.
        const std::vector<std::string> onPage = leafKeys(good, page);
        auto mayDiffer = [&](const std::string& key) {
            if (onPage.empty()) {
                return false;
            }
            auto below = original.lower_bound(onPage.front());
            auto above = original.upper_bound(onPage.back());
            return (below == original.begin() || key > std::prev(below)->first) &&
                   (above == original.end() || key < above->first);
        };
        for (const auto& [key, value] : original) {
            auto found = sink.content.find(key);
            lostInAll += found == sink.content.end();
            EXPECT_TRUE(mayDiffer(key) || (found != sink.content.end() && found->second == value))
                << "page " << page << ": " << key.substr(0, 40);
        }
        for (const auto& [key, value] : sink.content) {
            EXPECT_TRUE(original.count(key) || mayDiffer(key))
                << "page " << page << " brought back " << key.substr(0, 40);
        }
        EXPECT_EQ(report.recordsRecovered, sink.content.size());
    }
    // Truncations: the records of the pages left are recovered.
    for (std::size_t size : {good.size() - 100, good.size() / 2, std::size_t{4096 * 3}}) {
        std::vector<std::uint8_t> damaged(good.begin(), good.begin() + size);
        replaceFile(damaged);
        CollectingSink sink;
        SalvageReport report;
        ASSERT_TRUE(salvageKeyedStore(platform, path, 378, 254, sink, report).isSuccess());
        std::set<std::string> left;
        for (std::size_t page = 2; page < size / 4096; ++page) {
            for (const std::string& key : leafKeys(good, page)) {
                if (original.count(key)) {
                    left.insert(key);
                }
            }
        }
        EXPECT_GE(sink.content.size(), left.size()) << size;
        EXPECT_GT(report.pagesDamaged, 0u);
    }
    std::printf("%zu pages damaged one at a time: %zu of %zu records lost in all\n", pages,
                lostInAll, original.size() * pages);
}

}  // namespace
}  // namespace velumtar
