// A clock that moves only when a test says so, and the serial queues that run on it.
//
// Tasks posted to a manual queue from any thread are kept by the clock; advance() and
// runUntilIdle() run them on the calling thread, in deadline order (posting order for equal
// deadlines), moving the clock to each task's deadline before running it. So a timer that
// repeats every 35 ms fires at exactly 0.4 s, 0.435 s, … when the test advances by 0.5 s.
// One thread drives the clock at a time: two threads advancing it at once would run tasks of
// one queue in parallel.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "support/clock.h"
#include "support/serial_queue.h"

namespace panelora {

class ManualClock final : public Clock {
  public:
    // Uptime starts at 1000 s so that "no time yet" and "time zero" are never confused.
    explicit ManualClock(int64_t startUptimeNanos = 1'000'000'000'000,
                         WallTime startWall = WallTime{std::chrono::seconds{1'800'000'000}});
    ~ManualClock() override;

    int64_t uptimeNanos() const override;
    WallTime wallNow() const override;
    // Advances the clock by the duration (running what falls due) unless stop is requested.
    bool sleepFor(Duration duration, StopToken stop = {}) const override;

    // Moves time forward by `by`, running every task that falls due on the way.
    void advance(Duration by);
    // Runs every task that is due now, including the ones those tasks post for now.
    void runUntilIdle();
    // Moves the wall clock alone (a user or NTP changing the time); uptime does not move.
    void jumpWallClock(Duration by);

    // Tasks waiting (due now or later), for tests that check nothing is left behind.
    size_t pendingTasks() const;

    // A serial queue whose tasks run on this clock. The clock must outlive its queues.
    std::shared_ptr<SerialQueue> makeQueue(std::string label);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace panelora
