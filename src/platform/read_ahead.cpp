#include "platform/read_ahead.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <tuple>

namespace velumtar::readahead {

namespace {

std::string_view unquoted(std::string_view path) {
    while (!path.empty() && path.front() == ' ')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == ' ')
        path.remove_suffix(1);
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
    return path;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The pattern of a directory as the walk keys it: "C:\A\*", "C:\*".
std::string patternOf(std::string_view directory) {
    std::string pattern(directory);
    if (pattern.empty() || pattern.back() != '\\')
        pattern += '\\';
    pattern += '*';
    return pattern;
}

// Whether a drive path is written as the walk keys it: upper case, a control
// character as '?', no blank at the end of a name. The walk enters a
// directory by another spelling only where its name has several; which of
// them a directory read ahead lies in is not known, so it is not served.
bool keyForm(std::string_view path) {
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if ((c >= 'a' && c <= 'z') || c < 0x20 || c == 0x7F ||
            (c == ' ' && (i + 1 == path.size() || path[i + 1] == '\\')))
            return false;
    }
    return true;
}

// How long the walk's thread waits for a worker to finish the directory it
// needs before it sleeps.
constexpr std::chrono::microseconds kSpin{100};
constexpr int kLockTries = 2000;
// Directories noted for a refill at most, and refills of one directory.
constexpr std::size_t kOverflows = 8;
constexpr int kMostRefills = 16;
// Listings' rooms (of at most kSpareItems entries), and jobs with their
// entries, kept for reuse at most: a few more than are in use at once.
constexpr std::size_t kSpareListings = 8;
constexpr std::size_t kSpareItems = 128;
constexpr std::size_t kSpareJobs = 64;

// Takes the lock held by `lock`. The lock is held for a few microseconds at
// a time: trying for a while is cheaper than sleeping and being woken, which
// costs the other thread a system call and this one the wait for its core.
void acquire(std::unique_lock<std::mutex>& lock) {
    for (int i = 0; i < kLockTries; ++i) {
        if (lock.try_lock())
            return;
    }
    lock.lock();
}

}  // namespace

bool wanted(const WatchedNames& names, std::string_view upperName) {
    if (names.everyFile)
        return true;
    for (std::size_t dot = upperName.find('.'); dot != std::string_view::npos;
         dot = upperName.find('.', dot + 1)) {
        // The three characters after the dot, blank padded past the end of
        // the name, then a blank or the end.
        if (dot + 4 < upperName.size() && upperName[dot + 4] != ' ')
            continue;
        char extension[3] = {' ', ' ', ' '};
        upperName.copy(extension, 3, dot + 1);
        const std::string_view padded(extension, 3);
        for (const std::string& watched : names.extensions) {
            if (watched == padded)
                return true;
        }
    }
    return false;
}

bool keyLess(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    const int order = a.substr(0, common).compare(b.substr(0, common));
    if (order != 0)
        return order < 0;
    // Equal so far: the rest of the longer one against blanks.
    for (std::size_t i = common; i < b.size(); ++i) {
        if (b[i] != ' ')
            return ' ' < static_cast<unsigned char>(b[i]);
    }
    for (std::size_t i = common; i < a.size(); ++i) {
        if (a[i] != ' ')
            return static_cast<unsigned char>(a[i]) < ' ';
    }
    return false;
}

// A listing that takes its entries from the buffer when the directory was read
// ahead, and from the system otherwise.
class ReadAheadListing final : public DirectoryListing {
  public:
    ReadAheadListing(ReadAheadPlatform& owner, std::unique_ptr<DirectoryListing> system)
        : owner_(owner), system_(std::move(system)) {}
    ~ReadAheadListing() override { end(); }
    ReadAheadListing(const ReadAheadListing&) = delete;
    ReadAheadListing& operator=(const ReadAheadListing&) = delete;

    ListingResult first(std::string_view pattern, ListingEntry& entry) override {
        // A listing within another one (a second look the walk takes) keeps
        // the entry the other delivered last, which the walk still asks
        // about when it ends.
        if (!open_) {
            open_ = true;
            if (owner_.listingsOpen_++ > 0)
                outer_ = {owner_.lastName_, owner_.lastIsFile_};
        }
        return owner_.first(*system_, pattern, entry);
    }
    ListingResult next(ListingEntry& entry) override { return owner_.next(*system_, entry); }
    void end() override {
        owner_.end(*system_);
        if (!open_)
            return;
        open_ = false;
        --owner_.listingsOpen_;
        if (outer_) {
            std::tie(owner_.lastName_, owner_.lastIsFile_) = std::move(*outer_);
            outer_.reset();
        }
    }

