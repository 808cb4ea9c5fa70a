// The manual clock the unit tests run on, and the stop signal that ends waits.
#include "support/manual_clock.h"
#include "support/stop_signal.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

// Time moves only when told: tasks run in deadline order once it reaches them. Sleeping moves it
// too (not once stopped), and a task that sleeps past the target does not turn it back.
// Wall-clock jumps leave uptime alone. (Tasks that post tasks run to the end in runUntilIdle, which
// the controller, session and capture tests rely on throughout.)
TEST(ManualClock, RunsTasksOnlyWhenTimeMoves) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.manual");
    const int64_t start = clock.uptimeNanos();
    auto elapsedMs = [&] { return (clock.uptimeNanos() - start) / 1'000'000; };
    std::vector<std::pair<int, int64_t>> seen;  // which, and when
    auto at = [&](int which) { return [&, which] { seen.push_back({which, elapsedMs()}); }; };
    queue->postAfter(300ms, at(3));
    queue->postAfter(100ms, at(2));
    queue->post(at(1));
    EXPECT_TRUE(seen.empty());
    clock.advance(200ms);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int64_t>>{{1, 0}, {2, 100}}));
    EXPECT_TRUE(clock.sleepFor(150ms));
    EXPECT_EQ(seen.back(), std::pair(3, int64_t{300}));
    StopSource stop;
    stop.requestStop();
    EXPECT_FALSE(clock.sleepFor(300ms, stop.token()));
    EXPECT_EQ(elapsedMs(), 350);
    queue->postAfter(500ms, [&] { clock.sleepFor(2s); });
    clock.advance(1s);
    EXPECT_EQ(elapsedMs(), 2850);

    const WallTime wall = clock.wallNow();
    clock.jumpWallClock(-1h);
    clock.advance(2s);
    EXPECT_EQ(elapsedMs(), 4850);
    EXPECT_EQ(clock.wallNow(), wall - 1h + 2s);
}

using Steady = std::chrono::steady_clock;

// A timeout is not a stop. A request, from any thread, wakes every waiter long before its timeout
// and stays when the source is gone; a token of no source only sleeps.
TEST(StopSignal, ARequestReachesEveryTokenAndWakesEveryWaiter) {
    StopToken outliving;
    {
        StopSource source;
        outliving = source.token();
        EXPECT_FALSE(outliving.waitFor(1ms));
        std::atomic<int> waiting{0}, woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&, token = source.token()] {
                ++waiting;
                if (token.waitFor(30s)) ++woken;
            });
        }
        ASSERT_TRUE(eventually([&] { return waiting == 3; }));
        std::this_thread::sleep_for(20ms);  // let them block
        const auto before = Steady::now();
        std::thread([&] { source.requestStop(); }).join();
        source.requestStop();
        for (std::thread& waiter : waiters)
            waiter.join();
        EXPECT_EQ(woken, 3);
        EXPECT_LT(Steady::now() - before, 10s);
        EXPECT_TRUE(source.stopRequested());
    }
    EXPECT_TRUE(outliving.stopRequested());
    EXPECT_TRUE(outliving.waitFor(30s));
    const StopToken none;
    EXPECT_FALSE(none.stopRequested() || none.waitFor(1ms));
}

}  // namespace
}  // namespace panelora::test
