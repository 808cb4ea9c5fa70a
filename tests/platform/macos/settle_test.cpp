// Quitting's wait for the session to wind down, on a manual clock.
#include "platform/macos/portable/settle.h"

#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using std::chrono::milliseconds;

// Checks every 20 ms from the start on the queue, not in the caller; done once, when the
// condition holds or at the deadline, with nothing left behind.
TEST(Settle, CallsDoneOnceTheConditionHoldsOrAtTheDeadline) {
    struct Case {
        int holdsAtCheck;  // 0: never
        bool settled;
        int64_t doneAtMs;
        int checks;
    };
    const Case cases[] = {{4, true, 60, 4}, {0, false, 100, 6}, {1, true, 0, 1}};
    for (const Case& c : cases) {
        ManualClock clock;
        auto queue = clock.makeQueue("main");
        int checks = 0;
        std::vector<std::pair<bool, int64_t>> done;
        const int64_t start = clock.uptimeNanos();
        waitUntilSettled(
            queue, [&] { return ++checks == c.holdsAtCheck; }, milliseconds(100), milliseconds(20),
            [&](bool settled) { done.emplace_back(settled, clock.uptimeNanos() - start); });
        EXPECT_EQ(checks, 0);
        clock.advance(std::chrono::seconds(10));
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].first, c.settled);
        EXPECT_EQ(done[0].second, milliseconds(c.doneAtMs).count() * 1'000'000);
        EXPECT_EQ(checks, c.checks);
        EXPECT_EQ(clock.pendingTasks(), 0u);
    }
}

}  // namespace
}  // namespace panelora::test
