// Reading a walk's directories ahead on worker threads.
//
// A walk enters directories one after another and asks the system, for each,
// for its listing and the facts of its watched files: one request at a time,
// on one core. `ReadAheadPlatform` wraps the system's platform and lets a
// small pool of workers list the directories the walk will enter next and
// read the facts of their watched files into a bounded buffer. The walk names
// each directory it will enter when its parent's listing delivers it
// (Platform::readAhead); the workers go ahead of it on their own, queueing
// the sub-directories of every directory they read under the keys the walk
// will give them, nearest in key order first. The walk's own thread takes a
// directory from the buffer when it enters it and asks the system itself
// whenever the buffer has nothing for it.
//
// What the walk sees does not depend on the workers:
// - A directory read ahead is served only when, entered at its turn, it is
//   still the directory that was read (identity and change times compared);
//   otherwise it is listed again at its turn. A directory modified just
//   before it was read is never served: a change in the same tick of the
//   file system's clock would leave its times as they were.
// - A directory announced twice under one key (names that differ only in
//   case) is left to the system's own resolution.
// - A worker that fails, or has not started on a directory when the walk
//   reaches it, costs only time: the walk's thread does the work itself.
// - The facts of a watched file are those the system reported while its
//   directory was read ahead: like every reading of a walk over a drive in
//   use, they are a reading taken during the run.
//
// The buffer holds at most `Limits::directories` directories read ahead and
// `Limits::bytes` of their listings; a directory whose listing takes more
// than an eighth of that is left to the walk's thread. A full buffer gives up
// its farthest directory for a nearer one; idle workers start again when the
// walk has taken half of it. Directories queued but not yet read are kept up
// to `Limits::waiting`, the nearest in key order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/forwarding_platform.h"

namespace velumtar::readahead {

// What a directory was when it was read (its identity and change times; the
// system decides what goes in). Compared when the walk enters it.
struct DirectoryStamp {
    std::uint64_t values[4] = {};
    bool operator==(const DirectoryStamp&) const = default;
};

// One listed entry, with the facts of the file when they were read.
struct Item {
    ListingEntry entry;
    bool hasFacts = false;
    FileInformation facts;
};

struct Snapshot {
    DirectoryStamp stamp;
    std::vector<Item> items;  // in the system's order, "." and ".." included
    std::size_t bytes = 0;    // memory the listing takes, roughly
};

struct Limits {
    int threads = 8;
    std::size_t directories = 256;
    std::size_t bytes = std::size_t{2} << 20;
    std::size_t waiting = 4096;
    // Workers reading at once while the system answers quickly (a warm
    // cache): more would only take turns on the cores with the walk. 0: one
    // less than the cores, at least one.
    int quickThreads = 0;
    // A directory whose reading takes longer than this, while its thread
    // may have waited (DirectoryReader::deviceWaits), was waiting for the disk: then all
    // `threads` read at once for the next `slowSpell` reads.
    std::int64_t slowMicroseconds = 100;
    int slowSpell = 512;
};

// Whether the facts of the file with this upper-case name are wanted.
bool wanted(const WatchedNames& names, std::string_view upperName);

// Blank-padded key order: `a` sorts before `b` when, both padded with blanks
// to the same width, its bytes compare lower.
bool keyLess(std::string_view a, std::string_view b);
struct KeyOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return keyLess(a, b); }
};

// The system's side. Paths are the system's own ("native"): a host path on
// POSIX, a drive path in the disk's spelling on Windows.
class DirectoryReader {
  public:
    virtual ~DirectoryReader() = default;

    // Worker threads. Lists the directory `native` whole and reads the facts
    // of the files `files` names; never through a link, as enter() goes.
    // False when anything fails, when the listing would take more than
    // `maxBytes`, or when the directory was modified so recently that its
    // stamp cannot tell a later change.
    virtual bool read(const std::string& native, const WatchedNames& files, std::size_t maxBytes,
                      Snapshot& out) = 0;

    // Worker threads. Hands `take` the name of every sub-directory of
    // `native` (not links), in the system's order, listed as read() lists;
    // false when the listing fails.
    virtual bool subdirectories(const std::string& native,
                                const std::function<void(const std::string&)>& take) = 0;

    // A count that grows whenever the calling thread waits for the device
    // (blocks read for it, or where the system does not count those, times
    // it gave up the processor to wait); -1 when the system cannot tell. A
    // waiting for a lock or the heap should not move it: only the device
    // widens the pool. A reading is asked for it before, and after only when
    // it took long.
    virtual long deviceWaits() { return -1; }

    // Any thread.
    virtual std::string childNative(const std::string& parent, const std::string& name) = 0;
    // Upper-cases a name as the platform's upperCase does.
    virtual std::string upper(std::string_view name) = 0;

