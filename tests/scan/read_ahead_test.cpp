// Reading ahead: its schedule on its own, and the walk through it over the
// in-memory tree with the workers run inline (the whole walk's suite runs
// through it as well, see directory_walk_test.cpp).
#include "platform/read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "scan/directory_walk.h"
#include "support/fake_reader.h"
#include "support/scan_fixture.h"
#include "support/scratch.h"

namespace velumtar::test {
namespace {

using readahead::ChildList;
using readahead::Limits;
using readahead::ReadAheadPlatform;
using readahead::Schedule;

// Keys as the walk gives them: the name upper-cased under the parent.
struct UpperPlan final : WalkPlan {
    std::unique_ptr<WalkPlan> clone() const override { return std::make_unique<UpperPlan>(); }
    std::string keyOf(std::string_view path) const override { return std::string(path) + "\\*"; }
    bool childKey(std::string_view parent, std::string_view name, std::string& key) const override {
        key.assign(parent.substr(0, parent.size() - 1));
        for (char c : name)
            key += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        key += "\\*";
        return name != "skip";
    }
    bool wantsFacts(std::string_view) const override { return true; }
};

// The order of reading merges every parent's sorted list, whichever was
// read first; two spellings of one key are never handed out, nor what the
// walk has passed, nor more than the buffer holds.
TEST(ReadAheadSchedule, ReadsInKeyOrderNeverTwinsNorPassedNorBeyondTheBuffer) {
    Limits limits;
    limits.directories = 3;
    std::deque<ChildList> lists;  // outlive the schedule, which reuses them
    Schedule schedule(limits);
    const UpperPlan plan;
    auto add = [&](const std::string& parent, std::vector<std::string> names) {
        ChildList* list = &lists.emplace_back();
        list->reset(parent, parent);
        for (const std::string& name : names)
            list->add(plan, name, parent + "\\" + name);
        schedule.add(list);
    };
    std::vector<std::string> order;
    Schedule::Task task;
    auto drain = [&] {
        while (schedule.next(task)) {
            order.push_back(task.key);
            schedule.finished(task, task.key != "C:\\FAILS\\*");
        }
    };
    add("C:\\*", {"zeta", "Twin", "A", "skip", "twin", "FAILS", "b"});
    add("C:\\A\\*", {"y", "x"});
    drain();
    EXPECT_EQ(order, (std::vector<std::string>{"C:\\A\\*", "C:\\A\\X\\*", "C:\\A\\Y\\*"}));
    // Full: the walk takes A, passes B, and the rest follows.
    EXPECT_EQ(schedule.reach("C:\\A\\*", task), Schedule::State::ready);
    schedule.giveBack(task.snapshot);
    EXPECT_EQ(schedule.reach("C:\\A\\Y\\*", task), Schedule::State::ready);
    schedule.giveBack(task.snapshot);
    EXPECT_EQ(schedule.reach("C:\\B\\*", task), Schedule::State::due);
    schedule.finished(task, false);
    order.clear();
    drain();
    EXPECT_EQ(order, (std::vector<std::string>{"C:\\FAILS\\*", "C:\\ZETA\\*"}));
    EXPECT_EQ(schedule.reach("C:\\FAILS\\*", task), Schedule::State::unknown);
    EXPECT_EQ(schedule.reach("C:\\TWIN\\*", task), Schedule::State::unknown);
    EXPECT_EQ(schedule.reach("C:\\ZETA\\*", task), Schedule::State::ready);
}

struct ReadAhead : ScanFixture {
    FindingCounters counters;
    FakeReader* reader = nullptr;
    std::unique_ptr<ReadAheadPlatform> readAhead;

