#include "support/timer_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "support/manual_clock.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;

// Records the clock time of every firing, relative to the start of the test.
struct Recorder {
    ManualClock clock;
    std::shared_ptr<SerialQueue> queue = clock.makeQueue("test.timer");
    int64_t start = clock.uptimeNanos();
    std::vector<int64_t> firings;  // milliseconds

    std::shared_ptr<TimerSource> make() {
        return TimerSource::create(
            queue, [this] { firings.push_back((clock.uptimeNanos() - start) / 1'000'000); });
    }
};

TEST(TimerSource, DoesNothingUntilResumed) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(10ms, 10ms);
    r.clock.advance(100ms);
    EXPECT_TRUE(r.firings.empty());
}

TEST(TimerSource, FirstDeadlineCountsFromSchedulingNotFromResume) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(1s, 1s);
    r.clock.advance(400ms);
    timer->resume();
    r.clock.advance(2700ms);
    EXPECT_EQ(r.firings, (std::vector<int64_t>{1000, 2000, 3000}));
}

TEST(TimerSource, KeyRepeatCadence) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(400ms, 35ms);
    timer->resume();
    r.clock.advance(450ms);
    EXPECT_EQ(r.firings, (std::vector<int64_t>{400, 435}));
}

TEST(TimerSource, OneShotFiresOnce) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(150ms);
    timer->resume();
    timer->resume();  // a second resume changes nothing
    r.clock.advance(1s);
    EXPECT_EQ(r.firings, (std::vector<int64_t>{150}));
}

TEST(TimerSource, CancelledTimerNeverFiresAgain) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(0ms, 8ms);
    timer->resume();
    r.clock.advance(20ms);
    timer->cancel();
    timer->schedule(0ms, 8ms);  // scheduling a cancelled timer does not revive it
    timer->resume();
    r.clock.advance(100ms);
    EXPECT_EQ(r.firings, (std::vector<int64_t>{0, 8, 16}));
    EXPECT_TRUE(timer->isCancelled());
}

TEST(TimerSource, RescheduleReplacesThePendingDeadline) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(0ms, 8ms);
    timer->resume();
    r.clock.advance(10ms);  // fired at 0 and 8
    timer->schedule(0ms, 33ms);
    r.clock.advance(70ms);  // now at 10, 43, 76
    EXPECT_EQ(r.firings, (std::vector<int64_t>{0, 8, 10, 43, 76}));
}

TEST(TimerSource, HandlerCanRescheduleItsOwnTimer) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.self");
    int64_t start = clock.uptimeNanos();
    std::vector<int64_t> firings;
    std::shared_ptr<TimerSource> timer;
    timer = TimerSource::create(queue, [&] {
        firings.push_back((clock.uptimeNanos() - start) / 1'000'000);
        if (firings.size() == 2) timer->schedule(0ms, 33ms);  // slow down from inside
    });
    timer->schedule(0ms, 8ms);
    timer->resume();
    clock.advance(80ms);
    EXPECT_EQ(firings, (std::vector<int64_t>{0, 8, 8, 41, 74}));
    timer->cancel();
}

TEST(TimerSource, DroppedTimerNeverFires) {
    Recorder r;
    auto timer = r.make();
    timer->schedule(10ms, 10ms);
    timer->resume();
    timer.reset();
    r.clock.advance(100ms);
    EXPECT_TRUE(r.firings.empty());
}

TEST(TimerSource, HandlerHoldingItsOwnerWeaklyDoesNothingOnceTheOwnerIsGone) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.owner");
    struct Owner {
        int ticks = 0;
    };
    auto owner = std::make_shared<Owner>();
    std::weak_ptr<Owner> weak = owner;
    int handlerCalls = 0;
    auto timer = TimerSource::create(queue, [weak, &handlerCalls] {
        ++handlerCalls;
        if (auto o = weak.lock()) ++o->ticks;
    });
    timer->schedule(0ms, 10ms);
    timer->resume();
    clock.advance(25ms);
    EXPECT_EQ(owner->ticks, 3);
    owner.reset();
    clock.advance(25ms);
    EXPECT_EQ(handlerCalls, 6);  // 30, 40 and 50 ms still reach the handler, not the owner
    EXPECT_TRUE(weak.expired());
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
        int after = fired.load();
        std::this_thread::sleep_for(5ms);
        queue->flush();
        EXPECT_EQ(fired.load(), after) << "round " << round;
    }
}

}  // namespace
}  // namespace panelora
