// Reading a walk's directories ahead on worker threads.
//
// `ReadAheadPlatform` wraps the system's platform: workers read the
// directories the walk enters next (in key order, by the walk's rules handed
// down as a `WalkPlan`) into a bounded buffer, from which the walk's listing
// of a directory is served. `Schedule` orders the readings without threads,
// a `DirectoryReader` reads (the system, or the tests' in-memory tree) and a
// `WorkerRunner` runs the workers.
//
// What the walk sees does not depend on reading ahead: a directory is served
// only when the directory the system entered is the very one read (volume
// and file index), unchanged since (modification and change times), and its
// times can tell a change (not whole seconds, not within a clock tick before
// the reading). Everything else is listed by the system at its turn.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/forwarding_platform.h"
#include "platform/worker_runner.h"

namespace velumtar::readahead {

// What a directory is on its volume, and its times (nanoseconds since 1970).
struct DirectoryStamp {
    std::uint64_t volume = 0, index = 0;
    std::int64_t modified = 0, changed = 0;
    bool operator==(const DirectoryStamp&) const = default;
};

// Whether a later change of a directory stamped `stamp` by a reading begun at
// `readAt` would show in its times: not when both are whole seconds, nor
// when it changed less than `tick` before the reading.
bool timesTell(const DirectoryStamp& stamp, std::int64_t readAt, std::int64_t tick);

// One directory as it was read, in the system's order, dot entries included.
class Snapshot {
  public:
    DirectoryStamp stamp;
    bool timesTell = false;
    bool whole = true;  // every entry added fitted

    void clear(bool isWhole = true);
    // Kept while the snapshot stays within `maxBytes`.
    void add(const ListingEntry& entry, std::size_t maxBytes);
    std::size_t size() const { return items_.size(); }
    std::string_view name(std::size_t i) const;
    EntryKind kind(std::size_t i) const { return items_[i].kind; }
    void get(std::size_t i, ListingEntry& out) const;
    std::size_t bytes() const;

  private:
    struct Item {
        std::uint32_t end;  // of its name in names_
        EntryKind kind;
        std::uint8_t attributes;
        bool factsFromPath;
        std::int32_t facts;  // in facts_; -1: none
    };
    std::string names_;
    std::vector<Item> items_;
    std::vector<FileInformation> facts_;
};

// The sub-directories the walk enters of one directory, in key order.
class ChildList {
  public:
    void reset(std::string_view parentKey, std::string_view parentNative);
    // A listed sub-directory and its native path; kept when the plan gives
    // it a key.
    void add(const WalkPlan& plan, std::string_view name, std::string_view native);
    // Sorts them, and marks every key more than one name gives (twins).
    void seal();
    bool empty() const { return next_ == children_.size(); }
    // The nearest not yet handed out: its key and native path; true for a twin.
    bool current(std::string& key, std::string* native = nullptr) const;
    void advance() { ++next_; }

  private:
    struct Child {
        std::uint32_t at, keyLength, nativeLength;  // in text_: key suffix, native suffix
        bool twin;
    };
    std::string_view suffix(const Child& c) const { return {text_.data() + c.at, c.keyLength}; }
    std::string parentKey_, base_, native_, text_, key_;
    std::vector<Child> children_;
    std::size_t next_ = 0;
};

struct Limits {
    int threads = 8;
    std::size_t directories = 256;             // read or being read, not yet taken
    std::size_t bytes = std::size_t{2} << 20;  // of the snapshots read
    std::chrono::milliseconds patience{500};   // for a worker still in the system at the end
};

// Objects reused through a free list, alive as long as the pool.
template <typename T>
class Pool {
  public:
    T* take() {
        if (free_.empty())
            return all_.emplace_back(std::make_unique<T>()).get();
        T* item = free_.back();
        free_.pop_back();
        return item;
    }
    void giveBack(T* item) { free_.push_back(item); }

  private:
    std::vector<std::unique_ptr<T>> all_;
    std::vector<T*> free_;
};

// The order of reading: one thread at a time (the caller locks).
class Schedule {
  public:
    explicit Schedule(const Limits& limits) : limits_(limits) {}
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;
    // A directory to read, what it fills.
    struct Task {
        std::string key, native;
        Snapshot* snapshot = nullptr;
        ChildList* children = nullptr;
    };
    enum class State { unknown, due, running, ready };

