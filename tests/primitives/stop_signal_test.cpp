#include "support/stop_signal.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

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
