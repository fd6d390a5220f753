// Reading ahead: its schedule on its own, and the walk through it over the
// in-memory tree with the workers run inline (the whole walk's suite runs
// through it as well, see directory_walk_test.cpp).
#include "platform/read_ahead.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "scan/directory_walk.h"
#include "support/fake_reader.h"
#include "support/scan_fixture.h"

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
    Schedule schedule(limits);
    const UpperPlan plan;
    auto add = [&](const std::string& parent, std::vector<std::string> names) {
        ChildList* list = schedule.newList();
        list->reset(parent, parent);
        for (const std::string& name : names)
            list->add(plan, name);
        schedule.add(list);
    };
    std::vector<std::string> order;
    Schedule::Task task;
    auto drain = [&] {
        while (schedule.next(task)) {
            order.push_back(task.key);
            schedule.finished(task, task.key != "C:\\FAILS\\*");
            ASSERT_EQ(schedule.state(task.key), task.key == "C:\\FAILS\\*"
                                                    ? Schedule::State::unknown
                                                    : Schedule::State::ready);
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
    schedule.giveBack(task.snapshot);
    schedule.giveBack(task.children);
    order.clear();
    drain();
    EXPECT_EQ(order, (std::vector<std::string>{"C:\\FAILS\\*", "C:\\ZETA\\*"}));
    EXPECT_EQ(schedule.reach("C:\\TWIN\\*", task), Schedule::State::unknown);
    EXPECT_EQ(schedule.reach("C:\\ZETA\\*", task), Schedule::State::ready);
}

struct ReadAhead : ScanFixture {
    FindingCounters counters;
    FakeReader* reader = nullptr;
    std::unique_ptr<ReadAheadPlatform> readAhead;

    explicit ReadAhead(std::unique_ptr<readahead::WorkerRunner> runner, Limits limits = Limits{}) {
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
        {"fine times, settled", settled, 2},
        {"whole seconds", settled - settled % 1000000000, 0},
        {"changed 10 ms before the reading", settled + 990000000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReadAhead r(std::make_unique<InlineRunner>(true));
        r.platform.addFile("C:\\A\\a.exe", 1);
        r.platform.addFile("C:\\B\\b.exe", 2);
        r.platform.tree["C:\\A"].changedAt = r.platform.tree["C:\\B"].changedAt = c.changedAt;
        EXPECT_TRUE(r.walk());
        EXPECT_EQ(r.readAhead->counts().served, c.served);
        EXPECT_EQ(r.readAhead->counts().refused, 2 - c.served);
    }
}

// Changed between its reading and its turn: listed by the system, and what
// the walk records is the directory as it is then.
TEST(ReadAhead, ADirectoryChangedAfterItsReadingIsListedAtItsTurn) {
    ReadAhead r(std::make_unique<InlineRunner>(true));
    r.platform.addFile("C:\\A\\a.exe", 1);
    r.platform.addFile("C:\\B\\b.exe", 2);
    r.reader->afterRead = [&](const std::string& native) {
        if (native != "C:\\B")
            return;
        r.platform.addFile("C:\\B\\new.exe", 3);
        r.platform.tree["C:\\B"].changedAt += 1000;
    };
    EXPECT_TRUE(r.walk());
    EXPECT_EQ(r.readAhead->counts().served, 1u);
    EXPECT_EQ(r.readAhead->counts().refused, 1u);
    r.workFile.clearRecord();
    r.workFile.view().at(workrec::recordType) = 'F';
    r.workFile.view().set(workrec::path, "C:\\B\\NEW.EXE");
    EXPECT_TRUE(r.workFile.readByKey());
}

// The walk's exclusions apply before anything is read: a directory it never
// enters is never opened (a stuck network mount there cannot hold a worker).
TEST(ReadAhead, DirectoriesTheWalkNeverEntersAreNeverRead) {
    ReadAhead r(std::make_unique<InlineRunner>(true));
    r.platform.addFile("C:\\RECYCLER\\x.exe", 1);
    r.platform.addFile("C:\\Data\\System Volume Information\\x.exe", 1);
    r.platform.addFile("C:\\$Recycle.Bin\\x.exe", 1);
    r.platform.addFile("C:\\Data\\t\\x.exe", 1);
    r.platform.addDirectory("C:\\Data\\T");  // a twin: the walk's own listing decides
    EXPECT_TRUE(r.walk());
    EXPECT_EQ(r.reader->reads, std::vector<std::string>{"C:\\DATA"});
}

// No thread to be had (RLIMIT_NPROC): the run goes on without reading ahead.
TEST(ReadAhead, WithoutThreadsTheWalkGoesOnAlone) {
    ReadAhead r(std::make_unique<InlineRunner>(true, 0));
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
              readahead::Snapshot& out) override {
        if (native == "C:\\STUCK") {
            std::unique_lock<std::mutex> lock(mutex);
            stuck = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            return false;
        }
        return fake_.read(native, plan, maxBytes, out);
    }
    std::string childNative(const std::string& parent, std::string_view name) override {
        return fake_.childNative(parent, name);
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
    bool changeDirectory(std::string_view path) override {
        if (path.find("STUCK") != std::string_view::npos) {
            std::unique_lock<std::mutex> lock(reader_.mutex);
            reader_.changed.wait(lock, [&] { return reader_.stuck; });
        }
        return inner().changeDirectory(path);
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
        ReadAheadPlatform platform(waiting, std::move(reader), readahead::newThreadRunner(),
                                   limits);
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

}  // namespace
}  // namespace velumtar::test