  private:
    ReadAheadPlatform& owner_;
    std::unique_ptr<DirectoryListing> system_;
    bool open_ = false;
    std::optional<std::pair<std::string, bool>> outer_;
};

ReadAheadPlatform::ReadAheadPlatform(Platform& system, std::unique_ptr<DirectoryReader> reader,
                                     Limits limits)
    : ForwardingPlatform(system), system_(system), reader_(std::move(reader)), limits_(limits) {}

ReadAheadPlatform::~ReadAheadPlatform() {
    stopWorkers();
}

void ReadAheadPlatform::beginReadAhead(const WatchedNames& files) {
    stopWorkers();
    if (limits_.threads <= 0)
        return;
    files_ = files;
    counts_ = {};
    active_ = true;
    nativeKnown_ = false;
    stopping_ = false;
    reading_ = 0;
    slowSpell_ = 0;
    quickThreads_ = limits_.quickThreads;
    if (quickThreads_ <= 0)
        quickThreads_ = std::max(1, static_cast<int>(std::thread::hardware_concurrency()) - 1);
    quickThreads_ = std::min(quickThreads_, limits_.threads);
    for (int i = 0; i < limits_.threads; ++i)
        workers_.emplace_back([this] { work(); });
}

void ReadAheadPlatform::endReadAhead() {
    stopWorkers();
}

void ReadAheadPlatform::stopWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto it = jobs_.begin(); it != jobs_.end();)
            it = erase(it);
        overflows_.clear();
        passed_.clear();
    }
    wake_.notify_all();
    ready_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
    workers_.clear();
    releasedJobs_.clear();
    active_ = false;
    hints_.clear();
    entered_.reset();
    listed_.reset();
    lastName_.clear();
}

void ReadAheadPlatform::setState(JobMap::iterator it, Job::State state) {
    Job& job = *it->second;
    switch (job.state) {
        case Job::State::waiting:
            unplace(waitingJobs_, job.place);
            break;
        case Job::State::running:
            --held_;
            break;
        case Job::State::ready:
            --held_;
            heldBytes_ -= job.snapshot.bytes;
            unplace(readyJobs_, job.place);
            break;
    }
    job.state = state;
    switch (state) {
        case Job::State::waiting:
            job.snapshot = Snapshot{};
            job.place = place(waitingJobs_, it);
            break;
        case Job::State::running:
            ++held_;
            break;
        case Job::State::ready:
            ++held_;
            heldBytes_ += job.snapshot.bytes;
            job.place = place(readyJobs_, it);
            break;
    }
}

ReadAheadPlatform::JobMap::iterator ReadAheadPlatform::erase(JobMap::iterator it) {
    const Job& job = *it->second;
    if (job.state == Job::State::waiting) {
        unplace(waitingJobs_, job.place);
    } else {
        --held_;
        if (job.state == Job::State::ready) {
            heldBytes_ -= job.snapshot.bytes;
            unplace(readyJobs_, job.place);
        }
    }
    // The entry and its job are kept for the next directory queued: the
    // strings keep their room.
    const JobMap::iterator next = std::next(it);
    JobMap::node_type node = jobs_.extract(it);
    recycle(std::move(node.mapped()));
    if (spareEntries_.size() < kSpareJobs)
        spareEntries_.push_back(std::move(node));
    return next;
}

ReadAheadPlatform::JobSet::iterator ReadAheadPlatform::place(JobSet& set, JobMap::iterator it) {
    if (spareNodes_.empty())
        return set.insert(it).first;
    JobSet::node_type node = std::move(spareNodes_.back());
    spareNodes_.pop_back();
    node.value() = it;
    return set.insert(std::move(node)).position;
}

void ReadAheadPlatform::unplace(JobSet& set, JobSet::iterator at) {
    if (spareNodes_.size() < kSpareJobs)
        spareNodes_.push_back(set.extract(at));
    else
        set.erase(at);
}

