#include "latency_stats.h"

#include "test_prelude.h"

namespace panelora::tabletsim {
namespace {

TEST(LatencyStats, MedianAndP99OfKnownSamples) {
    LatencyStats stats;
    // 1 to 100 ms, added out of order.
    for (int i = 100; i >= 1; --i)
        stats.add(i * 1000);
    const LatencySummary s = stats.summary();
    EXPECT_EQ(s.samples, 100u);
    EXPECT_DOUBLE_EQ(s.medianMs, 50.5);  // mean of the 50th and 51st
    EXPECT_DOUBLE_EQ(s.p99Ms, 99.01);    // 99 + 0.01 of the way to 100
    EXPECT_DOUBLE_EQ(s.minMs, 1.0);
    EXPECT_DOUBLE_EQ(s.maxMs, 100.0);
    EXPECT_DOUBLE_EQ(s.meanMs, 50.5);
}

TEST(LatencyStats, OddCountAndOutlier) {
    LatencyStats stats;
    for (int64_t v : {4000, 2000, 3000, 1000, 900000})
        stats.add(v);
    EXPECT_DOUBLE_EQ(*stats.percentileMicros(50), 3000.0);
    EXPECT_DOUBLE_EQ(*stats.percentileMicros(0), 1000.0);
    EXPECT_DOUBLE_EQ(*stats.percentileMicros(100), 900000.0);
    // Rank 0.99 * 4 = 3.96: 4000 + 0.96 * 896000.
    EXPECT_DOUBLE_EQ(*stats.percentileMicros(99), 864160.0);
}

TEST(LatencyStats, SingleNegativeAndEmpty) {
    LatencyStats empty;
    EXPECT_FALSE(empty.percentileMicros(50));
    EXPECT_EQ(empty.summary(), LatencySummary{});

    LatencyStats one;
    one.add(-2500);  // a host whose clock is not this machine's monotonic clock
    EXPECT_DOUBLE_EQ(one.summary().medianMs, -2.5);
    EXPECT_DOUBLE_EQ(one.summary().p99Ms, -2.5);

    LatencyStats merged;
    merged.merge(one);
    merged.add(2500);
    EXPECT_EQ(merged.count(), 2u);
    EXPECT_DOUBLE_EQ(merged.summary().medianMs, 0.0);
    merged.clear();
    EXPECT_EQ(merged.count(), 0u);
}

}  // namespace
}  // namespace panelora::tabletsim
