// The gate between a capture backend and the capture queue: at most its limit queued (counted
// until each has run), the newest of the rest waiting in one slot, nothing after stop().
#include "video/sample_gate.h"

#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

CaptureSample numbered(int64_t n) {
    CaptureSample sample;
    sample.ptsNanos = n;
    return sample;
}

TEST(SampleGate, AtMostTheLimitQueuedAndTheNewestOfTheRestWaits) {
    ManualClock clock;
    auto queue = clock.makeQueue("capture");
    std::vector<int64_t> handled;
    auto gate = SampleGate::create(
        queue, [&](const CaptureSample& s) { handled.push_back(s.ptsNanos); }, 2);
    for (int64_t n = 1; n <= 5; ++n)
        gate->offer(numbered(n));
    EXPECT_EQ(clock.pendingTasks(), 2u);
    clock.runUntilIdle();
    EXPECT_EQ(handled, (std::vector<int64_t>{1, 2, 5}));

    gate->offer(numbered(6));
    gate->offer(numbered(7));
    gate->offer(numbered(8));  // waits behind 6 and 7, then stop() drops it
    gate->stop();
    gate->offer(numbered(9));
    clock.runUntilIdle();
    EXPECT_EQ(handled, (std::vector<int64_t>{1, 2, 5, 6, 7}));
}

}  // namespace
}  // namespace panelora::test
