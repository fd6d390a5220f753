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
              readahead::Snapshot& out) override;
    std::string childNative(const std::string& parent, std::string_view name) override {
        return platform_.childKey(parent, name);
    }
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

// Runs the workers' steps when woken: every step due (`eager`), or none, so
// that the walk's thread reads each directory itself. `threads` 0: no
// worker can be made.
class InlineRunner final : public readahead::WorkerRunner {
  public:
    explicit InlineRunner(bool eager, int threads = 1) : eager_(eager), threads_(threads) {}
    int steps = 0;

    int start(int count, std::function<int()> step) override {
        step_ = std::move(step);
        return std::min(count, threads_);
    }
    void wake(int count) override {
        if (count <= 0 || !eager_ || !step_ || inStep_)
            return;
        inStep_ = true;
        while (step_() >= 0)
            ++steps;
        inStep_ = false;
    }
    void stop(std::chrono::milliseconds) override { step_ = nullptr; }

  private:
    const bool eager_;
    const int threads_;
    bool inStep_ = false;
    std::function<int()> step_;
};

}  // namespace velumtar::test
