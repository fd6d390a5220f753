// Reading ahead answers the walk exactly as the system does: run against the
// real file system, with the system's reader.
#include "platform/read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "support/scratch.h"

namespace velumtar::test {
namespace {

namespace fs = std::filesystem;
using readahead::Limits;
using readahead::ReadAheadPlatform;

void makeFile(const fs::path& path, std::size_t size = 1) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'v');
}

// Directories modified within the file system's clock tick before they are
// read are never served; the trees below are older than that.
void letTheTreeSettle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

std::string describe(const FileInformation& info) {
    return std::to_string(info.size) + " " + std::to_string(info.year) + "-" +
           std::to_string(info.month) + "-" + std::to_string(info.day) + " " +
           std::to_string(info.hour) + ":" + std::to_string(info.minute) + ":" +
           std::to_string(info.second) + " attr " + std::to_string(info.attributes);
}

// The walk's keys are upper case: a directory entered by another spelling is
// never served.
std::string keyOf(const std::string& path) {
    return systemPlatform().upperCase(path);
}

// A walk in key order like the tool's over the tree below `top`: what it
// enters, every entry (sorted per directory) and the facts of watched files.
// `announce` makes it tell the platform what it will enter; `beforeEnter`
// runs before each directory is entered.
std::vector<std::string> walkLog(Platform& platform, const std::string& top, bool announce,
                                 const std::function<void(const std::string&)>& beforeEnter = {}) {
    WatchedNames files;
    files.extensions = {"EXE", "DLL"};
    if (announce)
        platform.beginReadAhead(files);
    std::set<std::string, readahead::KeyOrder> toVisit{keyOf(top) + "\\*"};
    std::vector<std::string> log;
    while (!toVisit.empty()) {
        const std::string pattern = *toVisit.begin();
        toVisit.erase(toVisit.begin());
        const std::string dir = pattern.substr(0, pattern.size() - 2);
        if (beforeEnter)
            beforeEnter(pattern);
        if (!platform.enterDirectory("\"" + dir + "\"")) {
            log.push_back("locked " + dir);
            continue;
        }
        log.push_back("entered " + dir);
        std::vector<std::string> entries;
        auto listing = platform.newListing();
        ListingEntry entry;
        ListingResult result = listing->first("\"*.*\"", entry);
        for (; result == ListingResult::entry; result = listing->next(entry)) {
            if (entry.kind == EntryKind::dotEntry)
                continue;
            const std::string upper = platform.upperCase(entry.name);
            std::string line = dir + "\\" + entry.name + " kind " +
                               std::to_string(static_cast<int>(entry.kind)) + " attr " +
                               std::to_string(entry.attributes);
            if (entry.kind == EntryKind::file && readahead::wanted(files, upper)) {
                FileInformation info;
                PlatformStatus status =
                    platform.fileInformation("\"" + dir + "\\" + upper + "\"", info);
                line += status == PlatformStatus::ok ? " facts " + describe(info) : " no facts";
            }
            if (entry.kind == EntryKind::directory && upper > "*") {
                const std::string child = dir + "\\" + upper + "\\*";
                toVisit.insert(child);
                if (announce)
                    platform.readAhead(child);
            }
            entries.push_back(line);
        }
        listing->end();
        EXPECT_EQ(result, ListingResult::end) << dir;
        std::sort(entries.begin(), entries.end());
        log.insert(log.end(), entries.begin(), entries.end());
    }
    if (announce)
        platform.endReadAhead();
    return log;
}