    explicit ReadAhead(std::unique_ptr<WorkerRunner> runner, Limits limits = Limits{}) {
        auto fake = std::make_unique<FakeReader>(platform);
        reader = fake.get();
        readAhead = std::make_unique<ReadAheadPlatform>(platform, std::move(fake),
                                                        std::move(runner), limits);
        EXPECT_TRUE(prepareWorkFile(workFile, messages));
    }
    bool walk() {
        DirectoryWalk walker(*readAhead, messages, workFile, list, counters);
        return walker.walk(padded("C:\\TOOLS\\*", 255)) == DirectoryWalk::Result::completed;
    }
};

// A directory is served only when its times can tell a later change: not on
// a file system that keeps whole seconds, nor when it changed within a tick
// before its reading; otherwise the system lists it at its turn.
TEST(ReadAhead, ServesOnlyWhereTheTimesTellAChange) {
    struct Case {
        const char* what;
        std::int64_t changedAt;
        std::uint64_t served;
    };
    const std::int64_t settled = FakeEntry::kSettled;
    const Case cases[] = {
        {"fine times, settled", settled, 3},
        {"whole seconds", settled - settled % 1000000000, 0},
        {"changed 10 ms before the reading", settled + 990000000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReadAhead r(std::make_unique<InlineRunner>(1));
        r.platform.addFile("C:\\A\\a.exe", 1);
        r.platform.addFile("C:\\B\\b.exe", 2);
        for (const char* directory : {"C:", "C:\\A", "C:\\B"})
            r.platform.tree[directory].changedAt = c.changedAt;
        EXPECT_TRUE(r.walk());
        EXPECT_EQ(r.readAhead->counts().served, c.served);
        EXPECT_EQ(r.readAhead->counts().refused, 3 - c.served);
    }
}

// Changed between its reading and its turn: listed by the system, and what
// the walk records is the directory as it is then.
TEST(ReadAhead, ADirectoryChangedAfterItsReadingIsListedAtItsTurn) {
    ReadAhead r(std::make_unique<InlineRunner>(1));
    r.platform.addFile("C:\\A\\a.exe", 1);
    r.platform.addFile("C:\\B\\b.exe", 2);
    r.reader->afterRead = [&](const std::string& native) {
        if (native != "C:\\B")
            return;
        r.platform.addFile("C:\\B\\new.exe", 3);
        r.platform.tree["C:\\B"].changedAt += 1000;
    };
    EXPECT_TRUE(r.walk());
    EXPECT_EQ(r.readAhead->counts().served, 2u);
    EXPECT_EQ(r.readAhead->counts().refused, 1u);
    r.workFile.clearRecord();
    r.workFile.view().at(workrec::recordType) = 'F';
    r.workFile.view().set(workrec::path, "C:\\B\\NEW.EXE");
    EXPECT_TRUE(r.workFile.readByKey());
}

// The walk's exclusions apply before anything is read: a directory it never
// enters is never opened (a stuck network mount there cannot hold a worker).
TEST(ReadAhead, DirectoriesTheWalkNeverEntersAreNeverRead) {
    ReadAhead r(std::make_unique<InlineRunner>(1));
    r.platform.addFile("C:\\RECYCLER\\x.exe", 1);
    r.platform.addFile("C:\\Data\\System Volume Information\\x.exe", 1);
    r.platform.addFile("C:\\$Recycle.Bin\\x.exe", 1);
    r.platform.addFile("C:\\Data\\t\\x.exe", 1);
    r.platform.addDirectory("C:\\Data\\T");  // a twin: read once the walk chose and entered it
    EXPECT_TRUE(r.walk());
    EXPECT_EQ(r.reader->reads, (std::vector<std::string>{"C:", "C:\\DATA", "C:\\DATA\\T"}));
}

// A directory too large for a snapshot is listed by the system at its turn,
// read once, and its sub-directories are read ahead all the same.
TEST(ReadAhead, ADirectoryTooLargeToHoldStillHasItsSubDirectoriesRead) {
    Limits limits;
    limits.bytes = 8 * 400;  // a snapshot holds 400 bytes
    ReadAhead r(std::make_unique<InlineRunner>(1), limits);
    for (int i = 0; i < 30; ++i)
        r.platform.addFile("C:\\Big\\D" + std::to_string(i) + "\\x.exe", i);
    EXPECT_TRUE(r.walk());
    EXPECT_EQ(std::count(r.reader->reads.begin(), r.reader->reads.end(), "C:\\BIG"), 1);
    EXPECT_EQ(r.reader->reads.size(), 32u);
    EXPECT_EQ(r.readAhead->counts().served, 31u);
    EXPECT_EQ(r.readAhead->counts().refused, 1u);
}

// No thread to be had (RLIMIT_NPROC): the run goes on without reading ahead.
TEST(ReadAhead, WithoutThreadsTheWalkGoesOnAlone) {
    ReadAhead r(std::make_unique<InlineRunner>(1, 0));
    r.platform.addFile("C:\\A\\a.exe", 1);
    EXPECT_TRUE(r.walk());
    EXPECT_EQ(r.readAhead->counts().served, 0u);
    EXPECT_TRUE(r.reader->reads.empty());
}

// A reader that never answers for one directory, as a stuck network mount.
class StuckReader final : public readahead::DirectoryReader {
  public:
    explicit StuckReader(FakePlatform& platform) : fake_(platform) {}
    bool read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
              readahead::Snapshot& out, readahead::ChildList& children) override {
        if (native == "C:\\STUCK") {
            std::unique_lock<std::mutex> lock(mutex);
            stuck = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            return false;
        }
        return fake_.read(native, plan, maxBytes, out, children);
    }
    bool workingNative(std::string& native) override { return fake_.workingNative(native); }
    bool stampWorking(readahead::DirectoryStamp& now) override { return fake_.stampWorking(now); }

    std::mutex mutex;
    std::condition_variable changed;
    bool stuck = false, released = false;

  private:
    FakeReader fake_;
};

// Enters the directory STUCK only once a worker is stuck reading it.
class WaitingPlatform final : public ForwardingPlatform {
  public:
    WaitingPlatform(Platform& inner, StuckReader& reader)
        : ForwardingPlatform(inner), reader_(reader) {}
    bool enterDirectory(std::string_view path) override {
        if (path.find("STUCK") != std::string_view::npos) {
            std::unique_lock<std::mutex> lock(reader_.mutex);
            reader_.changed.wait(lock, [&] { return reader_.stuck; });
        }
        return inner().enterDirectory(path);
    }

