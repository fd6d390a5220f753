#include "files/file_contents.h"

#include <gtest/gtest.h>

#include "files/record_view.h"
#include "support/fake_platform.h"

namespace velumtar {
namespace {

// Facts with date, time and size, a fingerprint (or none) and the unsettled
// mark.
std::string factsWith(std::string_view size, std::string_view fingerprint, char mark = ' ') {
    FileFacts f =
        factsFrom(FileInformation{std::stoull(std::string(size)), 0, 2020, 6, 15, 12, 34, 56, 0},
                  attr::archive, "    ");
    setFingerprint(f, fingerprint);
    f.view().at(facts::contentsUnsettled) = mark;
    return std::string(f.str());
}

TEST(FileContents, FingerprintIsTheDigestsFirst168BitsInBase64InTheFactsSpaces) {
    Sha256 sha;
    Sha256::Digest digest{};
    ASSERT_TRUE(sha.update("abc", 3) && sha.finish(digest));
    // base64 of ba7816bf8f01cfea414140de5dae2223b00361a396 (21 bytes).
    const std::string text = fingerprintText(digest);
    EXPECT_EQ(text, "ungWv48Bz+pBQUDeXa4iI7ADYaOW");
    const std::string plain = factsWith("512", "");
    const std::string with = factsWith("512", text);
    EXPECT_EQ(with.substr(15, 12), text.substr(0, 12));
    EXPECT_EQ(with.substr(43, 16), text.substr(12));
    EXPECT_EQ(fingerprintOf(with), text);
    // Nothing else of the facts moves: without a fingerprint they are as
    // before.
    std::string masked = with;
    masked.replace(15, 12, 12, ' ').replace(43, 16, 16, ' ');
    EXPECT_EQ(masked, plain);
    EXPECT_EQ(fingerprintOf(plain), std::string(28, ' '));
}

TEST(FileContents, CompareRule) {
    const std::string a(28, 'a'), b(28, 'b'), none;
    struct Case {
        std::string stored, seen;
        FactsVerdict verdict;
        std::string kept;  // fingerprint stored afterwards
    } cases[] = {
        {factsWith("1", none), factsWith("1", none), FactsVerdict::same, none},
        {factsWith("1", a), factsWith("1", a), FactsVerdict::same, a},
        {factsWith("1", a), factsWith("1", b), FactsVerdict::changed, b},
        {factsWith("1", none), factsWith("1", a), FactsVerdict::fingerprintNew, a},
        // Not read this run: compared by the facts, the fingerprint kept.
        {factsWith("1", a), factsWith("1", none), FactsVerdict::same, a},
        {factsWith("1", a), factsWith("2", none), FactsVerdict::changed, a},
        {factsWith("1", none), factsWith("2", a), FactsVerdict::changed, a},
        {factsWith("1", a), factsWith("1", a, 'U'), FactsVerdict::changed, a},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored + "|" + c.seen);
        EXPECT_EQ(compareFacts(c.stored, c.seen), c.verdict);
        const FileFacts kept = factsToStore(c.stored, c.seen);
        EXPECT_EQ(fingerprintOf(kept.str()), c.kept.empty() ? std::string(28, ' ') : c.kept);
        EXPECT_EQ(kept.text[facts::contentsUnsettled.offset], ' ');
    }
}

// A file that is written to after each of its first `changes` readings.
class ChangingFile : public File {
  public:
    ChangingFile(std::string data, int changes) : data_(std::move(data)), changes_(changes) {}
    PlatformStatus read(std::uint64_t offset, void* buffer, std::size_t length,
                        std::size_t& got) override {
        got = offset < data_.size() ? std::min(length, data_.size() - offset) : 0;
        data_.copy(static_cast<char*>(buffer), got, offset);
        if (offset + got >= data_.size() && changes_-- > 0) {
            data_ += '+';
            ++writeTime_;
        }
        return PlatformStatus::ok;
    }
    PlatformStatus write(std::uint64_t, const void*, std::size_t) override {
        return PlatformStatus::accessDenied;
    }
    PlatformStatus size(std::uint64_t& size) override {
        size = data_.size();
        return PlatformStatus::ok;
    }
    PlatformStatus truncate(std::uint64_t) override { return PlatformStatus::accessDenied; }
    PlatformStatus sync() override { return PlatformStatus::ok; }
    PlatformStatus identity(FileIdentity& identity) override {
        identity.links = 1;
        identity.size = data_.size();
        identity.writeTime = writeTime_;
        return PlatformStatus::ok;
    }