TEST(ReadAhead, AnswersAsTheSystemWhateverTheWorkersManage) {
    const std::string top = scratchDirectory();
    const fs::path host = hostPath(top);
    makeFile(host / "A" / "x.exe", 10);
    makeFile(host / "A" / "y.txt");
    makeFile(host / "A" / "B" / "C" / "deep.DLL", 3);
    makeFile(host / "A" / "ro.exe");
    fs::permissions(host / "A" / "ro.exe",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    makeFile(host / ".hidden" / "h.exe");
    makeFile(host / "$skipped" / "s.exe");
    fs::create_directories(host / "Empty");
    for (int i = 0; i < 300; ++i)
        makeFile(host / "Many" / ("file" + std::to_string(i) + (i % 3 ? ".txt" : ".exe")), i);
    // Names that differ only in case, where the file system keeps both: the
    // walk enters the one the system's resolution picks, whichever the
    // listing delivers first.
    for (std::string name : {"Lib", "Abc", "Dat", "Bin", "Mod", "Res"}) {
        makeFile(host / name / "lower.exe");
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        makeFile(host / name / "upper.exe");
    }
    letTheTreeSettle();

    const std::vector<std::string> expected = walkLog(systemPlatform(), top, false);
    ASSERT_GT(expected.size(), 300u);

    struct Case {
        const char* what;
        Limits limits;
        bool waitForWorkers;
    };
    const Case cases[] = {
        {"one worker, one directory at a time", {1, 1, std::size_t{2} << 20, 2048}, false},
        {"listings too large for the buffer", {2, 8, 2000, 2048}, false},
        {"few waiting", {4, 256, std::size_t{2} << 20, 2}, false},
        {"every directory read ahead first", {4, 256, std::size_t{2} << 20, 2048}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReadAheadPlatform platform(systemPlatform(), readahead::newSystemReader(), c.limits);
        EXPECT_EQ(walkLog(platform, top, true,
                          [&](const std::string& pattern) {
                              if (c.waitForWorkers)
                                  platform.waitFor(pattern);
                          }),
                  expected);
        if (c.waitForWorkers) {
            // All but the top, the directories under one key and Many.
            EXPECT_GE(platform.counts().served, 5u);
            EXPECT_GE(platform.counts().factsServed, 5u);
        }
    }
}

TEST(ReadAhead, DirectoryChangedBetweenItsReadingAndItsTurnIsListedAtItsTurn) {
    const std::string top = scratchDirectory();
    const fs::path host = hostPath(top);
    for (const char* dir : {"A", "B", "C", "D"})
        makeFile(host / dir / (std::string(dir) + ".exe"));
    makeFile(host / "E" / "S" / "s.exe");
    letTheTreeSettle();

    ReadAheadPlatform platform(systemPlatform(), readahead::newSystemReader(), Limits{});
    // Each directory is read ahead, then changed before the walk enters it:
    // A gains a file, B is removed and made anew, E is moved out of the drive
    // and made anew with another S below it (a worker that read the old E
    // may still hold it open); C and D stay as they were.
    const std::vector<std::string> log =
        walkLog(platform, top, true, [&](const std::string& pattern) {
            platform.waitFor(pattern);
            if (pattern == keyOf(top) + "\\A\\*") {
                makeFile(host / "A" / "new.exe", 5);
            } else if (pattern == keyOf(top) + "\\B\\*") {
                fs::remove_all(host / "B");
                makeFile(host / "B" / "other.dll", 7);
            } else if (pattern == keyOf(top) + "\\E\\*") {
                fs::rename(host / "E", fs::path(hostPath(scratchDirectory())) / "E");
                makeFile(host / "E" / "S" / "other.dll", 9);
            }
        });
    EXPECT_EQ(log, walkLog(systemPlatform(), top, false));
    EXPECT_GE(platform.counts().stale, 3u);
    EXPECT_EQ(platform.counts().served, 2u);
}

// The system's reader, recording the name of every entry a reading listed;
// a worker's reading of a directory named `held` waits until release().
class WatchedReader final : public readahead::DirectoryReader {
  public:
    void hold(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = name;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_.clear();
        }
        released_.notify_all();
    }

    bool read(const std::string& native, const WatchedNames& files, std::size_t maxBytes,
              readahead::Snapshot& out) override {
        // The walk's own thread (the one that made the reader) is never
        // held: it is the thread that releases.
        if (std::this_thread::get_id() != walk_) {
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait(lock, [&] { return fs::path(native).filename().string() != held_; });
        }
        const bool read = system_->read(native, files, maxBytes, out);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const readahead::Item& item : out.items)
            listed_.insert(item.entry.name);
        return read;
    }
    bool subdirectories(const std::string& native,
                        const std::function<void(const std::string&)>& take) override {
        return system_->subdirectories(native, [&](const std::string& name) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                listed_.insert(name);
            }
            take(name);
        });
    }
    std::string childNative(const std::string& parent, const std::string& name) override {
        return system_->childNative(parent, name);
    }
    std::string upper(std::string_view name) override { return system_->upper(name); }
    bool workingNative(std::string& native) override { return system_->workingNative(native); }
    bool enter(const std::string& native, readahead::DirectoryStamp& now) override {
        return system_->enter(native, now);
    }
    PlatformStatus facts(const std::string& parent, const std::string& name,
                         FileInformation& info) override {
        return system_->facts(parent, name, info);
    }
    bool listed(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return listed_.count(name) > 0;
    }

  private:
    std::unique_ptr<DirectoryReader> system_ = readahead::newSystemReader();
    const std::thread::id walk_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable released_;
    std::string held_;
    std::set<std::string> listed_;
};