void ReadAheadPlatform::release(std::shared_ptr<Job>& job) {
    if (job && job.use_count() == 1 && releasedJobs_.size() < kSpareJobs)
        releasedJobs_.push_back(std::move(job));
    job.reset();
}

void ReadAheadPlatform::recycle(std::shared_ptr<Job>&& job) {
    // Held elsewhere still (a worker reading it, the walk listing it): the
    // last one to let go frees it.
    if (!job || job.use_count() != 1 || spareJobs_.size() >= kSpareJobs) {
        job.reset();
        return;
    }
    // Its listing's names are freed by the worker that reuses the room.
    std::vector<Item>& items = job->snapshot.items;
    if (items.capacity() > 0 && items.capacity() <= kSpareItems &&
        spareItems_.size() < kSpareListings)
        spareItems_.push_back(std::move(items));
    std::vector<Item>().swap(items);
    spareJobs_.push_back(std::move(job));
}

std::shared_ptr<ReadAheadPlatform::Job> ReadAheadPlatform::newJob(const std::string& native) {
    std::shared_ptr<Job> job;
    if (spareJobs_.empty()) {
        job = std::make_shared<Job>();
    } else {
        job = std::move(spareJobs_.back());
        spareJobs_.pop_back();
        job->state = Job::State::waiting;
        job->ambiguous = false;
        job->settled.store(false, std::memory_order_relaxed);
        job->snapshot.stamp = DirectoryStamp{};
        job->snapshot.bytes = 0;
    }
    job->native = native;
    return job;
}

bool ReadAheadPlatform::full() const {
    return held_ >= limits_.directories || heldBytes_ >= limits_.bytes;
}

bool ReadAheadPlatform::makeRoomBefore(const std::string& key) {
    if (readyJobs_.empty())
        return false;
    JobMap::iterator farthest = *std::prev(readyJobs_.end());
    if (!keyLess(key, farthest->first))
        return false;
    // Read again when the walk comes nearer.
    setState(farthest, Job::State::waiting);
    return true;
}

std::size_t ReadAheadPlatform::addJob(const std::string& key, const std::string& native) {
    const JobMap::iterator at = jobs_.lower_bound(key);
    if (at != jobs_.end() && !keyLess(key, at->first)) {
        // Two entries under one key: which one the walk enters is the
        // system's choice.
        if (at->second->native != native)
            at->second->ambiguous = true;
        return 0;
    }
    JobMap::iterator it;
    if (spareEntries_.empty()) {
        it = jobs_.emplace_hint(at, key, newJob(native));
    } else {
        JobMap::node_type node = std::move(spareEntries_.back());
        spareEntries_.pop_back();
        node.key() = key;
        node.mapped() = newJob(native);
        it = jobs_.insert(at, std::move(node));
    }
    it->second->place = place(waitingJobs_, it);
    // Too many waiting: the farthest in key order is left out for now.
    if (waitingJobs_.size() > limits_.waiting) {
        JobMap::iterator farthest = *std::prev(waitingJobs_.end());
        if (!droppedAny_ || keyLess(farthest->first, dropped_))
            dropped_ = farthest->first;
        droppedAny_ = true;
        erase(farthest);
    }
    return 1;
}

std::size_t ReadAheadPlatform::addChildren(const std::string& key, const std::string& native,
                                           const std::vector<Child>& children, std::size_t count,
                                           int refills) {
    droppedAny_ = false;
    std::size_t added = 0;
    for (std::size_t i = 0; i < count; ++i)
        added += addJob(children[i].first, children[i].second);
    if (droppedAny_)
        noteOverflow(key, native, refills);
    return added;
}

void ReadAheadPlatform::noteOverflow(const std::string& key, const std::string& native,
                                     int refills) {
    // Those left out may be any directory's; they are counted as this one's,
    // whose sub-directories filled the list. A few such notes at most, and a
    // directory is listed again a few times at most (each listing reads it
    // whole): the sub-directories of any other, and the farthest of a huge
    // one, are left to the walk.
    if (refills > kMostRefills)
        return;
    auto note = std::find_if(overflows_.begin(), overflows_.end(),
                             [&](const Overflow& o) { return o.key == key; });
    if (note != overflows_.end()) {
        if (keyLess(dropped_, note->cut))
            note->cut = dropped_;
        note->refills = std::max(note->refills, refills);
    } else if (overflows_.size() < kOverflows) {
        overflows_.push_back({key, native, dropped_, refills});
    }
}

