#include "support/stop_signal.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Steady = std::chrono::steady_clock;

TEST(StopSignal, ARequestReachesEveryTokenAndEndsWaitsAtOnce) {
    StopToken outliving;
    {
        StopSource source;
        const StopToken token = source.token();
        outliving = token;
        EXPECT_FALSE(token.stopRequested());
        EXPECT_FALSE(token.waitFor(1ms));  // a timeout is not a stop
        source.requestStop();
        source.requestStop();
        EXPECT_TRUE(source.stopRequested());
        const auto before = Steady::now();
        EXPECT_TRUE(token.waitFor(30s));
        EXPECT_LT(Steady::now() - before, 5s);
    }
    EXPECT_TRUE(outliving.stopRequested());  // the source is gone, the request stays

    const StopToken none;  // of no source: sleeps, never stops
    EXPECT_FALSE(none.stopRequested());
    EXPECT_FALSE(none.waitFor(1ms));
}

TEST(StopSignal, ARequestFromAnotherThreadWakesEveryWaiterBeforeItsTimeout) {
    StopSource source;
    std::atomic<int> waiting{0};
    std::atomic<int> woken{0};
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
    source.requestStop();
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(woken, 3);
    EXPECT_LT(Steady::now() - before, 10s);
}

}  // namespace
}  // namespace panelora::test
