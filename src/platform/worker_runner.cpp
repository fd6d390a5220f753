#include "platform/worker_runner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace velumtar {

namespace {

class ThreadRunner final : public WorkerRunner {
  public:
    ~ThreadRunner() override { stop(std::chrono::milliseconds(0)); }

    int start(int count, std::function<int()> step) override {
        state_ = std::make_shared<State>();
        state_->step = std::move(step);
        std::lock_guard<std::mutex> lock(state_->mutex);
        for (int i = 0; i < count; ++i) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                threads_.push_back(
                    {std::thread([state = state_, done] { run(*state, *done); }), done});
                ++state_->running;
            } catch (const std::system_error&) {
                break;  // as many as the system would make
            }
        }
        return static_cast<int>(threads_.size());
    }

    void wake(int count) override {
        if (state_ && count > 0)
            wakeIdle(*state_, count, false);
    }

    void keepAwake(int count) override {
        if (state_ && count > 0)
            wakeIdle(*state_, count, true);
    }

    void stop(std::chrono::milliseconds patience) override {
        if (!state_)
            return;
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->stopping = true;
        state_->wake.notify_all();
        state_->ended.wait_for(lock, patience, [&] { return state_->running == 0; });
        lock.unlock();
        for (Worker& worker : threads_) {
            if (worker.done->load())
                worker.thread.join();
            else
                worker.thread.detach();  // stuck in the system: ends on its own
        }
        threads_.clear();
        state_.reset();
    }

  private:
    struct State {
        std::function<int()> step;
        std::mutex mutex;
        std::condition_variable wake, ended;
        int pending = 0;  // wakes not yet taken
        int busy = 0;     // workers in their steps
        int running = 0;
        bool stopping = false;
    };
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    static void run(State& state, std::atomic<bool>& done) {
        std::unique_lock<std::mutex> lock(state.mutex);
        for (;;) {
            state.wake.wait(lock, [&] { return state.pending > 0 || state.stopping; });
            if (state.stopping)
                break;
            --state.pending;
            ++state.busy;
            lock.unlock();
            for (int more; (more = state.step()) >= 0;) {
                if (more > 0)
                    wakeIdle(state, more, true);
            }
            lock.lock();
            --state.busy;
        }
        --state.running;
        done.store(true);
        state.ended.notify_all();
    }

    // One worker woken for nothing costs two system calls and a contended
    // lock: no herd.
    static void wakeIdle(State& state, int count, bool inAll) {
        std::lock_guard<std::mutex> lock(state.mutex);
        const int awake = state.busy + state.pending;
        const int more =
            inAll ? std::min(count, state.running) - awake : std::min(count, state.running - awake);
        for (int i = 0; i < more; ++i) {
            ++state.pending;
            state.wake.notify_one();
        }
    }

    std::shared_ptr<State> state_;
    std::vector<Worker> threads_;
};

}  // namespace

std::unique_ptr<WorkerRunner> newThreadRunner() {
    return std::make_unique<ThreadRunner>();
}

}  // namespace velumtar
