#include "protocol/stream_profile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/wire.h"

namespace panelora {
namespace {

struct ProfileCase {
    int64_t pixelWidth, pixelHeight, maxFPS;
    bool preferSmooth;
    int space;  // the "Screen space" setting; 0 is Auto
    StreamProfile expected;
};

std::optional<double> scaleFor(int space) {
    if (space == 0) return std::nullopt;
    return space / 100.0;
}

constexpr bool Sharp = false;
constexpr bool Smooth = true;

TEST(StreamProfile, WorkedExamples) {
    const ProfileCase cases[] = {
        {2732, 2048, 120, Sharp, 0, {2732, 2048, 60, 67141632, 1708, 1280}},
        {2732, 2048, 120, Smooth, 0, {1796, 1346, 120, 43513488, 1708, 1280}},
        {2732, 2048, 120, Smooth, 150, {1796, 1346, 120, 43513488, 2050, 1536}},
        {2360, 1640, 60, Sharp, 0, {2360, 1640, 60, 46444800, 1180, 820}},
        {2360, 1640, 60, Smooth, 100, {2360, 1640, 60, 46444800, 1180, 820}},
        {2360, 1640, 60, Sharp, 125, {2360, 1640, 60, 46444800, 1476, 1026}},
        {2360, 1640, 60, Sharp, 150, {2360, 1640, 60, 46444800, 1770, 1230}},
        {2388, 1668, 120, Smooth, 0, {1860, 1300, 120, 43524000, 1194, 834}},
        {640, 480, 24, Sharp, 0, {640, 480, 30, 8000000, 320, 240}},
    };
    for (const auto& c : cases) {
        const auto p = StreamProfile::negotiate(c.pixelWidth, c.pixelHeight, c.maxFPS,
                                                c.preferSmooth, scaleFor(c.space));
        EXPECT_EQ(p, c.expected) << c.pixelWidth << "x" << c.pixelHeight << " @" << c.maxFPS
                                 << (c.preferSmooth ? " Smooth" : " Sharp") << " space " << c.space
                                 << " -> " << p.summary();
    }
}

TEST(StreamProfile, NinetyHertzTablet) {
    // Smooth: 90 fps at the 0.15 density; 1600 x 1200 at 90 fps is within the Smooth budget.
    const auto smooth = StreamProfile::negotiate(1600, 1200, 90, Smooth, std::nullopt);
    EXPECT_EQ(smooth.fps, 90);
    EXPECT_EQ(smooth.width, 1600);
    EXPECT_EQ(smooth.height, 1200);
    EXPECT_EQ(smooth.bitrate, 25920000);  // 0.15 * 1600 * 1200 * 90

    // Sharp: capped at 60 fps with the 0.2 density.
    const auto sharp = StreamProfile::negotiate(1600, 1200, 90, Sharp, std::nullopt);
    EXPECT_EQ(sharp.fps, 60);
    EXPECT_EQ(sharp.bitrate, 23040000);  // 0.2 * 1600 * 1200 * 60
}

TEST(StreamProfile, SixtyHertzTabletWithSmoothKeepsNativeSize) {
    const auto p = StreamProfile::negotiate(2360, 1640, 60, Smooth, std::nullopt);
    EXPECT_EQ(p.fps, 60);
    EXPECT_EQ(p.width, 2360);
    EXPECT_EQ(p.height, 1640);
}

TEST(StreamProfile, BitrateIsClampedAtTheTop) {
    // 8192 x 8192 Sharp: reduced to the 486.4 Mpx/s budget, 0.2 density -> over 90 Mbit/s.
    const auto p = StreamProfile::negotiate(8192, 8192, 255, Sharp, std::nullopt);
    EXPECT_EQ(p.fps, 60);
    EXPECT_LT(p.width, 8192);
    EXPECT_EQ(p.bitrate, 90000000);
}

TEST(StreamProfile, AutoSpaceSwitchesAt2600Pixels) {
    const auto below = StreamProfile::negotiate(2599, 1600, 60, Sharp, std::nullopt);
    EXPECT_EQ(below.logicalWidth, 1300);  // 2 * round(2599 * 0.25) = 2 * round(649.75)
    EXPECT_EQ(below.logicalHeight, 800);  // 2 * round(1600 * 1300 / 2599 * 0.5)

    const auto at = StreamProfile::negotiate(2600, 1600, 60, Sharp, std::nullopt);
    EXPECT_EQ(at.logicalWidth, 1626);  // 2 * round(2600 * 0.25 * 1.25) = 2 * round(812.5)
    EXPECT_EQ(at.logicalHeight, 1000);
}

TEST(StreamProfile, ScaleIsClampedToOneToOneAndAHalf) {
    const auto base = StreamProfile::negotiate(2360, 1640, 60, Sharp, 1.0);
    EXPECT_EQ(StreamProfile::negotiate(2360, 1640, 60, Sharp, 0.8), base);
    EXPECT_EQ(StreamProfile::negotiate(2360, 1640, 60, Sharp, 0.0), base);
    EXPECT_EQ(StreamProfile::negotiate(2360, 1640, 60, Sharp, -2.0), base);

    const auto widest = StreamProfile::negotiate(2360, 1640, 60, Sharp, 1.5);
    EXPECT_EQ(widest.logicalWidth, 1770);
    EXPECT_EQ(StreamProfile::negotiate(2360, 1640, 60, Sharp, 2.0), widest);
    EXPECT_EQ(
        StreamProfile::negotiate(2360, 1640, 60, Sharp, std::numeric_limits<double>::infinity()),
        widest);
    // Scale 1.0 on a large tablet overrides the automatic 1.25.
    EXPECT_EQ(StreamProfile::negotiate(2732, 2048, 60, Sharp, 1.0).logicalWidth, 1366);
}

TEST(StreamProfile, NaNScaleActsAsTheSmallestSpace) {
    const auto base = StreamProfile::negotiate(2732, 2048, 60, Sharp, 1.0);
    EXPECT_EQ(StreamProfile::negotiate(2732, 2048, 60, Sharp, std::nan("")), base);
}

TEST(StreamProfile, FrameRateClamp) {
    EXPECT_EQ(StreamProfile::negotiate(1024, 768, 1, Smooth, std::nullopt).fps, 30);
    EXPECT_EQ(StreamProfile::negotiate(1024, 768, 30, Smooth, std::nullopt).fps, 30);
    EXPECT_EQ(StreamProfile::negotiate(1024, 768, 59, Sharp, std::nullopt).fps, 59);
    EXPECT_EQ(StreamProfile::negotiate(1024, 768, 255, Smooth, std::nullopt).fps, 120);
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
                        ASSERT_GE(p.width, 2);
                        ASSERT_EQ(p.width % 2, 0);
                        ASSERT_LE(p.width, w + 1);
                        ASSERT_GE(p.height, 2);
                        ASSERT_EQ(p.height % 2, 0);
                        ASSERT_GE(p.fps, 30);
                        ASSERT_LE(p.fps, smooth ? 120 : 60);
                        ASSERT_GE(p.bitrate, 8000000);
                        ASSERT_LE(p.bitrate, 90000000);
                        ASSERT_GE(p.logicalWidth, 2);
                        ASSERT_EQ(p.logicalWidth % 2, 0);
                        ASSERT_EQ(p.logicalHeight % 2, 0);
                        ASSERT_GE(p.logicalHeight, 2);
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

TEST(StreamProfile, ImpossibleSizesGiveTheFallback) {
    EXPECT_EQ(StreamProfile::negotiate(0, 1536, 60, Sharp, std::nullopt), StreamProfile::fallback);
    EXPECT_EQ(StreamProfile::negotiate(2048, -1, 60, Sharp, std::nullopt), StreamProfile::fallback);
    EXPECT_EQ(StreamProfile::negotiate(1 << 20, 1536, 60, Sharp, 1.5), StreamProfile::fallback);
}

TEST(StreamProfile, Fallback) {
    const StreamProfile expected{2048, 1536, 60, 20000000, 1024, 768};
    EXPECT_EQ(StreamProfile::fallback, expected);
    EXPECT_EQ(StreamProfile::fallback.summary(),
              "2048\xC3\x97"
              "1536 @ 60 fps \xC2\xB7 looks like 1024\xC3\x97"
              "768");
}

TEST(StreamProfile, Summary) {
    const auto p = StreamProfile::negotiate(2732, 2048, 120, Sharp, std::nullopt);
    EXPECT_EQ(p.summary(), "2732×2048 @ 60 fps · looks like 1708×1280");
}

}  // namespace
}  // namespace panelora