    // The walk's thread only, from here on.
    // The working directory's native path.
    virtual bool workingNative(std::string& native) = 0;
    // Makes `native` the working directory as the platform's enterDirectory
    // would (never through a link, and under that spelling only), and stamps
    // it as it is now. False when it cannot be entered so (the working
    // directory is then unchanged).
    virtual bool enter(const std::string& native, DirectoryStamp& now) = 0;
    // Facts of the entry `name` of the directory `parent`.
    virtual PlatformStatus facts(const std::string& parent, const std::string& name,
                                 FileInformation& info) = 0;
};

class ReadAheadPlatform final : public ForwardingPlatform {
  public:
    ReadAheadPlatform(Platform& system, std::unique_ptr<DirectoryReader> reader, Limits limits);
    ~ReadAheadPlatform() override;
    ReadAheadPlatform(const ReadAheadPlatform&) = delete;
    ReadAheadPlatform& operator=(const ReadAheadPlatform&) = delete;

    // What reading ahead did since it began (a measure for tests).
    struct Counts {
        std::uint64_t served = 0;      // directories taken from the buffer
        std::uint64_t stale = 0;       // read ahead, but changed by their turn
        std::uint64_t listedHere = 0;  // entered with nothing read ahead for them
        std::uint64_t factsServed = 0;
    };
    Counts counts() const { return counts_; }
    // Waits until the directory `pattern` has been read ahead (or its reading
    // failed or was dropped). For tests.
    void waitFor(std::string_view pattern);

    void beginReadAhead(const WatchedNames& files) override;
    void readAhead(std::string_view pattern) override;
    void endReadAhead() override;
    bool changeDirectory(std::string_view path) override;
    bool enterDirectory(std::string_view path) override;
    std::unique_ptr<DirectoryListing> newListing() override;
    PlatformStatus fileInformation(std::string_view path, FileInformation& info) override;
    // Everything else is the system's.

  private:
    friend class ReadAheadListing;

    struct Job;
    using JobMap = std::map<std::string, std::shared_ptr<Job>, KeyOrder>;
    struct ByKey {
        bool operator()(JobMap::iterator a, JobMap::iterator b) const {
            return keyLess(a->first, b->first);
        }
    };
    using JobSet = std::set<JobMap::iterator, ByKey>;
    // A sub-directory to queue: its key and native path.
    using Child = std::pair<std::string, std::string>;
    struct Job {
        enum class State { waiting, running, ready };
        std::string native;
        State state = State::waiting;
        bool ambiguous = false;
        // Set once a reading of it ended; read without the lock.
        std::atomic<bool> settled{false};
        Snapshot snapshot;
        // Its entry in waitingJobs_ or readyJobs_ while waiting or ready: it
        // leaves the set without a search by key.
        JobSet::iterator place;
    };

    void work();
    // The nearest job waiting to be read, room made for it; end() if none.
    // REQUIRES: mutex_ held.
    JobMap::iterator nextJob();
    // Reads the waiting job `it` with the lock released, then files the
    // result and queues the sub-directories it found. Returns how many were
    // queued. REQUIRES: mutex_ held by `lock`; held again on return.
    std::size_t read(std::unique_lock<std::mutex>& lock, JobMap::iterator it,
                     std::vector<Child>& children);
    void stopWorkers();
    // Removes a job and its share of the limits. REQUIRES: mutex_ held.
    JobMap::iterator erase(JobMap::iterator it);
    // Moves a job to another state, keeping the counts and sets.
    // REQUIRES: mutex_ held.
    void setState(JobMap::iterator it, Job::State state);
    // Files a job in `set` or takes it out, keeping the set's node for the
    // next job: no allocation while the sets keep their size.
    // REQUIRES: mutex_ held.
    JobSet::iterator place(JobSet& set, JobMap::iterator it);
    void unplace(JobSet& set, JobSet::iterator at);
    // The walk's thread: lets go of a job, kept for reuse at its next take
    // when no one else holds it.
    void release(std::shared_ptr<Job>& job);
    // Keeps a job no one else holds for reuse, and its listing's room; frees
    // it otherwise. REQUIRES: mutex_ held.
    void recycle(std::shared_ptr<Job>&& job);
    // A waiting job for `native`, reused when one is spare.
    // REQUIRES: mutex_ held.
    std::shared_ptr<Job> newJob(const std::string& native);
    bool full() const;
    // How many workers may read at once now.
    int allowedReaders() const { return slowSpell_ > 0 ? limits_.threads : quickThreads_; }
    // Gives up the farthest directory read after `key`; false when none.
    bool makeRoomBefore(const std::string& key);
    // Adds a job unless its key is known; another native path for a known
    // key makes it ambiguous. Returns the number added. A full waiting list
    // leaves out its farthest job, noted in dropped_.
    std::size_t addJob(const std::string& key, const std::string& native);
    // Adds the first `count` sub-directories `children` of the directory
    // `key` (`native`); when the waiting list had to leave some out, the
    // directory is noted for a refill. REQUIRES: mutex_ held.
    std::size_t addChildren(const std::string& key, const std::string& native,
                            const std::vector<Child>& children, std::size_t count, int refills = 0);
    // Notes the directory `key` for a refill from dropped_ on; `refills`:
    // how often it was listed again so far. REQUIRES: mutex_ held.
    void noteOverflow(const std::string& key, const std::string& native, int refills);
    // Lists a directory noted in overflows_ again and queues those of its
    // sub-directories from the cut on that the walk has not passed yet.
    // REQUIRES: mutex_ held by `lock`; held again on return.
    void refill(std::unique_lock<std::mutex>& lock);
    // The key under which the walk will enter the sub-directory `name` of
    // the directory whose pattern without its asterisk is `base`; false for
    // names the walk would change (quotes, trailing blanks, control
    // characters), which are left to its own announcement.
    bool childKey(std::string_view base, const std::string& name, std::string& key);
    // The sub-directories of a directory read that the walk will enter, in
    // the first elements of `out` (their strings keep their room from one
    // directory to the next); returns how many.
    std::size_t predictChildren(const std::string& key, const std::string& native,
                                const Snapshot& snapshot, std::vector<Child>& out);
    // Hands the directories announced so far to the workers.
    void flushHints();
    // The job for `pattern` when it was read ahead; drops every job before it.
    std::shared_ptr<Job> take(const std::string& pattern);