void ReadAheadPlatform::refill(std::unique_lock<std::mutex>& lock) {
    Overflow note = std::move(overflows_.front());
    overflows_.erase(overflows_.begin());
    const std::string passed = passed_;
    // Half the list at a time: what is taken from the listing stays small.
    const std::size_t room = std::max<std::size_t>(1, limits_.waiting / 2);
    refilling_ = true;
    ++reading_;
    lock.unlock();

    // The nearest `room` sub-directories from the cut on that the walk has
    // not passed, kept in a heap whose top is the farthest of them.
    const auto farther = [](const Child& a, const Child& b) { return keyLess(a.first, b.first); };
    std::vector<Child> nearest;
    bool more = false;
    std::string nextCut;
    const auto leaveOut = [&](const std::string& key) {
        if (!more || keyLess(key, nextCut))
            nextCut = key;
        more = true;
    };
    const std::string_view base = std::string_view(note.key).substr(0, note.key.size() - 1);
    std::string key;
    const bool listed = reader_->subdirectories(note.native, [&](const std::string& name) {
        if (!childKey(base, name, key) || keyLess(key, note.cut) || !keyLess(passed, key))
            return;
        if (nearest.size() == room) {
            if (!keyLess(key, nearest.front().first)) {
                leaveOut(key);
                return;
            }
            std::pop_heap(nearest.begin(), nearest.end(), farther);
            leaveOut(nearest.back().first);
            nearest.pop_back();
        }
        nearest.emplace_back(key, reader_->childNative(note.native, name));
        std::push_heap(nearest.begin(), nearest.end(), farther);
    });

    acquire(lock);
    --reading_;
    refilling_ = false;
    if (!listed || stopping_)
        return;
    addChildren(note.key, note.native, nearest, nearest.size(), note.refills + 1);
    if (more) {
        // The farthest name kept may share its key with one left out (two
        // spellings of one name): which one the walk enters is the system's
        // choice, and the next refill, from that key on, may come after the
        // walk took it. It is not served.
        const JobMap::iterator split = jobs_.find(nextCut);
        if (split != jobs_.end())
            split->second->ambiguous = true;
        droppedAny_ = true;
        dropped_ = nextCut;
        noteOverflow(note.key, note.native, note.refills + 1);
    }
}

ReadAheadPlatform::JobMap::iterator ReadAheadPlatform::nextJob() {
    if (waitingJobs_.empty())
        return jobs_.end();
    // The nearest directory in key order that no one reads yet, among the
    // nearest the buffer can hold. A full buffer gives up the farthest
    // directory read for it.
    JobMap::iterator it = *waitingJobs_.begin();
    if (full() && !makeRoomBefore(it->first))
        return jobs_.end();
    return it;
}

void ReadAheadPlatform::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<Child> children;
    for (;;) {
        if (stopping_)
            return;
        // A directory whose sub-directories did not all fit in the waiting
        // list is listed again once the list has room.
        if (!overflows_.empty() && !refilling_ && reading_ < allowedReaders() &&
            waitingJobs_.size() <= limits_.waiting / 2) {
            refill(lock);
            continue;
        }
        JobMap::iterator it = reading_ >= allowedReaders() ? jobs_.end() : nextJob();
        if (it == jobs_.end()) {
            ++idle_;
            wake_.wait(lock);
            --idle_;
            continue;
        }
        ++reading_;
        const std::size_t added = read(lock, it, children);
        --reading_;
        // This worker takes one of them; idle ones the rest, as many as may
        // read at once.
        const int free = std::min(idle_, allowedReaders() - reading_ - 1);
        for (int i = 0; i < free && static_cast<std::size_t>(i) + 1 < added; ++i)
            wake_.notify_one();
    }
}