  private:
    StuckReader& reader_;
};

// The end of the walk leaves a worker stuck in the system behind instead of
// waiting for it.
TEST(ReadAhead, TheWalkEndsWithoutAWorkerStuckInTheSystem) {
    ScanFixture f;
    f.platform.addFile("C:\\Stuck\\x.exe", 1);
    f.platform.tree["C:\\STUCK"].enterable = false;  // entering it fails at once
    f.platform.boxAnswers = {0, 6};                  // Yes: go on without it
    auto reader = std::make_unique<StuckReader>(f.platform);
    StuckReader& stuck = *reader;
    WaitingPlatform waiting(f.platform, stuck);
    Limits limits;
    limits.threads = 1;
    limits.patience = std::chrono::milliseconds(0);
    {
        ReadAheadPlatform platform(waiting, std::move(reader), newThreadRunner(), limits);
        EXPECT_TRUE(prepareWorkFile(f.workFile, f.messages));
        FindingCounters counters;
        DirectoryWalk walker(platform, f.messages, f.workFile, f.list, counters);
        EXPECT_EQ(walker.walk(padded("C:\\TOOLS\\*", 255)), DirectoryWalk::Result::completed);
        EXPECT_EQ(counters.value[FindingCounters::kLocked], 1u);
    }
    std::unique_lock<std::mutex> lock(stuck.mutex);
    stuck.released = true;
    stuck.changed.notify_all();
}

// On the real disk, with the system's reader.

namespace fs = std::filesystem;

void makeFile(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << "v";
}

// The system's reader, noting every name its readings listed.
class NotingReader final : public readahead::DirectoryReader {
  public:
    std::set<std::string> listed;

    bool read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
              readahead::Snapshot& out, readahead::ChildList& children) override {
        const bool read = system_->read(native, plan, maxBytes, out, children);
        for (std::size_t i = 0; i < out.size(); ++i)
            listed.emplace(out.name(i));
        return read;
    }
    bool workingNative(std::string& native) override { return system_->workingNative(native); }
    bool stampWorking(readahead::DirectoryStamp& now) override {
        return system_->stampWorking(now);
    }
    void served(const readahead::Snapshot& snapshot) override { system_->served(snapshot); }

