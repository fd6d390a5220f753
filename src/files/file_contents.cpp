#include "files/file_contents.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "files/record_view.h"

namespace velumtar {

namespace {

constexpr std::size_t kFingerprintBytes = facts::kFingerprintWidth * 6 / 8;  // 21
constexpr std::size_t kBufferSize = 128 * 1024;

bool blank(std::string_view text) {
    return text.find_first_not_of(' ') == std::string_view::npos;
}

// The facts without the fingerprint and the work file's mark.
std::string withoutContents(std::string_view facts) {
    std::string rest(facts);
    RecordView v(rest.data());
    v.blank(facts::fingerprintHead);
    v.blank(facts::fingerprintTail);
    v.blank(facts::contentsUnsettled);
    return rest;
}

bool sameState(const FileIdentity& a, const FileIdentity& b) {
    return a.size == b.size && a.writeTime == b.writeTime;
}

}  // namespace

std::string fingerprintText(const Sha256::Digest& digest) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < kFingerprintBytes; i += 3) {
        const std::uint32_t group =
            (std::uint32_t{digest[i]} << 16) | (std::uint32_t{digest[i + 1]} << 8) | digest[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            text += kAlphabet[(group >> shift) & 63];
    }
    return text;
}

std::string fingerprintOf(std::string_view factsText) {
    return std::string(
               factsText.substr(facts::fingerprintHead.offset, facts::fingerprintHead.width)) +
           std::string(
               factsText.substr(facts::fingerprintTail.offset, facts::fingerprintTail.width));
}

void setFingerprint(FileFacts& f, std::string_view fingerprint) {
    RecordView v = f.view();
    v.set(facts::fingerprintHead, fingerprint.substr(0, facts::fingerprintHead.width));
    v.set(facts::fingerprintTail,
          fingerprint.substr(std::min(fingerprint.size(), facts::fingerprintHead.width)));
}

FactsVerdict compareFacts(std::string_view stored, std::string_view seen) {
    if (seen[facts::contentsUnsettled.offset] == 'U' ||
        withoutContents(stored) != withoutContents(seen))
        return FactsVerdict::changed;
    const std::string before = fingerprintOf(stored), now = fingerprintOf(seen);
    if (blank(now) || before == now)
        return FactsVerdict::same;
    return blank(before) ? FactsVerdict::fingerprintNew : FactsVerdict::changed;
}

FileFacts factsToStore(std::string_view stored, std::string_view seen) {
    FileFacts f;
    std::copy(seen.begin(), seen.end(), f.text.begin());
    f.view().at(facts::contentsUnsettled) = ' ';
    if (blank(fingerprintOf(seen)) && stored.size() == facts::kWidth)
        setFingerprint(f, fingerprintOf(stored));
    return f;
}

ContentsOutcome digestContents(File& file, const FileIdentity& opened, ContentsHasher& hasher,
                               Sha256::Digest& digest, bool& readAgain,
                               const std::function<void()>& afterReading,
                               const std::atomic<bool>* cancelled) {
    hasher.buffer.resize(kBufferSize);
    FileIdentity before = opened, after;
    readAgain = false;
    for (int reading = 1;; ++reading) {
        readAgain = reading > 1;
        if (!hasher.sha.restart())
            return ContentsOutcome::unreadable;
        std::uint64_t offset = 0;
        for (;;) {
            if (cancelled && cancelled->load(std::memory_order_relaxed))
                return ContentsOutcome::unreadable;
            std::size_t got = 0;
            if (file.read(offset, hasher.buffer.data(), hasher.buffer.size(), got) !=
                    PlatformStatus::ok ||
                !hasher.sha.update(hasher.buffer.data(), got))
                return ContentsOutcome::unreadable;
            offset += got;
            if (got < hasher.buffer.size())
                break;
        }
        if (afterReading)
            afterReading();
        if (file.identity(after) != PlatformStatus::ok || !hasher.sha.finish(digest))
            return ContentsOutcome::unreadable;
        if (sameState(before, after) && offset == after.size)
            return ContentsOutcome::read;
        if (reading == kContentsReadings)
            return ContentsOutcome::unsettled;
        before = after;
    }
}

ContentsReader::ContentsReader(Platform& platform) : platform_(platform) {}

