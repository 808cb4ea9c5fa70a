#include "support/manual_clock.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(ManualClock, WallClockJumpsLeaveUptimeAlone) {
    ManualClock clock;
    const int64_t uptime = clock.uptimeNanos();
    const WallTime wall = clock.wallNow();
    clock.jumpWallClock(-1h);
    EXPECT_EQ(clock.uptimeNanos(), uptime);
    EXPECT_EQ(clock.wallNow(), wall - 1h);
    clock.advance(2s);
    EXPECT_EQ(clock.uptimeNanos(), uptime + 2'000'000'000);
    EXPECT_EQ(clock.wallNow(), wall - 1h + 2s);
}

TEST(ManualClock, SleepAdvancesTimeAndRunsWhatFallsDueUnlessStopped) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.sleep");
    bool ran = false;
    queue->postAfter(250ms, [&] { ran = true; });
    const int64_t before = clock.uptimeNanos();
    EXPECT_TRUE(clock.sleepFor(300ms));
    EXPECT_TRUE(ran);
    EXPECT_EQ(clock.uptimeNanos() - before, 300'000'000);
    StopSource stop;
    stop.requestStop();
    EXPECT_FALSE(clock.sleepFor(300ms, stop.token()));
    EXPECT_EQ(clock.uptimeNanos() - before, 300'000'000);
}

TEST(ManualClock, ATaskThatSleepsPastTheTargetDoesNotTurnTimeBack) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.nested");
    const int64_t start = clock.uptimeNanos();
    queue->postAfter(500ms, [&] { clock.sleepFor(2s); });
    clock.advance(1s);
    EXPECT_EQ(clock.uptimeNanos() - start, 2'500'000'000);
}

TEST(SystemClock, SleepEndsEarlyWhenStopIsRequested) {
    StopSource stop;
    std::thread requester([&] {
        std::this_thread::sleep_for(20ms);
        stop.requestStop();
    });
    const int64_t before = Clock::system().uptimeNanos();
    EXPECT_FALSE(Clock::system().sleepFor(30s, stop.token()));
    requester.join();
    EXPECT_LT(Clock::system().uptimeNanos() - before, 10'000'000'000);
}

}  // namespace
}  // namespace panelora::test
