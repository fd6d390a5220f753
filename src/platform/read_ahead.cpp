#include "platform/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

namespace velumtar::readahead {

namespace {
constexpr std::int64_t kSecond = 1000000000;
// A reading longer than this for which the thread waited for the device
// widens the pool to all its workers for the next `kSlowSpell` readings.
constexpr std::chrono::microseconds kSlow{100};
constexpr int kSlowSpell = 512;
}  // namespace

bool timesTell(const DirectoryStamp& stamp, std::int64_t readAt, std::int64_t tick) {
    if (stamp.modified % kSecond == 0 && stamp.changed % kSecond == 0)
        return false;
    return std::max(stamp.modified, stamp.changed) + tick <= readAt;
}

void Snapshot::clear(bool isWhole) {
    stamp = {};
    timesTell = false;
    whole = isWhole;
    names_.clear();
    items_.clear();
    facts_.clear();
}

void Snapshot::add(const ListingEntry& entry, std::size_t maxBytes) {
    const std::size_t facts = entry.hasFacts ? sizeof(FileInformation) : 0;
    if (!(whole = whole && bytes() + entry.name.size() + sizeof(Item) + facts <= maxBytes))
        return;
    names_ += entry.name;
    items_.push_back({static_cast<std::uint32_t>(names_.size()), entry.kind, entry.attributes,
                      entry.factsFromPath,
                      entry.hasFacts ? static_cast<std::int32_t>(facts_.size()) : -1});
    if (entry.hasFacts)
        facts_.push_back(entry.facts);
}

std::string_view Snapshot::name(std::size_t i) const {
    const std::uint32_t start = i == 0 ? 0 : items_[i - 1].end;
    return std::string_view(names_).substr(start, items_[i].end - start);
}

void Snapshot::get(std::size_t i, ListingEntry& out) const {
    const Item& item = items_[i];
    out.name.assign(name(i));
    out.kind = item.kind;
    out.attributes = item.attributes;
    out.hasFacts = item.facts >= 0;
    out.factsFromPath = out.hasFacts && item.factsFromPath;
    if (out.hasFacts)
        out.facts = facts_[static_cast<std::size_t>(item.facts)];
}

std::size_t Snapshot::bytes() const {
    return names_.size() + items_.size() * sizeof(Item) + facts_.size() * sizeof(FileInformation);
}

void ChildList::reset(std::string_view parentKey, std::string_view parentNative) {
    parentKey_.assign(parentKey);
    base_.assign(parentKey.substr(0, parentKey.empty() ? 0 : parentKey.size() - 1));
    native_.assign(parentNative);
    text_.clear();
    children_.clear();
    next_ = 0;
}

void ChildList::add(const WalkPlan& plan, std::string_view name, std::string_view native) {
    // A key not below the parent's cannot come from the walk's rules; it is
    // left to the walk.
    if (!plan.childKey(parentKey_, name, key_) || key_.size() <= base_.size() ||
        key_.compare(0, base_.size(), base_) != 0 || !native.starts_with(native_))
        return;
    const auto at = static_cast<std::uint32_t>(text_.size());
    text_.append(key_, base_.size());
    text_ += native.substr(native_.size());
    children_.push_back({at, static_cast<std::uint32_t>(key_.size() - base_.size()),
                         static_cast<std::uint32_t>(native.size() - native_.size()), false});
}

void ChildList::seal() {
    // Keys hold no control characters: their byte order is the work file's
    // order of blank-padded keys.
    std::sort(children_.begin(), children_.end(),
              [&](const Child& a, const Child& b) { return suffix(a) < suffix(b); });
    for (std::size_t i = 1; i < children_.size(); ++i) {
        if (suffix(children_[i]) == suffix(children_[i - 1]))
            children_[i].twin = children_[i - 1].twin = true;
    }
}

bool ChildList::current(std::string& key, std::string* native) const {
    const Child& c = children_[next_];
    key.assign(base_).append(suffix(c));
    if (native)
        native->assign(native_).append(text_, c.at + c.keyLength, c.nativeLength);
    return c.twin;
}

void Schedule::push(ChildList* list) {
    if (list->empty()) {
        giveBack(list);
        return;
    }
    frontier_.push_back({{}, list});
    list->current(frontier_.back().key);
    std::push_heap(frontier_.begin(), frontier_.end());
}

void Schedule::add(ChildList* list) {
    list->seal();
    push(list);
}

bool Schedule::popNearest(Task& task) {
    std::pop_heap(frontier_.begin(), frontier_.end());
    ChildList* list = frontier_.back().list;
    frontier_.pop_back();
    const bool twin = list->current(task.key, &task.native);
    list->advance();
    push(list);
    return !twin;
}

bool Schedule::full() const {
    return held_ >= limits_.directories || heldBytes_ >= limits_.bytes;
}

void Schedule::start(Task& task) {
    task.snapshot = snapshots_.take();
    task.children = lists_.take();
    jobs_.emplace(task.key, Job{true, false, task.snapshot});
    ++held_;
}

bool Schedule::next(Task& task) {
    while (!frontier_.empty() && !full()) {
        if (!popNearest(task) || !(passed_ < task.key) || jobs_.count(task.key) != 0)
            continue;
        start(task);
        return true;
    }
    return false;
}

void Schedule::finished(const Task& task, bool listed) {
    auto it = jobs_.find(task.key);
    if (!listed || it->second.passed) {
        giveBack(task.children);
        giveBack(task.snapshot);
        jobs_.erase(it);
        --held_;
        return;
    }
    it->second.running = false;
    // Too large to serve: only its children were wanted; its room is freed.
    if (!task.snapshot->whole)
        task.snapshot->clear(false);
    heldBytes_ += task.snapshot->bytes();
    push(task.children);
}

Schedule::State Schedule::reach(const std::string& key, Task& task) {
    passed_ = key;
    for (auto it = jobs_.begin(); it != jobs_.end() && it->first < key;) {
        if (it->second.running) {
            // Its reader gives it back when it is done.
            it->second.passed = true;
            ++it;
            continue;
        }
        heldBytes_ -= it->second.snapshot->bytes();
        --held_;
        giveBack(it->second.snapshot);
        it = jobs_.erase(it);
    }
    if (auto it = jobs_.find(key); it != jobs_.end()) {
        if (it->second.running)
            return State::running;
        task.snapshot = it->second.snapshot;
        heldBytes_ -= task.snapshot->bytes();
        --held_;
        jobs_.erase(it);
        return State::ready;
    }
    while (!frontier_.empty() && !(key < frontier_.front().key)) {
        const bool mine = frontier_.front().key == key;
        if (popNearest(task) && mine) {
            start(task);
            return State::due;
        }
    }
    return State::unknown;
}

bool Schedule::wantsWorkers() const {
    return !frontier_.empty() && held_ <= limits_.directories / 2 &&
           heldBytes_ <= limits_.bytes / 2;
}

// What the workers share with the walk's thread, under `mutex`; kept alive
// by a worker left behind in the system.
struct ReadAheadPlatform::Shared {
    Shared(const Limits& l, std::unique_ptr<WalkPlan> p, std::shared_ptr<DirectoryReader> r)
        : limits(l), plan(std::move(p)), reader(std::move(r)), schedule(l) {}