// A directory of the walk, or one above it, replaced by a link between the
// listing of its parent and its turn is not entered: nothing behind the link
// is listed, by the walk or by a worker reading ahead (before the swap, or
// held until after it), and the directory counts as one the walk cannot
// enter.
TEST(ReadAhead, ADirectoryReplacedByALinkIsNeverEntered) {
    struct Case {
        const char* what;
        const char* swapped;    // replaced by the link, below the top
        const char* enteredAt;  // the directory at whose turn it is replaced
        const char* locked;     // the directory the walk cannot enter
    };
    const Case cases[] = {
        {"the directory itself", "P\\B", "P\\B", "P\\B"},
        {"its parent, while the walk is below that", "P\\B", "P\\B\\C", "P\\B\\C"},
        {"a directory further up", "P", "P\\B", "P\\B"},
    };
    enum class Reading { none, beforeTheSwap, afterTheSwap };
    int swaps = 0;
    for (const Case& c : cases) {
        for (Reading reading : {Reading::none, Reading::beforeTheSwap, Reading::afterTheSwap}) {
            SCOPED_TRACE(std::string(c.what) + ", reading ahead " +
                         (reading == Reading::none            ? "off"
                          : reading == Reading::beforeTheSwap ? "before the swap"
                                                              : "after the swap"));
            const std::string top = scratchDirectory();
            const fs::path host = hostPath(top);
            makeFile(host / "P" / "A" / "a.exe");
            makeFile(host / "P" / "B" / "b.exe");
            makeFile(host / "P" / "B" / "BX" / "x.exe");
            makeFile(host / "P" / "B" / "C" / "c.exe");
            // The same tree behind the link, with other files in it.
            const std::string outside = scratchDirectory();
            for (const char* dir : {"", "A", "B", "C", "B/C"})
                makeFile(fs::path(hostPath(outside)) / dir / "secret.exe");
            letTheTreeSettle();

            auto reader = std::make_unique<WatchedReader>();
            WatchedReader& watched = *reader;
            ReadAheadPlatform readAhead(systemPlatform(), std::move(reader), Limits{});
            Platform& platform = reading == Reading::none ? systemPlatform() : readAhead;
            const std::string swapped = top + "\\" + c.swapped;
            const std::string enteredAt = top + "\\" + c.enteredAt;
            if (reading == Reading::afterTheSwap)
                watched.hold(fs::path(hostPath(enteredAt)).filename().string());
            bool moved = true;
            bool reached = false;
            const std::vector<std::string> log =
                walkLog(platform, top, reading != Reading::none, [&](const std::string& pattern) {
                    if (pattern != keyOf(enteredAt) + "\\*")
                        return;
                    reached = true;
                    if (reading == Reading::beforeTheSwap)
                        readAhead.waitFor(pattern);
                    std::error_code refused;
                    fs::rename(hostPath(swapped), hostPath(swapped + ".away"), refused);
                    // Windows moves no folder that holds the working
                    // directory (Wine: that is it).
                    moved = !refused;
                    if (moved) {
                        EXPECT_TRUE(makeDirectoryLink(swapped, outside));
                    }
                    watched.release();
                });
            ASSERT_TRUE(reached);
            if (!moved)
                continue;
            ++swaps;
            EXPECT_NE(std::find(log.begin(), log.end(), "locked " + keyOf(top + "\\" + c.locked)),
                      log.end());
            for (const std::string& line : log)
                EXPECT_EQ(line.find("secret"), std::string::npos) << line;
            EXPECT_FALSE(watched.listed("secret.exe"));
            // Nor does a reader on a thread that holds no directory open.
            std::thread([&] {
                const auto fresh = readahead::newSystemReader();
                for (const std::string& through : {swapped, swapped + "\\C"}) {
                    readahead::Snapshot snapshot;
                    EXPECT_FALSE(fresh->read(hostPath(through), WatchedNames{{}, true},
                                             std::size_t{1} << 20, snapshot))
                        << through;
                    EXPECT_FALSE(fresh->subdirectories(hostPath(through), [](const std::string&) {
                    })) << through;
                }
            }).join();
        }
    }
    EXPECT_GE(swaps, 3);
}

