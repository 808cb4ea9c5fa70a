#include "support/manual_clock.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

// Time moves only when told: tasks run in deadline order once it reaches them, tasks posted by
// tasks for now in the same step. Sleeping moves it too (not once stopped), and a task that sleeps
// past the target does not turn it back. Wall-clock jumps leave uptime alone.
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

    int depth = 0;
    std::function<void()> chain = [&] {
        EXPECT_TRUE(queue->isCurrent());
        if (++depth < 5) queue->post(chain);
    };
    queue->post(chain);
    clock.runUntilIdle();
    EXPECT_EQ(depth, 5);
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

}  // namespace
}  // namespace panelora::test