    // A worker's step (see WorkerRunner). `walk`: the walk's thread reading
    // while it waits, not in the workers' count.
    int step(bool walk = false) {
        thread_local Schedule::Task task;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping || (!walk && reading >= allowed()) || !schedule.next(task))
                return -1;
            reading += walk ? 0 : 1;
        }
        return work(task, walk ? 0 : 1);
    }

    // Workers that may read at once (under the lock).
    int allowed() const { return slowSpell > 0 ? limits.threads : quick; }
    // Workers to have awake: none until the walk has taken half of what the
    // buffer held (a worker turned away sleeps and must be woken again).
    int wanted() const { return schedule.wantsWorkers() ? allowed() : 0; }

    // Reads `task` without the lock (`counted`: in `reading`). Returns wanted().
    int work(Schedule::Task& task, int counted) {
        task.children->reset(task.key, task.native);
        const auto started = std::chrono::steady_clock::now();
        const bool listed =
            reader->read(task.native, *plan, limits.bytes / 8, *task.snapshot, *task.children);
        task.children->seal();  // before the lock: the sort is the longest step
        // Long, and this thread waited for the device since it last looked
        // (not for a lock or the cores): many requests at once let the disk
        // answer in its own order. Quick readings do not ask.
        thread_local long waits = -2;
        bool slow = false;
        if (std::chrono::steady_clock::now() - started > kSlow) {
            const long now = reader->deviceWaits();
            slow = now < 0 || (waits != -2 && now != waits);
            waits = now;
        }
        std::lock_guard<std::mutex> lock(mutex);
        slowSpell = slow ? kSlowSpell : std::max(0, slowSpell - 1);
        reading -= counted;
        schedule.finished(task, listed);
        settled.notify_all();
        return wanted();
    }

    const Limits limits;
    const std::unique_ptr<WalkPlan> plan;
    const std::shared_ptr<DirectoryReader> reader;
    std::mutex mutex;
    std::condition_variable settled;  // a reading the walk's thread waits for ended
    Schedule schedule;
    bool stopping = false;
    int reading = 0;    // directories workers read
    int quick = 1;      // workers reading at once while the cache answers
    int slowSpell = 0;  // readings left before the workers fall back to `quick`
};