void waitUntil(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A scratch directory of `count` sub-directories holding a watched file
// each, settled; `expected` receives the system's own walk of it.
std::string flatTree(int count, std::vector<std::string>& expected) {
    const std::string top = scratchDirectory();
    for (int i = 0; i < count; ++i)
        makeFile(fs::path(hostPath(top)) / ("D" + std::to_string(i)) / "f.exe");
    letTheTreeSettle();
    expected = walkLog(systemPlatform(), top, false);
    return top;
}

// The system's reader, made slow, that may or may not say it waited for the
// device; it counts how many threads read at once.
class SlowReader final : public readahead::DirectoryReader {
  public:
    explicit SlowReader(bool waited) : waited_(waited) {}
    std::atomic<int> reading{0}, mostReading{0}, started{0}, readByCreator{0}, listings{0};
    // Other threads' readings wait until the creating thread has read one.
    bool holdOthers = false;

    bool read(const std::string& native, const WatchedNames& files, std::size_t maxBytes,
              readahead::Snapshot& out) override {
        ++started;
        if (std::this_thread::get_id() == creator_)
            ++readByCreator;
        else if (holdOthers)
            waitUntil([&] { return readByCreator > 0; });
        const int now = ++reading;
        for (int most = mostReading; now > most && !mostReading.compare_exchange_weak(most, now);)
            ;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const bool read = system_->read(native, files, maxBytes, out);
        --reading;
        return read;
    }
    bool subdirectories(const std::string& native,
                        const std::function<void(const std::string&)>& take) override {
        ++listings;
        return system_->subdirectories(native, take);
    }
    std::string childNative(const std::string& parent, const std::string& name) override {
        return system_->childNative(parent, name);
    }
    // Every reading gave up the processor, or none did.
    long deviceWaits() override { return waited_ ? ++waits_ : 0; }
    std::string upper(std::string_view name) override { return system_->upper(name); }
    bool workingNative(std::string& native) override { return system_->workingNative(native); }
    bool enter(const std::string& native, readahead::DirectoryStamp& now) override {
        return system_->enter(native, now);
    }
    PlatformStatus facts(const std::string& parent, const std::string& name,
                         FileInformation& info) override {
        return system_->facts(parent, name, info);
    }

  private:
    const std::thread::id creator_ = std::this_thread::get_id();
    const bool waited_;
    std::atomic<long> waits_{0};
    std::unique_ptr<DirectoryReader> system_ = readahead::newSystemReader();
};

TEST(ReadAhead, AllWorkersReadAtOnceOnlyWhileTheDeviceIsWaitedFor) {
    std::vector<std::string> expected;
    const std::string top = flatTree(40, expected);

    for (bool waited : {false, true}) {
        SCOPED_TRACE(waited ? "readings wait for the device" : "the cache answers");
        auto reader = std::make_unique<SlowReader>(waited);
        SlowReader& slow = *reader;
        Limits limits;
        limits.threads = 4;
        limits.quickThreads = 1;
        ReadAheadPlatform platform(systemPlatform(), std::move(reader), limits);
        EXPECT_EQ(walkLog(platform, top, true,
                          [&](const std::string& pattern) {
                              if (pattern != keyOf(top) + "\\*")
                                  platform.waitFor(pattern);
                          }),
                  expected);
        if (waited)
            EXPECT_GT(slow.mostReading, 1);
        else
            EXPECT_EQ(slow.mostReading, 1);
    }
}

// While the directory it needs is being read, the walk's thread reads the
// next ones itself rather than sleep.
TEST(ReadAhead, TheWalkReadsAheadWhileTheWorkerReadsWhatItNeeds) {
    std::vector<std::string> expected;
    const std::string top = flatTree(20, expected);

    auto reader = std::make_unique<SlowReader>(false);
    SlowReader& slow = *reader;
    slow.holdOthers = true;
    Limits limits;
    limits.threads = 1;
    ReadAheadPlatform platform(systemPlatform(), std::move(reader), limits);
    // The worker starts on the first directory and holds it until the walk
    // has read one of the others.
    EXPECT_EQ(walkLog(platform, top, true,
                      [&](const std::string& pattern) {
                          if (pattern != keyOf(top) + "\\*")
                              waitUntil([&] { return slow.started > 0; });
                      }),
              expected);
    EXPECT_GT(slow.readByCreator, 0);
    EXPECT_GE(platform.counts().served, 2u);
}

// The walk comes to a directory no worker has begun (here the buffer holds
// one directory, so the worker sleeps until the walk takes it): its thread
// reads that directory as a worker would, rather than leaving it to the
// system. Which thread reads which directory is the scheduler's choice;
// every directory is served either way.
TEST(ReadAhead, ADirectoryNoWorkerHasBegunIsReadByTheWalksThread) {
    std::vector<std::string> expected;
    const std::string top = flatTree(20, expected);

    Limits limits;
    limits.threads = 1;
    limits.directories = 1;
    ReadAheadPlatform platform(systemPlatform(), readahead::newSystemReader(), limits);
    EXPECT_EQ(walkLog(platform, top, true), expected);
    EXPECT_EQ(platform.counts().listedHere, 1u);  // the top
    EXPECT_EQ(platform.counts().served, 20u);
}

// A directory of more sub-directories than the waiting list holds: the rest
// are queued again from its listing as the walk goes on (half the list at a
// time), not left to it; but it is listed again a bounded number of times,
// however many sub-directories it has.
TEST(ReadAhead, SubdirectoriesBeyondTheWaitingListAreReadAheadLater) {
    std::vector<std::string> expected;
    const std::string top = flatTree(40, expected);

    for (std::size_t waiting : {8, 2}) {
        SCOPED_TRACE(waiting);
        auto reader = std::make_unique<SlowReader>(false);
        SlowReader& slow = *reader;
        Limits limits;
        limits.threads = 1;
        limits.waiting = waiting;
        ReadAheadPlatform platform(systemPlatform(), std::move(reader), limits);
        EXPECT_EQ(walkLog(platform, top, true,
                          [&](const std::string& pattern) { platform.waitFor(pattern); }),
                  expected);
        EXPECT_LE(slow.listings, 17);
        if (waiting == 8) {
            // The top itself, and perhaps one that had not been queued again
            // by its turn.
            EXPECT_LE(platform.counts().listedHere, 3u);
            EXPECT_GE(platform.counts().served, 38u);
        }
    }
}

// Two spellings of one name under one key, left out of a waiting list of one
// and then listed again with room for one: the spelling that listing keeps
// is whichever comes first, not the one the system picks for the walk. Ten
// names, so that the system's order puts the other spelling first in some.
TEST(ReadAhead, ASpellingKeptWhileItsTwinWasLeftOutIsNotServed) {
    const std::string scratch = scratchDirectory();
    for (int i = 0; i < 10; ++i) {
        const std::string top = scratch + "\\T" + std::to_string(i);
        const fs::path host = hostPath(top);
        makeFile(host / "A" / "a.exe");
        makeFile(host / ("Dir" + std::to_string(i)) / "lower.exe");
        makeFile(host / ("DIR" + std::to_string(i)) / "upper.exe");
    }
    letTheTreeSettle();
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        const std::string top = scratch + "\\T" + std::to_string(i);
        Limits limits;
        limits.threads = 1;
        limits.waiting = 1;
        ReadAheadPlatform platform(systemPlatform(), readahead::newSystemReader(), limits);
        // A moment before each directory lets the worker list the top again.
        EXPECT_EQ(walkLog(platform, top, true,
                          [&](const std::string& pattern) {
                              std::this_thread::sleep_for(std::chrono::milliseconds(5));
                              platform.waitFor(pattern);
                          }),
                  walkLog(systemPlatform(), top, false));
    }
}

// Jobs and their entries are reused once the walk is done with them: a
// directory queued later starts afresh, whatever the one before it in the
// same job was (here two spellings under one key, never served).
TEST(ReadAhead, AReusedJobCarriesNothingOver) {
    const std::string top = scratchDirectory();
    const fs::path host = hostPath(top);
    makeFile(host / "Abc" / "f.exe");
    makeFile(host / "ABC" / "f.exe");
    for (int i = 0; i < 100; ++i)
        makeFile(host / "Z" / ("D" + std::to_string(i)) / "f.exe");
    letTheTreeSettle();
    const std::vector<std::string> expected = walkLog(systemPlatform(), top, false);

    ReadAheadPlatform platform(systemPlatform(), readahead::newSystemReader(), Limits{});
    EXPECT_EQ(walkLog(platform, top, true,
                      [&](const std::string& pattern) { platform.waitFor(pattern); }),
              expected);
    // Z and every directory in it.
    EXPECT_GE(platform.counts().served, 101u);
}

}  // namespace
}  // namespace velumtar::test