bool ContentsReader::open(std::string_view path) {
    PlatformStatus status = PlatformStatus::ok;
    file_ = platform_.openFile(path, OpenMode::contents, status);
    if (file_ && file_->identity(identity_) != PlatformStatus::ok)
        file_.reset();
    return file_ != nullptr;
}

ContentsOutcome ContentsReader::digest(Sha256::Digest& digest,
                                       const std::function<void()>& afterReading) {
    std::unique_ptr<File> file = std::move(file_);
    return digestContents(*file, identity_, hasher_, digest, readAgain_, afterReading);
}

struct ContentsPool::Shared {
    std::mutex mutex;
    std::condition_variable finished;
    // Queued in order; the first `begun` are being read or done.
    std::deque<std::unique_ptr<ContentsJob>> jobs;
    std::size_t begun = 0;
    // One per thread reading at a time, made when first needed.
    std::vector<std::unique_ptr<ContentsHasher>> idle;
    std::atomic<bool> cancelled{false};
};

ContentsPool::ContentsPool() : shared_(std::make_shared<Shared>()) {}

ContentsPool::~ContentsPool() {
    if (!runner_)
        return;
    {
        // Files no one has begun stay unread; one being read ends early.
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->cancelled.store(true);
        shared_->jobs.erase(shared_->jobs.begin() + static_cast<std::ptrdiff_t>(shared_->begun),
                            shared_->jobs.end());
    }
    runner_->stop(std::chrono::seconds(2));
}

bool ContentsPool::start(std::unique_ptr<WorkerRunner> runner, int workers) {
    std::shared_ptr<Shared> shared = shared_;
    if (!runner || runner->start(workers, [shared] {
            // The walk wakes the workers as files come; one reads on
            // without waking others.
            return readNext(*shared) ? 0 : -1;
        }) <= 0) {
        if (runner)
            runner->stop(std::chrono::milliseconds(0));
        return false;
    }
    runner_ = std::move(runner);
    return true;
}

std::size_t ContentsPool::size() const {
    // Only this thread changes the queue.
    return shared_->jobs.size();
}

void ContentsPool::queue(std::unique_ptr<ContentsJob> job) {
    ++unwokenFiles_;
    unwokenBytes_ += job->identity.size;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
    }
    if (unwokenFiles_ >= kFilesPerWake || unwokenBytes_ >= kBytesPerWake) {
        unwokenFiles_ = 0;
        unwokenBytes_ = 0;
        runner_->wake(1);
    }
}

bool ContentsPool::readNext(Shared& shared) {
    std::unique_lock<std::mutex> lock(shared.mutex);
    if (shared.begun == shared.jobs.size())
        return false;
    ContentsJob& job = *shared.jobs[shared.begun++];
    std::unique_ptr<ContentsHasher> hasher;
    if (shared.idle.empty()) {
        hasher = std::make_unique<ContentsHasher>();
    } else {
        hasher = std::move(shared.idle.back());
        shared.idle.pop_back();
    }
    lock.unlock();
    job.outcome = digestContents(*job.file, job.identity, *hasher, job.digest, job.readAgain, {},
                                 &shared.cancelled);
    job.file.reset();
    lock.lock();
    job.done = true;
    shared.idle.push_back(std::move(hasher));
    shared.finished.notify_all();
    return true;
}

std::unique_ptr<ContentsJob> ContentsPool::takeOldest() {
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> lock(shared.mutex);
    if (shared.jobs.empty())
        return nullptr;
    while (!shared.jobs.front()->done) {
        // Every file before the first no one has begun is being read.
        if (shared.begun < shared.jobs.size()) {
            if (unwokenFiles_ > 0) {
                unwokenFiles_ = 0;
                unwokenBytes_ = 0;
                lock.unlock();
                runner_->wake(1);
            } else {
                lock.unlock();
            }
            (void)readNext(shared);
            lock.lock();
        } else {
            shared.finished.wait(lock);
        }
    }
    std::unique_ptr<ContentsJob> job = std::move(shared.jobs.front());
    shared.jobs.pop_front();
    --shared.begun;
    return job;
}

bool ContentsPool::holds(const std::function<bool(const ContentsJob&)>& test) const {
    // Only this thread changes the queue and the fields tested.
    for (const std::unique_ptr<ContentsJob>& job : shared_->jobs) {
        if (test(*job))
            return true;
    }
    return false;
}

}  // namespace velumtar