    // Listing, for ReadAheadListing.
    ListingResult first(DirectoryListing& system, std::string_view pattern, ListingEntry& entry);
    ListingResult next(DirectoryListing& system, ListingEntry& entry);
    void end(DirectoryListing& system);
    ListingResult deliver(ListingEntry& entry);
    ListingResult noteSystem(ListingResult result, const ListingEntry& entry);
    // The drive path of an entry of the working directory, as the walk asks
    // for it: upper case, control characters shown as '?'.
    std::string entryPath(std::string_view name);

    Platform& system_;
    std::unique_ptr<DirectoryReader> reader_;
    const Limits limits_;

    // Shared with the workers, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;   // workers: a job waits or room was made
    std::condition_variable ready_;  // the walk's thread: a job finished
    JobMap jobs_;
    JobSet waitingJobs_;    // not started
    JobSet readyJobs_;      // read, not yet taken
    std::size_t held_ = 0;  // jobs running or ready
    int reading_ = 0;       // workers reading a directory
    int slowSpell_ = 0;     // reads left before the workers fall back to quickThreads
    int quickThreads_ = 1;
    std::size_t heldBytes_ = 0;
    bool stopping_ = false;
    int idle_ = 0;            // workers waiting for a job or for room
    bool walkWaits_ = false;  // the walk's thread waits for a job to finish
    // A directory of more sub-directories than the waiting list holds: those
    // from `cut` on in key order were left out, and are queued again from
    // its listing once the list has room.
    struct Overflow {
        std::string key;
        std::string native;
        std::string cut;
        int refills = 0;
    };
    std::vector<Overflow> overflows_;
    // Kept for reuse instead of freed: set and map entries, jobs, and
    // listings whose room a worker fills again.
    std::vector<JobSet::node_type> spareNodes_;
    std::vector<JobMap::node_type> spareEntries_;
    std::vector<std::shared_ptr<Job>> spareJobs_;
    std::vector<std::vector<Item>> spareItems_;
    bool refilling_ = false;
    bool droppedAny_ = false;
    std::string dropped_;  // the nearest key addJob left out, when droppedAny_
    std::string passed_;   // the directory the walk took last
    // Set before the workers start; read only while they run.
    WatchedNames files_;
    std::vector<std::thread> workers_;

    // The walk's thread only.
    bool active_ = false;
    std::string directory_;  // the working directory as the walk named it ("C:\A")
    std::string native_;     // its native path, when known
    bool nativeKnown_ = false;
    std::shared_ptr<Job> entered_;  // read ahead for the working directory, not yet listed
    std::shared_ptr<Job> listed_;   // the job whose listing is being delivered
    const DirectoryListing* listedBy_ = nullptr;      // the system listing it stands for
    std::vector<std::shared_ptr<Job>> releasedJobs_;  // recycled at the next take
    std::vector<Child> walkChildren_;  // sub-directories of a directory this thread reads
    std::size_t index_ = 0;            // next item of listed_
    std::string lastName_;             // the entry a listing delivered last
    int listingsOpen_ = 0;
    // Directories announced during the listing: key and native path.
    std::vector<std::pair<std::string, std::string>> hints_;
    bool lastIsFile_ = false;
    Counts counts_;
};

// The reader of the system the build is for.
std::unique_ptr<DirectoryReader> newSystemReader();

// The platform for the process: `system` wrapped for reading ahead, unless
// VELUMTAR_READAHEAD is "0" or "off" (a number sets the worker count).
Platform& withReadAhead(Platform& system, std::unique_ptr<DirectoryReader> reader);

}  // namespace velumtar::readahead
