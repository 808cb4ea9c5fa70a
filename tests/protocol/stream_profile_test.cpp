#include "protocol/stream_profile.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

constexpr bool Sharp = false;
constexpr bool Smooth = true;

std::optional<double> scaleFor(int space) {
    return space == 0 ? std::nullopt : std::optional(space / 100.0);  // 0 is Auto
}

TEST(StreamProfile, WorkedExamples) {
    // The tablet's pixels and rate, the quality, the "Screen space" setting, and the profile.
    const std::tuple<int64_t, int64_t, int64_t, bool, int, StreamProfile> cases[] = {
        {2732, 2048, 120, Sharp, 0, {2732, 2048, 60, 67141632, 1708, 1280}},
        {2732, 2048, 120, Smooth, 0, {1796, 1346, 120, 43513488, 1708, 1280}},
        {2732, 2048, 120, Smooth, 150, {1796, 1346, 120, 43513488, 2050, 1536}},
        {2732, 2048, 60, Sharp, 100, {2732, 2048, 60, 67141632, 1366, 1024}},  // overrides 1.25
        {2360, 1640, 60, Sharp, 0, {2360, 1640, 60, 46444800, 1180, 820}},
        {2360, 1640, 60, Smooth, 100, {2360, 1640, 60, 46444800, 1180, 820}},
        {2360, 1640, 60, Sharp, 125, {2360, 1640, 60, 46444800, 1476, 1026}},
        {2360, 1640, 60, Sharp, 150, {2360, 1640, 60, 46444800, 1770, 1230}},
        {2388, 1668, 120, Smooth, 0, {1860, 1300, 120, 43524000, 1194, 834}},
        {640, 480, 24, Sharp, 0, {640, 480, 30, 8000000, 320, 240}},
        // 90 Hz: Smooth keeps 90 fps at the 0.15 density, Sharp is capped at 60 with 0.2.
        {1600, 1200, 90, Smooth, 0, {1600, 1200, 90, 25920000, 800, 600}},
        {1600, 1200, 90, Sharp, 0, {1600, 1200, 60, 23040000, 800, 600}},
        // Auto space switches to 1.25 at 2600 pixels.
        {2599, 1600, 60, Sharp, 0, {2600, 1600, 60, 49920000, 1300, 800}},
        {2600, 1600, 60, Sharp, 0, {2600, 1600, 60, 49920000, 1626, 1000}},
    };
    for (const auto& [pixelWidth, pixelHeight, maxFPS, preferSmooth, space, expected] : cases) {
        const auto p = StreamProfile::negotiate(pixelWidth, pixelHeight, maxFPS, preferSmooth,
                                                scaleFor(space));
        EXPECT_EQ(p, expected) << pixelWidth << "x" << pixelHeight << " @" << maxFPS
                               << (preferSmooth ? " Smooth" : " Sharp") << " space " << space
                               << " -> " << p.summary();
    }
}

TEST(StreamProfile, ClampsOfRateBitRateAndScale) {
    for (auto [maxFPS, fps] : {std::pair{1, 30}, {59, 59}, {255, 120}})
        EXPECT_EQ(StreamProfile::negotiate(1024, 768, maxFPS, Smooth, std::nullopt).fps, fps);
    // 8192 x 8192 Sharp: reduced to the 486.4 Mpx/s budget, 0.2 density -> over 90 Mbit/s.
    const auto top = StreamProfile::negotiate(8192, 8192, 255, Sharp, std::nullopt);
    EXPECT_LT(top.width, 8192);
    EXPECT_EQ(top.bitrate, 90000000);
    // The scale is clamped to 1 … 1.5; NaN acts as the smallest space.
    const auto base = StreamProfile::negotiate(2360, 1640, 60, Sharp, 1.0);
    const auto widest = StreamProfile::negotiate(2360, 1640, 60, Sharp, 1.5);
    for (double scale : {0.8, 0.0, -2.0, std::nan("")})
        EXPECT_EQ(StreamProfile::negotiate(2360, 1640, 60, Sharp, scale), base) << scale;
    for (double scale : {2.0, std::numeric_limits<double>::infinity()})
        EXPECT_EQ(StreamProfile::negotiate(2360, 1640, 60, Sharp, scale), widest) << scale;
    // Impossible sizes give the fallback.
    const StreamProfile fallback{2048, 1536, 60, 20000000, 1024, 768};
    EXPECT_EQ(StreamProfile::negotiate(0, 1536, 60, Sharp, std::nullopt), fallback);
    EXPECT_EQ(StreamProfile::negotiate(2048, -1, 60, Sharp, std::nullopt), fallback);
    EXPECT_EQ(StreamProfile::negotiate(1 << 20, 1536, 60, Sharp, 1.5), fallback);
}

TEST(StreamProfile, EveryAcceptedHelloGivesAValidProfile) {
    // A coarse sweep over what parseHello accepts, both qualities and all four spaces.
    for (int64_t w = 640; w <= 8192; w += 397) {
        for (int64_t h = 480; h <= w; h += 511) {
            for (int64_t fps : {1, 29, 60, 90, 120, 255}) {
                for (bool smooth : {false, true}) {
                    for (int space : {0, 100, 125, 150}) {
                        const auto p = StreamProfile::negotiate(w, h, fps, smooth, scaleFor(space));
                        SCOPED_TRACE(p.summary());
                        ASSERT_TRUE(p.width >= 2 && p.width % 2 == 0 && p.width <= w + 1);
                        ASSERT_TRUE(p.height >= 2 && p.height % 2 == 0);
                        ASSERT_TRUE(p.fps >= 30 && p.fps <= (smooth ? 120 : 60));
                        ASSERT_TRUE(p.bitrate >= 8000000 && p.bitrate <= 90000000);
                        ASSERT_TRUE(p.logicalWidth >= 2 && p.logicalWidth % 2 == 0);
                        ASSERT_TRUE(p.logicalHeight >= 2 && p.logicalHeight % 2 == 0);
                        // Pixel rate stays within the budget (allowing for rounding up).
                        const double budget = smooth ? 290e6 : 486.4e6;
                        ASSERT_LE(double(p.width) * double(p.height) * double(p.fps),
                                  budget * 1.01 + double(p.width + p.height) * 2 * p.fps);
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace panelora::test