  private:
    std::string data_;
    int changes_;
    std::int64_t writeTime_ = 0;
};

class ChangingPlatform : public test::FakePlatform {
  public:
    int changes = 0;
    std::unique_ptr<File> openFile(std::string_view, OpenMode mode,
                                   PlatformStatus& status) override {
        EXPECT_EQ(mode, OpenMode::contents);
        status = PlatformStatus::ok;
        return std::make_unique<ChangingFile>("abc", changes);
    }
};

TEST(FileContents, ReadAgainWhileTheFileChangesThenUnsettled) {
    struct Case {
        int changes;
        ContentsOutcome outcome;
        bool readAgain;
        std::string lastRead;
    } cases[] = {
        {0, ContentsOutcome::read, false, "abc"},
        {1, ContentsOutcome::read, true, "abc+"},
        {2, ContentsOutcome::read, true, "abc++"},
        {3, ContentsOutcome::unsettled, true, "abc++"},
        {9, ContentsOutcome::unsettled, true, "abc++"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.changes);
        ChangingPlatform platform;
        platform.changes = c.changes;
        ContentsReader reader(platform);
        ASSERT_TRUE(reader.open("C:\\X.DLL"));
        Sha256::Digest digest{}, expected{};
        EXPECT_EQ(reader.digest(digest), c.outcome);
        EXPECT_EQ(reader.readAgain(), c.readAgain);
        Sha256 sha;
        ASSERT_TRUE(sha.update(c.lastRead.data(), c.lastRead.size()) && sha.finish(expected));
        EXPECT_EQ(digest, expected);
    }
}

// On real threads (the thread sanitizer's case): every file comes back once,
// in the order queued, with the digest of its contents, whether a worker or
// the taking thread read it; files queued and not taken are closed.
TEST(ContentsPool, ThreadsGiveBackEveryDigestInQueueOrder) {
    test::FakePlatform platform;
    platform.directories.insert("C:\\");
    for (int i = 0; i < 300; ++i)
        platform.putFile("C:\\F" + std::to_string(i), std::string(i * 997, char(i)));
    std::weak_ptr<std::string> left;
    {
        ContentsPool pool;
        ASSERT_TRUE(pool.start(newThreadRunner(), 3));
        ContentsReader reader(platform);
        auto queue = [&](int i) {
            auto job = std::make_unique<ContentsJob>();
            job->key = std::to_string(i);
            ASSERT_TRUE(reader.open("C:\\F" + job->key));
            job->identity = reader.identity();
            job->file = reader.release();
            pool.queue(std::move(job));
        };
        int taken = 0;
        for (int i = 0; i < 300; ++i) {
            if (pool.full()) {
                for (std::size_t n = 0; n < ContentsPool::kCapacity / 2; ++n) {
                    std::unique_ptr<ContentsJob> job = pool.takeOldest();
                    ASSERT_TRUE(job);
                    ASSERT_EQ(job->key, std::to_string(taken));
                    Sha256::Digest expected{};
                    ASSERT_TRUE(reader.open("C:\\F" + job->key));
                    EXPECT_EQ(reader.digest(expected), ContentsOutcome::read);
                    EXPECT_EQ(job->outcome, ContentsOutcome::read);
                    EXPECT_EQ(job->digest, expected);
                    ++taken;
                }
            }
            queue(i);
        }
        EXPECT_GT(pool.size(), 0u);
        left = platform.files["C:\\F299"];
    }
    platform.files.clear();
    EXPECT_TRUE(left.expired());
}

}  // namespace
}  // namespace velumtar