  private:
    std::unique_ptr<DirectoryReader> system_ = readahead::newSystemReader();
};

// A walk in key order below `top` with the walk's rules: what it enters or
// cannot enter, and every entry it lists. `beforeEnter` runs before each
// directory (its key path) is entered.
std::vector<std::string> walkLog(Platform& platform, const std::string& top,
                                 const std::function<void(const std::string&)>& beforeEnter) {
    const WalkRules rules(platform, WatchedNames{{"EXE"}, false});
    platform.beginReadAhead(rules);
    std::set<std::string> toVisit{rules.keyOf(top)};
    std::vector<std::string> log;
    while (!toVisit.empty()) {
        const std::string key = *toVisit.begin();
        toVisit.erase(toVisit.begin());
        const std::string dir = key.substr(0, key.size() - 2);
        beforeEnter(dir);
        if (!platform.enterDirectory("\"" + dir + "\"")) {
            log.push_back("locked " + dir);
            continue;
        }
        auto listing = platform.newListing();
        ListingEntry entry;
        for (ListingResult result = listing->first("\"*.*\"", entry);
             result == ListingResult::entry; result = listing->next(entry)) {
            log.push_back(dir + "\\" + entry.name);
            std::string child;
            if (entry.kind == EntryKind::directory && rules.childKey(key, entry.name, child))
                toVisit.insert(child);
        }
    }
    platform.endReadAhead();
    return log;
}

// A directory is served only when the one the walk entered carries the stamp
// of the one read: the system's reader stamps the working directory as the
// entering saw it, as its reading of that directory does, and gives no stamp
// once the working directory changed otherwise.
TEST(ReadAhead, TheSystemStampsTheEnteredDirectoryAsItsReading) {
    const std::string top = scratchDirectory();
    for (const char* name : {"A", "B"})
        fs::create_directories(fs::path(hostPath(top)) / name);
    Platform& platform = systemPlatform();
    const WalkRules rules(platform, WatchedNames{{"EXE"}, false});
    const auto reader = readahead::newSystemReader();
    std::vector<readahead::DirectoryStamp> stamps;
    for (const char* name : {"A", "B", "A"}) {
        readahead::DirectoryStamp entered;
        const std::string dir = top + "\\" + name;
        ASSERT_TRUE(platform.enterDirectory("\"" + dir + "\""));
        ASSERT_TRUE(reader->stampWorking(entered)) << name;
        readahead::Snapshot snapshot;
        readahead::ChildList children;
        ASSERT_TRUE(reader->read(hostPath(dir), rules, std::size_t{1} << 20, snapshot, children));
        EXPECT_EQ(entered, snapshot.stamp) << name;
        stamps.push_back(entered);
    }
    EXPECT_EQ(stamps[0], stamps[2]);
    EXPECT_NE(stamps[0], stamps[1]);
    ASSERT_TRUE(platform.changeDirectory("\"" + top + "\""));
    EXPECT_FALSE(reader->stampWorking(stamps[0]));
}

// A directory of the walk, or one above it, replaced by a link between the
// listing of its parent and its turn is not entered: nothing behind the link
// is listed, by the walk or by reading ahead (before the swap or after it),
// and the directory counts as one the walk cannot enter.
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
            for (const char* file : {"P/A/a.exe", "P/B/b.exe", "P/B/BX/x.exe", "P/B/C/c.exe"})
                makeFile(fs::path(hostPath(top)) / file);
            // The same tree behind the link, with other files in it.
            const std::string outside = scratchDirectory();
            for (const char* dir : {"", "A", "B", "C", "B/C"})
                makeFile(fs::path(hostPath(outside)) / dir / "secret.exe");

            // Workers read everything due as soon as woken, or only when
            // told, after the swap.
            auto runner = std::make_unique<InlineRunner>(reading == Reading::beforeTheSwap);
            InlineRunner& workers = *runner;
            auto reader = std::make_unique<NotingReader>();
            NotingReader& noted = *reader;
            ReadAheadPlatform readAhead(systemPlatform(), std::move(reader), std::move(runner),
                                        Limits{});
            Platform& platform = reading == Reading::none ? systemPlatform() : readAhead;
            const std::string upperTop = platform.upperCase(top);
            const std::string swapped = top + "\\" + c.swapped;
            bool moved = true;
            bool reached = false;
            const std::vector<std::string> log =
                walkLog(platform, top, [&](const std::string& dir) {
                    if (dir != upperTop + "\\" + c.enteredAt)
                        return;
                    reached = true;
                    std::error_code refused;
                    fs::rename(hostPath(swapped), hostPath(swapped + ".away"), refused);
                    // Windows moves no folder that holds the working
                    // directory (Wine: that is it).
                    moved = !refused;
                    if (moved) {
                        EXPECT_TRUE(makeDirectoryLink(swapped, outside));
                    }
                    workers.runAll();
                });
            ASSERT_TRUE(reached);
            if (!moved)
                continue;
            ++swaps;
            EXPECT_NE(std::find(log.begin(), log.end(), "locked " + upperTop + "\\" + c.locked),
                      log.end());
            for (const std::string& line : log)
                EXPECT_EQ(line.find("secret"), std::string::npos) << line;
            EXPECT_EQ(noted.listed.count("secret.exe"), 0u);
            // Nor does a reader asked directly.
            const WalkRules rules(platform, WatchedNames{{}, true});
            for (const std::string& through : {swapped, swapped + "\\C"}) {
                readahead::Snapshot snapshot;
                readahead::ChildList children;
                EXPECT_FALSE(readahead::newSystemReader()->read(
                    hostPath(through), rules, std::size_t{1} << 20, snapshot, children))
                    << through;
            }
        }
    }
    EXPECT_GE(swaps, 3);
}

}  // namespace
}  // namespace velumtar::test
