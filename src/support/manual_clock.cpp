#include "support/manual_clock.h"

#include <algorithm>
#include <map>
#include <utility>

namespace panelora {

struct ManualClock::State {
    mutable std::mutex mutex;
    int64_t uptime;
    WallTime wallStart;
    int64_t uptimeStart;
    Duration wallOffset{0};
    uint64_t nextSequence = 0;
    // (deadline, sequence) -> (queue id, task)
    std::map<std::pair<int64_t, uint64_t>, std::pair<const void*, SerialQueue::Task>> tasks;

    void add(int64_t deadline, const void* queue, SerialQueue::Task task) {
        std::lock_guard lock(mutex);
        tasks.emplace(std::make_pair(deadline, nextSequence++),
                      std::make_pair(queue, std::move(task)));
    }
};

namespace {

thread_local const void* currentManualQueue = nullptr;

class ManualQueue final : public SerialQueue {
  public:
    ManualQueue(std::string label, ManualClock& clock, std::shared_ptr<ManualClock::State> state)
        : SerialQueue(std::move(label)), clock_(clock), state_(std::move(state)) {}

    const Clock& clock() const override { return clock_; }

    void post(Task task) override { postAfter(Duration::zero(), std::move(task)); }

    void postAfter(Duration delay, Task task) override {
        int64_t now = clock_.uptimeNanos();
        int64_t deadline = delay > Duration::zero() ? now + delay.count() : now;
        state_->add(deadline, this, std::move(task));
    }

    bool isCurrent() const override { return currentManualQueue == this; }

    void flush() override {
        if (!isCurrent()) clock_.runUntilIdle();
    }

  private:
    ManualClock& clock_;
    std::shared_ptr<ManualClock::State> state_;
};

}  // namespace

ManualClock::ManualClock(int64_t startUptimeNanos, WallTime startWall)
    : state_(std::make_shared<State>()) {
    state_->uptime = startUptimeNanos;
    state_->uptimeStart = startUptimeNanos;
    state_->wallStart = startWall;
}

ManualClock::~ManualClock() = default;

int64_t ManualClock::uptimeNanos() const {
    std::lock_guard lock(state_->mutex);
    return state_->uptime;
}

WallTime ManualClock::wallNow() const {
    std::lock_guard lock(state_->mutex);
    return state_->wallStart +
           std::chrono::duration_cast<WallTime::duration>(
               Duration(state_->uptime - state_->uptimeStart) + state_->wallOffset);
}

void ManualClock::advance(Duration by) {
    int64_t target;
    {
        std::lock_guard lock(state_->mutex);
        target = state_->uptime + std::max<int64_t>(by.count(), 0);
    }
    for (;;) {
        SerialQueue::Task task;
        const void* queue = nullptr;
        {
            std::lock_guard lock(state_->mutex);
            auto first = state_->tasks.begin();
            if (first == state_->tasks.end() || first->first.first > target) {
                // A task may have slept past the target (a nested advance); time never goes back.
                state_->uptime = std::max(state_->uptime, target);
                return;
            }
            state_->uptime = std::max(state_->uptime, first->first.first);
            queue = first->second.first;
            task = std::move(first->second.second);
            state_->tasks.erase(first);
        }
        const void* outer = currentManualQueue;
        currentManualQueue = queue;
        task();
        currentManualQueue = outer;
    }
}

bool ManualClock::sleepFor(Duration duration, StopToken stop) const {
    if (stop.stopRequested()) return false;
    const_cast<ManualClock*>(this)->advance(duration);
    return !stop.stopRequested();
}

void ManualClock::runUntilIdle() {
    advance(Duration::zero());
}

void ManualClock::jumpWallClock(Duration by) {
    std::lock_guard lock(state_->mutex);
    state_->wallOffset += by;
}

size_t ManualClock::pendingTasks() const {
    std::lock_guard lock(state_->mutex);
    return state_->tasks.size();
}

std::shared_ptr<SerialQueue> ManualClock::makeQueue(std::string label) {
    return std::make_shared<ManualQueue>(std::move(label), *this, state_);
}

}  // namespace panelora
