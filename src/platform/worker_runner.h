// Worker threads, handed in from outside so that tests can run the workers'
// steps inline, on the calling thread, at the moments they choose.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace velumtar {

// Runs workers. A worker calls `step`, which does one piece of work and
// returns how many workers should be awake (as keepAwake()), or -1 when none
// was due; after -1 it waits to be woken.
class WorkerRunner {
  public:
    virtual ~WorkerRunner() = default;
    // Starts up to `count` workers; returns how many run (0 when no thread
    // could be made).
    virtual int start(int count, std::function<int()> step) = 0;
    // Up to `count` more pieces of work wait: wakes as many idle workers,
    // never one already woken or in its steps.
    virtual void wake(int count) = 0;
    // Wakes idle workers until `count` are awake, those already woken or in
    // their steps included.
    virtual void keepAwake(int count) = 0;
    // Ends the workers after their current step. One still in a step after
    // `patience` (stuck in the system) is left behind and ends on its own:
    // whatever its step uses must outlive the runner.
    virtual void stop(std::chrono::milliseconds patience) = 0;
};

// Threads that several runners share: the reading of directories ahead of
// the walk and the reading of file contents take turns on the same threads
// instead of each making its own. A thread serves whichever runner has work
// waiting; a runner's `start(count, ...)` makes threads up to `count` (and at
// most `limit` in all). Runners may outlive this object; the threads end
// when the last of them and this object are gone.
class SharedWorkers {
  public:
    explicit SharedWorkers(int limit);
    ~SharedWorkers();
    SharedWorkers(const SharedWorkers&) = delete;
    SharedWorkers& operator=(const SharedWorkers&) = delete;

    std::unique_ptr<WorkerRunner> runner();

    struct Threads;

  private:
    std::shared_ptr<Threads> threads_;
};

// Workers on threads of their own.
std::unique_ptr<WorkerRunner> newThreadRunner();

}  // namespace velumtar