// The working directory's whole listing, served from its snapshot once
// after the walk entered it; any other listing is the system's.
class ReadAheadListing final : public DirectoryListing {
  public:
    ReadAheadListing(ReadAheadPlatform& owner, std::unique_ptr<DirectoryListing> system)
        : owner_(owner), system_(std::move(system)) {}
    ~ReadAheadListing() override { end(); }

    ListingResult first(std::string_view pattern, ListingEntry& entry) override {
        end();
        if (!owner_.entered_ ||
            (pattern != "*.*" && pattern != "*" && pattern != "\"*.*\"" && pattern != "\"*\""))
            return system_->first(pattern, entry);
        served_ = std::exchange(owner_.entered_, nullptr);
        from_ = owner_.shared_;
        from_->reader->served(*served_);
        next_ = 0;
        return next(entry);
    }

    ListingResult next(ListingEntry& entry) override {
        if (!served_)
            return system_->next(entry);
        if (next_ == served_->size())
            return ListingResult::end;
        served_->get(next_++, entry);
        return ListingResult::entry;
    }

    void end() override {
        if (served_) {
            std::lock_guard<std::mutex> lock(from_->mutex);
            from_->schedule.giveBack(std::exchange(served_, nullptr));
        }
        from_.reset();
        system_->end();
    }

  private:
    ReadAheadPlatform& owner_;
    std::unique_ptr<DirectoryListing> system_;
    Snapshot* served_ = nullptr;
    std::shared_ptr<ReadAheadPlatform::Shared> from_;  // whose snapshot it is, kept alive
    std::size_t next_ = 0;
};

ReadAheadPlatform::ReadAheadPlatform(Platform& system, std::unique_ptr<DirectoryReader> reader,
                                     std::unique_ptr<WorkerRunner> runner, Limits limits)
    : ForwardingPlatform(system),
      reader_(std::move(reader)),
      runner_(std::move(runner)),
      limits_(limits) {}