std::size_t ReadAheadPlatform::read(std::unique_lock<std::mutex>& lock, JobMap::iterator it,
                                    std::vector<Child>& children) {
    std::shared_ptr<Job> job = it->second;
    const std::string key = it->first;
    setState(it, Job::State::running);
    // A listing's room from one the walk is done with: no allocation for it.
    Snapshot snapshot;
    if (!spareItems_.empty()) {
        snapshot.items = std::move(spareItems_.back());
        spareItems_.pop_back();
    }
    lock.unlock();
    // Its names are freed here, where the next ones are made.
    snapshot.items.clear();

    const long waitsBefore = reader_->deviceWaits();
    const auto started = std::chrono::steady_clock::now();
    const bool read = reader_->read(job->native, files_, limits_.bytes / 8, snapshot);
    // Long, and the device was waited for (not a lock or the cores).
    const bool slow = std::chrono::steady_clock::now() - started >
                          std::chrono::microseconds(limits_.slowMicroseconds) &&
                      (waitsBefore < 0 || reader_->deviceWaits() != waitsBefore);
    const std::size_t count = read ? predictChildren(key, job->native, snapshot, children) : 0;

    acquire(lock);
    // The disk is being waited for: many requests at once let it answer
    // them in its own order. Otherwise the spell runs out.
    const bool widen = slow && slowSpell_ == 0 && limits_.threads > quickThreads_;
    if (slow)
        slowSpell_ = limits_.slowSpell;
    else if (slowSpell_ > 0)
        --slowSpell_;
    if (widen)
        wake_.notify_all();
    it = jobs_.find(key);
    // Dropped meanwhile (the walk went past it, or reading ahead ended):
    // the job no longer counts.
    if (it == jobs_.end() || it->second != job)
        return 0;
    if (read) {
        job->snapshot = std::move(snapshot);
        setState(it, Job::State::ready);
    } else {
        erase(it);
    }
    job->settled.store(true, std::memory_order_release);
    const std::size_t added = addChildren(key, job->native, children, count);
    if (walkWaits_)
        ready_.notify_all();
    return added;
}

bool ReadAheadPlatform::childKey(std::string_view base, const std::string& name, std::string& key) {
    // The walk enters a sub-directory under its parent's pattern with the
    // upper-case name over the asterisk, when that sorts after the parent
    // and fits the path field.
    constexpr std::size_t kPathWidth = 253;
    if (name.empty() || name.back() == ' ' || std::any_of(name.begin(), name.end(), [](char c) {
            return c == '"' || static_cast<unsigned char>(c) < ' ';
        }))
        return false;
    key.assign(base);
    key += reader_->upper(name);
    if (static_cast<unsigned char>(key[base.size()]) <= '*' || key.size() + 2 > kPathWidth)
        return false;
    key += "\\*";
    return true;
}

std::size_t ReadAheadPlatform::predictChildren(const std::string& key, const std::string& native,
                                               const Snapshot& snapshot, std::vector<Child>& out) {
    const std::string_view base = std::string_view(key).substr(0, key.size() - 1);
    std::size_t count = 0;
    for (const Item& item : snapshot.items) {
        if (item.entry.kind != EntryKind::directory)
            continue;
        if (count == out.size())
            out.emplace_back();
        if (childKey(base, item.entry.name, out[count].first))
            out[count++].second = reader_->childNative(native, item.entry.name);
    }
    return count;
}

void ReadAheadPlatform::readAhead(std::string_view pattern) {
    if (!active_ || lastName_.empty() || lastIsFile_)
        return;
    // Only the entry the listing delivered last: its name on disk is known.
    const std::string_view key = trimmed(pattern);
    std::string expected = entryPath(lastName_);
    expected += "\\*";
    if (key != expected)
        return;
    if (!nativeKnown_) {
        if (!reader_->workingNative(native_))
            return;
        nativeKnown_ = true;
    }
    // Handed to the workers together when the listing ends.
    hints_.emplace_back(key, reader_->childNative(native_, lastName_));
}

void ReadAheadPlatform::flushHints() {
    if (hints_.empty())
        return;
    std::size_t added = 0;
    std::size_t idle = 0;  // idle workers that may start reading
    {
        std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
        acquire(lock);
        added = addChildren(patternOf(directory_), native_, hints_, hints_.size());
        idle = static_cast<std::size_t>(std::max(0, std::min(idle_, allowedReaders() - reading_)));
    }
    hints_.clear();
    for (std::size_t i = 0; i < added && i < idle; ++i)
        wake_.notify_one();
}

