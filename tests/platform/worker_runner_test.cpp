#include "platform/worker_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

namespace velumtar {
namespace {

// Two runners on two shared threads: one runner's step stuck in the system
// holds neither the other runner's work, nor its own runner's stop, nor the
// end of the threads.
TEST(SharedWorkers, AStuckStepHoldsNeitherTheOtherRunnerNorTheEnd) {
    auto entered = std::make_shared<std::promise<void>>();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto workers = std::make_unique<SharedWorkers>(2);
    std::unique_ptr<WorkerRunner> stuck = workers->runner();
    std::unique_ptr<WorkerRunner> other = workers->runner();
    auto once = std::make_shared<std::atomic<bool>>(false);
    // Captured by value: the step outlives this test in a detached thread.
    ASSERT_EQ(stuck->start(1,
                           [entered, released, once] {
                               if (once->exchange(true))
                                   return -1;
                               entered->set_value();
                               released.wait();
                               return -1;
                           }),
              1);
    stuck->wake(1);
    entered->get_future().wait();

    std::atomic<int> done{0};
    std::promise<void> allDone;
    ASSERT_EQ(other->start(2,
                           [&] {
                               if (done.load() >= 5)
                                   return -1;
                               if (++done == 5)
                                   allDone.set_value();
                               return 0;
                           }),
              2);
    other->wake(1);
    ASSERT_EQ(allDone.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(done.load(), 5);

    stuck->stop(std::chrono::milliseconds(0));
    other->stop(std::chrono::milliseconds(0));
    workers.reset();
    stuck.reset();
    other.reset();  // the last owner: the threads end, the stuck one is left
    release.set_value();
}

}  // namespace
}  // namespace velumtar