void ReadAheadPlatform::beginReadAhead(const WalkPlan& plan) {
    endReadAhead();
    counts_ = {};
    const int workers = limits_.threads > 0 ? reader_->affordable(limits_.threads) : 0;
    if (workers <= 0)
        return;
    auto shared = std::make_shared<Shared>(limits_, plan.clone(), reader_);
    // While the cache answers: one less than the cores.
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    shared->quick = std::clamp(cores - 1, 1, workers);
    // No thread to be had: the walk goes on without reading ahead.
    if (runner_->start(workers, [shared] { return shared->step(); }) <= 0) {
        runner_->stop(limits_.patience);
        return;
    }
    shared_ = std::move(shared);
}

void ReadAheadPlatform::endReadAhead() {
    if (!shared_)
        return;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        dropEntered();
        shared_->stopping = true;
    }
    shared_->settled.notify_all();
    runner_->stop(limits_.patience);
    shared_.reset();
}

void ReadAheadPlatform::dropEntered() {
    if (entered_)
        shared_->schedule.giveBack(std::exchange(entered_, nullptr));
}

bool ReadAheadPlatform::changeDirectory(std::string_view path) {
    // Not one of the walk's directories: nothing read ahead is for it.
    if (entered_) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        dropEntered();
    }
    return inner().changeDirectory(path);
}

bool ReadAheadPlatform::enterDirectory(std::string_view path) {
    const bool entered = inner().enterDirectory(path);
    if (!shared_)
        return entered;
    Shared& shared = *shared_;
    key_ = shared.plan->keyOf(path);
    std::unique_lock<std::mutex> lock(shared.mutex);
    dropEntered();
    using State = Schedule::State;
    State state = shared.schedule.reach(key_, task_);
    // Announced by no listing read ahead (the walk's start, a directory
    // reached by another spelling): the walk reads it here, as one due.
    if (state == State::unknown && entered && shared.reader->workingNative(task_.native)) {
        task_.key = key_;
        shared.schedule.start(task_);
        state = State::due;
    }
    // Not entered: nothing to read or wait for (a worker may be stuck on it).
    // Not read yet: read it here; a worker reads it: while the cache
    // answers, read the nearest no one reads yet meanwhile.
    while (entered && (state == State::due || state == State::running)) {
        if (state == State::due || shared.slowSpell == 0) {
            const bool due = state == State::due;
            lock.unlock();
            const int wake = due ? shared.work(task_, 0) : shared.step(true);
            runner_->keepAwake(wake);
            lock.lock();
            if (wake >= 0) {
                state = shared.schedule.reach(key_, task_);
                continue;
            }
        }
        shared.settled.wait(
            lock, [&] { return (state = shared.schedule.reach(key_, task_)) != State::running; });
    }
    if (state == State::due)
        shared.schedule.finished(task_, false);
    const int wake = shared.wanted();
    lock.unlock();
    runner_->keepAwake(wake);
    if (state != State::ready)
        return entered;
    Snapshot* snapshot = task_.snapshot;
    // The system entered the very directory that was read, as it was then.
    DirectoryStamp now;
    if (entered && snapshot->whole && snapshot->timesTell && shared.reader->stampWorking(now) &&
        now == snapshot->stamp) {
        entered_ = snapshot;
        ++counts_.served;
    } else {
        lock.lock();
        shared.schedule.giveBack(snapshot);
        ++counts_.refused;
    }
    return entered;
}

std::unique_ptr<DirectoryListing> ReadAheadPlatform::newListing() {
    std::unique_ptr<DirectoryListing> system = inner().newListing();
    if (!system || !shared_)
        return system;
    return std::make_unique<ReadAheadListing>(*this, std::move(system));
}

Limits limitsFrom(const std::optional<std::string>& setting) {
    Limits limits;
#ifdef VELUMTAR_NO_READAHEAD
    const bool off = true;
#else
    const bool off = setting && (*setting == "0" || *setting == "off" || *setting == "OFF");
#endif
    const int threads = setting ? std::atoi(setting->c_str()) : 0;
    limits.threads = off ? 0 : threads > 0 ? std::min(threads, 64) : limits.threads;
    return limits;
}

}  // namespace velumtar::readahead