void ReadAheadPlatform::waitFor(std::string_view pattern) {
    flushHints();
    std::unique_lock<std::mutex> lock(mutex_);
    walkWaits_ = true;
    ready_.wait(lock, [&] {
        auto it = jobs_.find(pattern);
        return stopping_ || it == jobs_.end() || it->second->state == Job::State::ready;
    });
    walkWaits_ = false;
}

std::shared_ptr<ReadAheadPlatform::Job> ReadAheadPlatform::take(const std::string& pattern) {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    acquire(lock);
    for (std::shared_ptr<Job>& released : releasedJobs_)
        recycle(std::move(released));
    releasedJobs_.clear();
    // The walk goes on in key order: nothing before this directory will be
    // asked for again.
    passed_ = pattern;
    for (auto it = jobs_.begin(); it != jobs_.end() && keyLess(it->first, pattern);)
        it = erase(it);
    std::shared_ptr<Job> job;
    auto it = jobs_.find(pattern);
    if (it != jobs_.end()) {
        job = it->second;
        const auto readHere = [&](JobMap::iterator at) {
            const std::size_t added = read(lock, at, walkChildren_);
            const int free = std::min(idle_, allowedReaders() - reading_);
            for (int i = 0; i < free && static_cast<std::size_t>(i) < added; ++i)
                wake_.notify_one();
        };
        // No worker came to it yet: this thread reads it as a worker would.
        // Listing it at its turn would cost as much, and would find the
        // disk's spelling of its path again, and queue its sub-directories
        // only as the walk announces them.
        if (job->state == Job::State::waiting)
            readHere(it);
        // A worker on it already: waiting for it is faster than starting
        // over. While the cache answers, this thread reads the nearest
        // directories no one reads yet meanwhile, which keeps both it and the
        // worker busy instead of putting it to sleep for a few microseconds.
        // While the disk is waited for, a reading of its own could hold it
        // long after its directory is ready: it waits.
        for (JobMap::iterator next; job->state == Job::State::running && slowSpell_ == 0 &&
                                    (next = nextJob()) != jobs_.end();) {
            readHere(next);
        }
        if (job->state == Job::State::running) {
            // The worker is about to finish: a short spin is cheaper than
            // sleeping and being woken.
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + kSpin;
            for (int i = 1; !job->settled.load(std::memory_order_acquire); ++i) {
                if (i % 64 == 0 && std::chrono::steady_clock::now() > until)
                    break;
            }
            acquire(lock);
        }
        walkWaits_ = true;
        ready_.wait(lock, [&] {
            auto found = jobs_.find(pattern);
            return found == jobs_.end() || found->second != job ||
                   job->state != Job::State::running;
        });
        walkWaits_ = false;
        it = jobs_.find(pattern);
        if (it == jobs_.end() || it->second != job) {
            job.reset();
        } else {
            if (job->state != Job::State::ready || job->ambiguous)
                job.reset();
            erase(it);
        }
    }
    // Idle workers start again when the walk has taken half of what they
    // read, not for every directory it takes.
    const bool wake = idle_ > 0 && !waitingJobs_.empty() && held_ <= limits_.directories / 2 &&
                      heldBytes_ <= limits_.bytes / 2;
    const int free = std::min(idle_, allowedReaders() - reading_);
    lock.unlock();
    for (int i = 0; wake && i < free; ++i)
        wake_.notify_one();
    return job;
}

bool ReadAheadPlatform::changeDirectory(std::string_view path) {
    // Not one of the walk's directories: nothing read ahead is for it.
    if (active_) {
        flushHints();
        release(entered_);
        release(listed_);
        lastName_.clear();
        nativeKnown_ = false;
    }
    return system_.changeDirectory(path);
}

bool ReadAheadPlatform::enterDirectory(std::string_view path) {
    if (!active_)
        return system_.enterDirectory(path);
    flushHints();
    release(entered_);
    release(listed_);
    lastName_.clear();
    directory_ = unquoted(path);
    nativeKnown_ = false;
    if (!keyForm(directory_)) {
        ++counts_.listedHere;
        return system_.changeDirectory(path);
    }
    std::shared_ptr<Job> job = take(patternOf(directory_));
    if (job) {
        DirectoryStamp now;
        if (reader_->enter(job->native, now)) {
            native_ = job->native;
            nativeKnown_ = true;
            if (now == job->snapshot.stamp) {
                entered_ = std::move(job);
                ++counts_.served;
            } else {
                ++counts_.stale;
            }
            return true;
        }
    }
    ++counts_.listedHere;
    return system_.enterDirectory(path);
}

