#include "support/timer_source.h"

#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Firings = std::vector<int64_t>;  // milliseconds since the start

// A timer on a manual clock that records the time of every firing.
struct Recorder {
    ManualClock clock;
    std::shared_ptr<SerialQueue> queue = clock.makeQueue("test.timer");
    int64_t start = clock.uptimeNanos();
    Firings firings;
    std::function<void()> inside;  // runs in the handler
    std::shared_ptr<TimerSource> timer = TimerSource::create(queue, [this] {
        firings.push_back((clock.uptimeNanos() - start) / 1'000'000);
        if (inside) inside();
    });
};

TEST(TimerSource, FiresFromSchedulingOnceResumed) {
    Recorder r;
    r.timer->schedule(1s, 1s);
    r.clock.advance(400ms);
    EXPECT_EQ(r.firings, Firings{});  // nothing until resumed
    r.timer->resume();
    r.clock.advance(2700ms);
    EXPECT_EQ(r.firings, (Firings{1000, 2000, 3000}));

    Recorder once;
    once.timer->schedule(150ms);
    once.timer->resume();
    once.timer->resume();  // a second resume changes nothing
    once.clock.advance(1s);
    EXPECT_EQ(once.firings, Firings{150});
}

TEST(TimerSource, RescheduleReplacesThePendingDeadlineAlsoFromTheHandler) {
    Recorder r;
    r.timer->schedule(0ms, 8ms);
    r.timer->resume();
    r.clock.advance(10ms);  // fired at 0 and 8
    r.timer->schedule(0ms, 33ms);
    r.clock.advance(70ms);  // now at 10, 43, 76
    EXPECT_EQ(r.firings, (Firings{0, 8, 10, 43, 76}));

    Recorder self;
    self.inside = [&] {
        if (self.firings.size() == 2) self.timer->schedule(0ms, 33ms);  // slow down from inside
    };
    self.timer->schedule(0ms, 8ms);
    self.timer->resume();
    self.clock.advance(80ms);
    EXPECT_EQ(self.firings, (Firings{0, 8, 8, 41, 74}));
}

TEST(TimerSource, CancelledOrDroppedTimersNeverFireAgain) {
    Recorder r;
    r.timer->schedule(0ms, 8ms);
    r.timer->resume();
    r.clock.advance(20ms);
    r.timer->cancel();
    r.timer->schedule(0ms, 8ms);  // scheduling a cancelled timer does not revive it
    r.timer->resume();
    r.clock.advance(100ms);
    EXPECT_EQ(r.firings, (Firings{0, 8, 16}));

    Recorder dropped;
    dropped.timer->schedule(10ms, 10ms);
    dropped.timer->resume();
    dropped.timer.reset();
    dropped.clock.advance(100ms);
    EXPECT_EQ(dropped.firings, Firings{});
}

// Real threads: cancel() racing a fast timer. Once cancel() has returned and the queue has
// drained, the count never grows again.
TEST(TimerSource, CancelRacingAFastTimerOnARealQueue) {
    for (int round = 0; round < 20; ++round) {
        auto queue = SerialQueue::create("test.race");
        std::atomic<int> fired{0};
        auto timer = TimerSource::create(queue, [&] { ++fired; });
        timer->schedule(0ms, 1ms);
        timer->resume();
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 5)));
        std::thread canceller([&] { timer->cancel(); });
        std::thread rescheduler([&] { timer->schedule(0ms, 1ms); });
        canceller.join();
        rescheduler.join();
        queue->flush();
        const int after = fired.load();
        std::this_thread::sleep_for(5ms);
        queue->flush();
        EXPECT_EQ(fired.load(), after) << "round " << round;
    }
}

}  // namespace
}  // namespace panelora::test
