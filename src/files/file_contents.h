// Fingerprints of file contents: the SHA-256 of a watched file's bytes, read
// safely (a regular file only, never through a link), kept in the spaces of
// its FileFacts, and the rule by which facts with fingerprints are compared.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_facts.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "platform/worker_runner.h"

namespace velumtar {

// The fingerprint as the facts keep it: the first 21 bytes (168 bits) of the
// digest in base64, 28 characters.
std::string fingerprintText(const Sha256::Digest& digest);
// The 28 fingerprint characters of a facts block (blanks when it has none),
// and their replacement.
std::string fingerprintOf(std::string_view facts);
void setFingerprint(FileFacts& facts, std::string_view fingerprint);

// How the facts a walk saw compare with those the database holds.
enum class FactsVerdict {
    same,            // nothing to do
    fingerprintNew,  // the same, and a fingerprint was read where the entry has none
    changed,
};
// Date, time, size, attributes and extension decide as always. With them
// equal, the fingerprints decide when both facts have one; a fingerprint that
// could not be read, or that the database does not hold yet, changes nothing.
// Contents that kept changing while they were read are a change.
FactsVerdict compareFacts(std::string_view stored, std::string_view seen);
// What the database keeps of the facts seen: without the work file's mark,
// and with the stored fingerprint where none could be read.
FileFacts factsToStore(std::string_view stored, std::string_view seen);

enum class ContentsOutcome {
    read,
    // Its size or write time differed before and after every reading: the
    // digest is that of the last reading.
    unsettled,
    unreadable,
};

// What reads and hashes contents: a digest's state and a buffer, used by one
// thread at a time.
struct ContentsHasher {
    Sha256 sha;
    std::vector<unsigned char> buffer;
};

// A file is read again when it changed while it was read, at most this many
// times in all.
constexpr int kContentsReadings = 3;

// Reads every byte of `file` (opened as `opened`) and hashes it. `readAgain`
// tells whether it was read again because it changed while it was read (the
// facts taken before it was opened are then out of date). `afterReading`
// runs after each reading, before the file is looked at again (a test's
// seam); `cancelled`, when set, ends the reading early as unreadable.
ContentsOutcome digestContents(File& file, const FileIdentity& opened, ContentsHasher& hasher,
                               Sha256::Digest& digest, bool& readAgain,
                               const std::function<void()>& afterReading = {},
                               const std::atomic<bool>* cancelled = nullptr);

// Reads a watched file's contents and hashes them.
class ContentsReader {
  public:
    static constexpr int kReadings = kContentsReadings;

    explicit ContentsReader(Platform& platform);

    // Opens the file at `path` (a drive path, may be quoted) for its
    // contents: a regular file only, never through a link. False when it
    // cannot be opened (held by another program, refused, gone).
    [[nodiscard]] bool open(std::string_view path);
    // REQUIRES: open() succeeded. The file as it was opened.
    const FileIdentity& identity() const { return identity_; }
    // REQUIRES: open() succeeded. The open file, for reading elsewhere;
    // digest() then needs another open().
    std::unique_ptr<File> release() { return std::move(file_); }
    // REQUIRES: open() succeeded. Reads every byte and hashes it; closes the
    // file.
    ContentsOutcome digest(Sha256::Digest& digest, const std::function<void()>& afterReading = {});
    // After digest(): see digestContents.
    bool readAgain() const { return readAgain_; }

  private:
    Platform& platform_;
    std::unique_ptr<File> file_;
    FileIdentity identity_;
    ContentsHasher hasher_;
    bool readAgain_ = false;
};

// A file opened for its contents, waiting to be read and hashed, and then
// its digest. The caller's fields travel with it untouched.
struct ContentsJob {
    std::string key, path, facts;
    std::unique_ptr<File> file;
    FileIdentity identity;
    ContentsOutcome outcome = ContentsOutcome::unreadable;
    Sha256::Digest digest{};
    bool readAgain = false;
    bool done = false;  // the pool's own mark
};

// Reads and hashes files on worker threads while the walk goes on. At most
// kCapacity files wait or are read at a time, each worker with one buffer;
// the digests come back in the order the files were queued, so what the
// caller does with them does not depend on the threads. Every member is
// called on the caller's thread.
class ContentsPool {
  public:
    static constexpr int kWorkers = 16;
    static constexpr std::size_t kCapacity = 256;
    // A worker is woken for this many files queued, or this many bytes,
    // whichever comes first: it reads on until none is left, so that small
    // files do not cost a wake-up each.
    static constexpr std::size_t kFilesPerWake = 32;
    static constexpr std::uint64_t kBytesPerWake = 1024 * 1024;

    ContentsPool();
    // Stops the workers; files queued and not taken are closed unread.
    ~ContentsPool();
    ContentsPool(const ContentsPool&) = delete;
    ContentsPool& operator=(const ContentsPool&) = delete;

    // Starts up to `workers` workers on `runner`; false when none could be
    // made (the caller then reads on its own thread).
    [[nodiscard]] bool start(std::unique_ptr<WorkerRunner> runner, int workers = kWorkers);

    std::size_t size() const;
    bool full() const { return size() >= kCapacity; }
    // REQUIRES: !full().
    void queue(std::unique_ptr<ContentsJob> job);
    // The oldest file queued, read and hashed: on this thread when no worker
    // has begun it, else waited for, reading later files no worker has begun
    // meanwhile. Null when none is queued.
    std::unique_ptr<ContentsJob> takeOldest();
    // Whether a queued file answers `test`.
    bool holds(const std::function<bool(const ContentsJob&)>& test) const;

  private:
    struct Shared;
    // Reads the oldest file no one has begun; false when there is none.
    static bool readNext(Shared& shared);

    std::unique_ptr<WorkerRunner> runner_;
    // Shared with the workers; kept alive by a worker left behind.
    std::shared_ptr<Shared> shared_;
    // Queued since a worker was last woken.
    std::size_t unwokenFiles_ = 0;
    std::uint64_t unwokenBytes_ = 0;
};

}  // namespace velumtar