std::unique_ptr<DirectoryListing> ReadAheadPlatform::newListing() {
    std::unique_ptr<DirectoryListing> system = system_.newListing();
    if (!system)
        return nullptr;
    return std::make_unique<ReadAheadListing>(*this, std::move(system));
}

ListingResult ReadAheadPlatform::first(DirectoryListing& system, std::string_view pattern,
                                       ListingEntry& entry) {
    lastName_.clear();
    // Another listing while the walk's is served (a second look at the
    // directory): the system's, the served one left as it is.
    if (listed_ && listedBy_ != &system)
        return noteSystem(system.first(pattern, entry), entry);
    release(listed_);
    // The working directory's whole listing, once, as it was read ahead.
    std::string_view mask = unquoted(pattern);
    if (active_ && entered_ && (mask == "*.*" || mask == "*")) {
        listed_ = std::move(entered_);
        listedBy_ = &system;
        index_ = 0;
        return deliver(entry);
    }
    release(entered_);
    return noteSystem(system.first(pattern, entry), entry);
}

ListingResult ReadAheadPlatform::next(DirectoryListing& system, ListingEntry& entry) {
    if (listed_ && listedBy_ == &system)
        return deliver(entry);
    return noteSystem(system.next(entry), entry);
}

void ReadAheadPlatform::end(DirectoryListing& system) {
    flushHints();
    if (listedBy_ == &system)
        release(listed_);
    system.end();
}

ListingResult ReadAheadPlatform::deliver(ListingEntry& entry) {
    const std::vector<Item>& items = listed_->snapshot.items;
    if (index_ >= items.size()) {
        lastName_.clear();
        return ListingResult::end;
    }
    entry = items[index_++].entry;
    lastName_ = entry.name;
    lastIsFile_ = entry.kind == EntryKind::file;
    return ListingResult::entry;
}

ListingResult ReadAheadPlatform::noteSystem(ListingResult result, const ListingEntry& entry) {
    if (result == ListingResult::entry) {
        lastName_ = entry.name;
        lastIsFile_ = entry.kind == EntryKind::file;
    } else {
        lastName_.clear();
    }
    return result;
}

std::string ReadAheadPlatform::entryPath(std::string_view name) {
    std::string path = directory_;
    if (path.empty() || path.back() != '\\')
        path += '\\';
    const std::size_t start = path.size();
    path += system_.upperCase(name);
    for (std::size_t i = start; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c < 0x20 || c == 0x7F)
            path[i] = '?';
    }
    return path;
}

PlatformStatus ReadAheadPlatform::fileInformation(std::string_view path, FileInformation& info) {
    // The file the listing of a directory read ahead delivered last.
    if (active_ && listed_ && index_ > 0 && lastIsFile_ && !lastName_.empty() &&
        unquoted(path) == entryPath(lastName_)) {
        const Item& item = listed_->snapshot.items[index_ - 1];
        if (item.hasFacts) {
            info = item.facts;
            ++counts_.factsServed;
            return PlatformStatus::ok;
        }
        return reader_->facts(native_, item.entry.name, info);
    }
    return system_.fileInformation(path, info);
}

Platform& withReadAhead(Platform& system, std::unique_ptr<DirectoryReader> reader) {
#ifdef VELUMTAR_NO_READAHEAD
    (void)reader;
    return system;
#else
    Limits limits;
    if (const char* setting = std::getenv("VELUMTAR_READAHEAD")) {
        std::string_view value = setting;
        if (value == "0" || value == "off" || value == "OFF")
            return system;
        int threads = std::atoi(setting);
        if (threads > 0)
            limits.threads = std::min(threads, 64);
    }
    // Made once and kept to the end of the process, like the system's own.
    static ReadAheadPlatform platform(system, std::move(reader), limits);
    return platform;
#endif
}

}  // namespace velumtar::readahead
