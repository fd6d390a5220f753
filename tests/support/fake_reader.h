// Reading ahead over the in-memory tree of a FakePlatform: a reader of the
// tree (native paths are the tree's keys) and a runner that does the
// workers' steps on the calling thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/read_ahead.h"
#include "support/fake_platform.h"

namespace velumtar::test {

class FakeReader final : public readahead::DirectoryReader {
  public:
    explicit FakeReader(FakePlatform& platform) : platform_(platform) {}
    // When readings begin (ns since 1970); directories changed within 20 ms
    // before it are not served.
    std::int64_t now = FakeEntry::kSettled + 1000000000;
    std::vector<std::string> reads;                     // the natives read, in order
    std::function<void(const std::string&)> afterRead;  // after each reading

    bool read(const std::string& native, const WalkPlan& plan, std::size_t maxBytes,
              readahead::Snapshot& out, readahead::ChildList& children) override;
    bool workingNative(std::string& native) override {
        native = platform_.workingDirectory;
        return true;
    }
    bool stampWorking(readahead::DirectoryStamp& now) override {
        now = stampOf(platform_.workingDirectory);
        return true;
    }

  private:
    readahead::DirectoryStamp stampOf(const std::string& native) const;
    FakePlatform& platform_;
};

// Does the workers' steps on the calling thread: at every `every`-th wake
// all that are due (0: never, so that the walk's thread does each itself).
// `threads` 0: no worker can be made.
class InlineRunner final : public WorkerRunner {
  public:
    explicit InlineRunner(int every, int threads = 1) : every_(every), threads_(threads) {}
    int steps = 0;

    int start(int count, std::function<int()> step) override {
        step_ = std::move(step);
        return std::min(count, threads_);
    }
    void wake(int count) override {
        if (count <= 0 || every_ == 0 || !step_ || inStep_ || ++wakes_ % every_ != 0)
            return;
        inStep_ = true;
        while (step_() >= 0)
            ++steps;
        inStep_ = false;
    }
    void keepAwake(int count) override { wake(count); }
    void stop(std::chrono::milliseconds) override { step_ = nullptr; }
    // Every step due now, woken or not.
    void runAll() {
        while (step_ && step_() >= 0)
            ++steps;
    }

  private:
    const int every_, threads_;
    int wakes_ = 0;
    bool inStep_ = false;
    std::function<int()> step_;
};

}  // namespace velumtar::test
