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

// One runner's work: its step, and how many of its pieces wait.
struct Lane {
    std::function<int()> step;
    int workers = 0;  // at most this many threads in its steps at once
    // Changed under the lock; read without it to skip a wake that is not due.
    std::atomic<int> pending = 0, inStep = 0;
};

// What the threads share; they hold it, so it outlives a thread left behind.
struct Core {
    std::mutex mutex;
    std::condition_variable wake, ended;
    std::vector<std::shared_ptr<Lane>> lanes;
    int alive = 0;     // threads not yet ended
    int stepping = 0;  // of those, threads in a step
    bool closing = false;

    // A lane whose work waits and that has a thread to spare, or nullptr.
    std::shared_ptr<Lane> due() {
        for (const std::shared_ptr<Lane>& lane : lanes) {
            if (lane->pending > 0 && lane->inStep < lane->workers)
                return lane;
        }
        return nullptr;
    }

    // Wakes threads for `lane`: `count` more (never one already woken for it
    // or in its steps), or with `inAll` until `count` are awake. One thread
    // woken for nothing costs two system calls and a contended lock: no herd.
    void ask(Lane& lane, int count, bool inAll) {
        if (std::min(count, lane.workers) <= (inAll ? lane.inStep + lane.pending : 0))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        const int awake = lane.inStep + lane.pending;
        const int more =
            inAll ? std::min(count, lane.workers) - awake : std::min(count, lane.workers - awake);
        for (int i = 0; i < more; ++i) {
            ++lane.pending;
            wake.notify_one();
        }
    }

    void run(std::atomic<bool>& done) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            std::shared_ptr<Lane> lane;
            wake.wait(lock, [&] { return closing || (lane = due()) != nullptr; });
            if (closing)
                break;
            --lane->pending;
            ++lane->inStep;
            ++stepping;
            lock.unlock();
            for (int more; (more = lane->step()) >= 0;) {
                if (more > 0)
                    ask(*lane, more, true);
            }
            lock.lock();
            --lane->inStep;
            --stepping;
            ended.notify_all();
        }
        --alive;
        done.store(true);
        ended.notify_all();
    }
};

}  // namespace

struct SharedWorkers::Threads {
    struct Thread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    explicit Threads(int most) : limit(most) {}

    // Every thread between steps ends now; one still in a step (stuck in
    // the system: its runner stopped without it) ends on its own.
    ~Threads() {
        std::unique_lock<std::mutex> lock(core->mutex);
        core->closing = true;
        core->wake.notify_all();
        core->ended.wait(lock, [&] { return core->alive == core->stepping; });
        lock.unlock();
        for (Thread& each : threads) {
            if (each.done->load())
                each.thread.join();
            else
                each.thread.detach();
        }
    }

    // Makes threads up to `count` (at most `limit` in all); how many run.
    int grow(int count) {
        std::lock_guard<std::mutex> lock(core->mutex);
        while (static_cast<int>(threads.size()) < std::min(count, limit)) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                threads.push_back({std::thread([c = core, done] { c->run(*done); }), done});
                ++core->alive;
            } catch (const std::system_error&) {
                break;  // as many as the system would make
            }
        }
        return std::min(count, static_cast<int>(threads.size()));
    }

    const int limit;
    std::shared_ptr<Core> core = std::make_shared<Core>();
    std::vector<Thread> threads;
};

namespace {

class LaneRunner final : public WorkerRunner {
  public:
    explicit LaneRunner(std::shared_ptr<SharedWorkers::Threads> threads)
        : threads_(std::move(threads)) {}
    ~LaneRunner() override { stop(std::chrono::milliseconds(0)); }

    int start(int count, std::function<int()> step) override {
        stop(std::chrono::milliseconds(0));
        const int running = threads_->grow(count);
        if (running <= 0)
            return 0;
        lane_ = std::make_shared<Lane>();
        lane_->step = std::move(step);
        lane_->workers = running;
        Core& core = *threads_->core;
        std::lock_guard<std::mutex> lock(core.mutex);
        core.lanes.push_back(lane_);
        return running;
    }

    void wake(int count) override {
        if (lane_ && count > 0)
            threads_->core->ask(*lane_, count, false);
    }

    void keepAwake(int count) override {
        if (lane_ && count > 0)
            threads_->core->ask(*lane_, count, true);
    }

    void stop(std::chrono::milliseconds patience) override {
        if (!lane_)
            return;
        Core& core = *threads_->core;
        std::unique_lock<std::mutex> lock(core.mutex);
        core.lanes.erase(std::find(core.lanes.begin(), core.lanes.end(), lane_));
        lane_->pending = 0;
        // A thread still in a step after `patience` keeps the lane (and its
        // step) alive until it comes back.
        core.ended.wait_for(lock, patience, [&] { return lane_->inStep == 0; });
        lane_.reset();
    }

  private:
    std::shared_ptr<SharedWorkers::Threads> threads_;
    std::shared_ptr<Lane> lane_;
};

}  // namespace

SharedWorkers::SharedWorkers(int limit) : threads_(std::make_shared<Threads>(limit)) {}

SharedWorkers::~SharedWorkers() = default;

std::unique_ptr<WorkerRunner> SharedWorkers::runner() {
    return std::make_unique<LaneRunner>(threads_);
}

std::unique_ptr<WorkerRunner> newThreadRunner() {
    return SharedWorkers(64).runner();
}

}  // namespace velumtar