    // A sealed list taken over.
    void add(ChildList* list);
    // The nearest directory after the walk's position not read yet, when
    // the buffer has room.
    bool next(Task& task);
    // The reading of `task` ended: if listed, its snapshot waits for the
    // walk and its children (sealed) join the frontier, else both are given
    // back.
    void finished(const Task& task, bool listed);
    // The walk is at `key`; all before it is dropped. A due directory becomes
    // the walk's own task, a ready one's snapshot is handed over (giveBack()).
    State reach(const std::string& key, Task& task);
    // Reads `task` (the walk entered it, and no list announced it).
    void start(Task& task);
    // Whether idle workers should start again: directories wait and the walk
    // has taken half of what the buffer held.
    bool wantsWorkers() const;
    void giveBack(Snapshot* snapshot) { snapshots_.giveBack(snapshot); }
    void giveBack(ChildList* list) { lists_.giveBack(list); }

  private:
    // A list with children left, under its nearest key; nearest on top.
    struct Head {
        std::string key;
        ChildList* list;
        bool operator<(const Head& other) const { return other.key < key; }
    };
    struct Job {
        bool running = true;
        bool passed = false;  // the walk went past it while it was read
        Snapshot* snapshot = nullptr;
    };
    bool full() const;
    // Takes the frontier's nearest child into `task`; false for a twin.
    bool popNearest(Task& task);
    void push(ChildList* list);
    std::map<std::string, Job> jobs_;
    std::vector<Head> frontier_;  // a heap
    Pool<Snapshot> snapshots_;
    Pool<ChildList> lists_;
    std::string passed_;
    std::size_t held_ = 0, heldBytes_ = 0;
    const Limits limits_;
};

// The system's side. Paths are the system's own ("native"): a host path on
// POSIX, a drive path in the disk's spelling on Windows.
class DirectoryReader {
  public:
    virtual ~DirectoryReader() = default;
    // Any thread: lists `native` into `out`, stamped, with the facts of the
    // files the plan wants (within `maxBytes`), and its sub-directories into
    // `children`; false on any failure.
    virtual bool read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
                      Snapshot& out, ChildList& children) = 0;
    // The walk's thread: the working directory's native path; its stamp.
    virtual bool workingNative(std::string& native) = 0;
    virtual bool stampWorking(DirectoryStamp& now) = 0;
    // The walk's thread: the working directory is served from `snapshot`.
    virtual void served(const Snapshot& /*snapshot*/) {}
    // How many workers the system can afford (descriptors), at most `wanted`.
    virtual int affordable(int wanted) { return wanted; }
    // Grows whenever the calling thread waits for the device; -1: unknown.
    virtual long deviceWaits() { return -1; }
};

class ReadAheadPlatform final : public ForwardingPlatform {
  public:
    ReadAheadPlatform(Platform& system, std::unique_ptr<DirectoryReader> reader,
                      std::unique_ptr<WorkerRunner> runner, Limits limits);
    ~ReadAheadPlatform() override { endReadAhead(); }
    ReadAheadPlatform(const ReadAheadPlatform&) = delete;
    ReadAheadPlatform& operator=(const ReadAheadPlatform&) = delete;

    // What reading ahead did since it began (a measure for tests): listings
    // taken from the buffer; read, but not the directory entered or changed.
    struct Counts {
        std::uint64_t served = 0, refused = 0;
    };
    Counts counts() const { return counts_; }

    void beginReadAhead(const WalkPlan& plan) override;
    void endReadAhead() override;
    bool changeDirectory(std::string_view path) override;
    bool enterDirectory(std::string_view path) override;
    std::unique_ptr<DirectoryListing> newListing() override;

  private:
    friend class ReadAheadListing;
    struct Shared;
    void dropEntered();  // under the lock

    std::shared_ptr<DirectoryReader> reader_;
    std::unique_ptr<WorkerRunner> runner_;
    const Limits limits_;
    // Shared with the workers; kept alive by a worker left behind.
    std::shared_ptr<Shared> shared_;

    // The walk's thread only.
    std::string key_;              // of the working directory, as the walk entered it
    Snapshot* entered_ = nullptr;  // served for the working directory, not yet listed
    Schedule::Task task_;          // the walk's own reading
    Counts counts_;
};

// Limits from the setting VELUMTAR_READAHEAD: "0" or "off" turns reading
// ahead off (threads 0, always in a build without it), a number sets the workers.
Limits limitsFrom(const std::optional<std::string>& setting);

// The reader of the system the build is for.
std::unique_ptr<DirectoryReader> newSystemReader();

}  // namespace velumtar::readahead
