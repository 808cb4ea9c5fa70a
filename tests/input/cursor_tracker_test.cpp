#include "input/cursor_tracker.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>

#include "fakes.h"
#include "hex.h"
#include "support/manual_clock.h"

namespace panelora::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr DisplayID kMain = 1;
constexpr DisplayID kVirtual = 2;

struct Sent {
    Wire::PacketType type;
    Bytes payload;
    int64_t atMillis;
};

float floatAt(const Bytes& b, size_t offset) {
    uint32_t bits = (uint32_t(b[offset]) << 24) | (uint32_t(b[offset + 1]) << 16) |
                    (uint32_t(b[offset + 2]) << 8) | uint32_t(b[offset + 3]);
    return std::bit_cast<float>(bits);
}

class CursorTrackerTest : public ::testing::Test {
  protected:
    CursorTrackerTest() {
        start = clock.uptimeNanos();
        geometry->mainID = kMain;
        geometry->displays[kMain] = Rect{0, 0, 1440, 900};
        geometry->displays[kVirtual] = Rect{1440, 0, 1000, 800};
        cursor->current = makeCursor(16, 16, {1, 1}, Bytes(100, 0xAA));
        cursor->arrow = makeCursor(12, 19, {3, 2}, Bytes(50, 0xBB));
    }
    ~CursorTrackerTest() override {
        if (tracker) tracker->stop();
    }

    PlatformCursor makeCursor(double w, double h, Point hot, Bytes png) {
        return PlatformCursor{w, h, hot, [this, png] {
                                  ++pngEncodes;
                                  return std::optional<Bytes>(png);
                              }};
    }

    void startTracker(int64_t logicalWidth = 1000) {
        tracker =
            CursorTracker::create(kVirtual, logicalWidth,
                                  [this](Wire::PacketType type, std::span<const uint8_t> payload) {
                                      sent.push_back({type, Bytes(payload.begin(), payload.end()),
                                                      (clock.uptimeNanos() - start) / 1'000'000});
                                  },
                                  {cursor, geometry, clock.makeQueue("slatecast.cursor"),
                                   clock.makeQueue("main"), &clock});
        tracker->start();
        clock.runUntilIdle();
    }

    std::vector<Sent> of(Wire::PacketType type) const {
        std::vector<Sent> out;
        for (auto& s : sent)
            if (s.type == type) out.push_back(s);
        return out;
    }
    std::vector<Sent> positions() const { return of(Wire::PacketType::cursorPosition); }
    std::vector<Sent> images() const { return of(Wire::PacketType::cursorImage); }

    // Distinct sampling times (ms since start) within (from, to].
    std::vector<int64_t> sampleTimes(int64_t fromMs, int64_t toMs) const {
        std::vector<int64_t> out;
        for (int64_t ns : cursor->locationCalls) {
            int64_t ms = (ns - start) / 1'000'000;
            if (ms > fromMs && ms <= toMs && (out.empty() || out.back() != ms)) out.push_back(ms);
        }
        return out;
    }

    ManualClock clock;
    int64_t start = 0;
    int pngEncodes = 0;
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    std::shared_ptr<FakeCursorSource> cursor = std::make_shared<FakeCursorSource>(clock);
    std::shared_ptr<CursorTracker> tracker;
    std::vector<Sent> sent;
};

TEST_F(CursorTrackerTest, FirstSampleOffTheDisplaySendsOneInvisiblePosition) {
    cursor->position = Point{720, 450};  // on the main display
    startTracker();
    auto sentPositions = positions();
    ASSERT_EQ(sentPositions.size(), 1u);
    const Bytes& p = sentPositions[0].payload;
    ASSERT_EQ(p.size(), 9u);
    EXPECT_EQ(p[0], 0x00);                         // visible 0
    EXPECT_FLOAT_EQ(floatAt(p, 1), -0.72f);        // (720 - 1440) / 1000
    EXPECT_FLOAT_EQ(floatAt(p, 5), 450.0f / 800);  // y
    cursor->position = Point{100, 100};
    clock.advance(500ms);
    EXPECT_EQ(positions().size(), 1u);  // movement off the display is not reported
    EXPECT_TRUE(images().empty());      // nor any image while off the display
}

TEST_F(CursorTrackerTest, PositionPayloadOnTheDisplay) {
    cursor->position = Point{1440 + 250, 200};
    startTracker();
    ASSERT_EQ(positions().size(), 1u);
    // Visible, x 0.25, y 0.25.
    EXPECT_EQ(positions()[0].payload, hex("01 3E800000 3E800000"));
}

TEST_F(CursorTrackerTest, MovesBelowTheThresholdAreNotSent) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    ASSERT_EQ(positions().size(), 1u);
    cursor->position = Point{1440 + 500 + 0.04, 400};  // 4e-5 of the width
    clock.advance(20ms);
    EXPECT_EQ(positions().size(), 1u);
    cursor->position = Point{1440 + 500 + 0.06, 400};  // 6e-5 of the width
    clock.advance(20ms);
    ASSERT_EQ(positions().size(), 2u);
    EXPECT_FLOAT_EQ(floatAt(positions()[1].payload, 1), 0.50006f);
    cursor->position = Point{1440 + 500 + 0.06, 400 + 0.06 * 0.8};  // 6e-5 of the height
    clock.advance(20ms);
    EXPECT_EQ(positions().size(), 3u);
}

TEST_F(CursorTrackerTest, LeavingTheDisplayIsSentOnce) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    cursor->position = Point{1000, 400};  // onto the main display
    clock.advance(20ms);
    cursor->position = Point{900, 300};
    clock.advance(20ms);
    ASSERT_EQ(positions().size(), 2u);
    EXPECT_EQ(positions()[1].payload[0], 0x00);
    EXPECT_FLOAT_EQ(floatAt(positions()[1].payload, 1), -0.44f);  // where it was seen outside
    // The right and bottom edges are outside (half-open bounds).
    cursor->position = Point{1440 + 1000, 400};
    clock.advance(20ms);
    EXPECT_EQ(positions().size(), 2u);
}

TEST_F(CursorTrackerTest, SamplingSlowsWhenIdleAndSpeedsUpOnMovement) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();  // first position sent at 0 ms
    clock.advance(1200ms);
    EXPECT_EQ(sampleTimes(-1, 40), (std::vector<int64_t>{0, 8, 16, 24, 32, 40}));
    EXPECT_TRUE(tracker->idle());
    // The last sent change was at 0 ms; the first sample more than 1.0 s later (1008 ms) turns
    // the sampler to 33 ms, starting at once.
    EXPECT_EQ(sampleTimes(992, 1200),
              (std::vector<int64_t>{1000, 1008, 1041, 1074, 1107, 1140, 1173}));
    cursor->position = Point{1440 + 600, 400};
    clock.advance(30ms);  // the sample at 1206 ms sees the move and sends it
    EXPECT_FALSE(tracker->idle());
    ASSERT_EQ(positions().size(), 2u);
    EXPECT_EQ(positions()[1].atMillis, 1206);
    EXPECT_EQ(sampleTimes(1200, 1230), (std::vector<int64_t>{1206, 1214, 1222, 1230}));
}

TEST_F(CursorTrackerTest, WallClockJumpDoesNotMakeTheTrackerIdle) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    clock.advance(500ms);
    clock.jumpWallClock(std::chrono::hours(1));
    clock.advance(100ms);
    EXPECT_FALSE(tracker->idle());
    EXPECT_EQ(sampleTimes(590, 600), (std::vector<int64_t>{592, 600}));
}

TEST_F(CursorTrackerTest, ImageChecksSlowToEveryFifthTickWhenIdle) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    clock.advance(2500ms);
    ASSERT_TRUE(tracker->idle());
    std::vector<int64_t> checks;
    for (int64_t ns : cursor->currentCalls) {
        int64_t ms = (ns - start) / 1'000'000;
        if (ms > 1500) checks.push_back(ms);
    }
    // Ticks every 50 ms; tick n fires at (n - 1) * 50 ms, so ticks 35, 40, 45, 50 are checked.
    EXPECT_EQ(checks, (std::vector<int64_t>{1700, 1950, 2200, 2450}));
}

TEST_F(CursorTrackerTest, ImagePayloadLayout) {
    cursor->position = Point{1440 + 500, 400};
    cursor->current = makeCursor(16, 24, {1.5, -0.0}, Bytes{0x89, 0x50, 0x4E, 0x47});
    startTracker(1366);
    ASSERT_EQ(images().size(), 1u);
    // Logical width 1366; width 16, height 24, hot spot 1.5, -0.0; the PNG bytes.
    EXPECT_EQ(images()[0].payload, hex("0556 41800000 41C00000 3FC00000 80000000 89504E47"));
}

TEST_F(CursorTrackerTest, SameImageIsSentOnceAcrossLeavingAndReturning) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    ASSERT_EQ(images().size(), 1u);
    cursor->position = Point{100, 100};
    clock.advance(100ms);
    cursor->position = Point{1440 + 10, 10};
    clock.advance(200ms);
    EXPECT_EQ(positions().size(), 3u);
    EXPECT_EQ(images().size(), 1u);
    // Same PNG, different hot spot: sent again.
    cursor->current = makeCursor(16, 16, {2, 1}, Bytes(100, 0xAA));
    clock.advance(100ms);
    ASSERT_EQ(images().size(), 2u);
    EXPECT_FLOAT_EQ(floatAt(images()[1].payload, 10), 2.0f);
}

TEST_F(CursorTrackerTest, OversizedCursorIsReplacedByTheArrow) {
    cursor->position = Point{1440 + 500, 400};
    cursor->current = makeCursor(600, 20, {300, 10}, Bytes(10, 0xCC));
    startTracker();
    auto sentImages = images();
    ASSERT_EQ(sentImages.size(), 1u);
    const Bytes& p = sentImages[0].payload;
    EXPECT_FLOAT_EQ(floatAt(p, 2), 12.0f);  // the arrow's size
    EXPECT_FLOAT_EQ(floatAt(p, 6), 19.0f);
    EXPECT_FLOAT_EQ(floatAt(p, 10), 3.0f);  // and its hot spot
    EXPECT_FLOAT_EQ(floatAt(p, 14), 2.0f);
    EXPECT_EQ(Bytes(p.begin() + 18, p.end()), Bytes(50, 0xBB));
    EXPECT_EQ(pngEncodes, 1);  // the oversized one was never encoded
}

TEST_F(CursorTrackerTest, SizeAndPngLimitsAreInclusive) {
    struct Case {
        const char* name;
        double size;
        size_t pngBytes;
        bool usesArrow;
    };
    const Case cases[] = {
        {"512 points, 262,144 bytes", 512, 262'144, false},
        {"262,145 bytes", 512, 262'145, true},
        {"513 points", 513, 100, true},
        {"zero size", 0, 100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        if (tracker) tracker->stop();
        cursor->position = Point{1440 + 500, 400};
        cursor->current = makeCursor(c.size, c.size, {0, 0}, Bytes(c.pngBytes, 0x11));
        startTracker();
        ASSERT_EQ(images().size(), 1u);
        EXPECT_EQ(images()[0].payload.size() - 18, c.usesArrow ? 50u : c.pngBytes);
    }
}

TEST_F(CursorTrackerTest, NothingWhenNeitherCursorGivesAnImage) {
    cursor->position = Point{1440 + 500, 400};
    cursor->current = makeCursor(16, 16, {0, 0}, Bytes(300'000, 0));
    cursor->arrow.reset();
    startTracker();
    clock.advance(200ms);
    EXPECT_TRUE(images().empty());
    EXPECT_EQ(positions().size(), 1u);
}

TEST_F(CursorTrackerTest, StopEndsAllSending) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    size_t before = sent.size();
    tracker->stop();
    tracker->stop();  // idempotent
    cursor->position = Point{1440 + 100, 100};
    cursor->current = makeCursor(16, 16, {5, 5}, Bytes(10, 0x22));
    clock.advance(1s);
    EXPECT_EQ(sent.size(), before);
}

TEST_F(CursorTrackerTest, DroppedTrackerStopsSending) {
    cursor->position = Point{1440 + 500, 400};
    startTracker();
    size_t before = sent.size();
    tracker.reset();
    cursor->position = Point{1440 + 100, 100};
    clock.advance(1s);
    EXPECT_EQ(sent.size(), before);
}

TEST_F(CursorTrackerTest, DisplayGoneSendsNothing) {
    cursor->position = Point{1440 + 500, 400};
    geometry->displays.erase(kVirtual);
    startTracker();
    clock.advance(200ms);
    EXPECT_TRUE(sent.empty());
}

TEST(CursorImageKey, FoldsNegativeZeroAndSeparatesHotSpots) {
    Bytes png(64, 0x42);
    EXPECT_EQ(CursorTracker::imageKey(png, -0.0, 0.0), CursorTracker::imageKey(png, 0.0, -0.0));
    EXPECT_NE(CursorTracker::imageKey(png, 1, 2), CursorTracker::imageKey(png, 2, 1));
    Bytes other = png;
    other[63] ^= 1;
    EXPECT_NE(CursorTracker::imageKey(png, 0, 0), CursorTracker::imageKey(other, 0, 0));
}

}  // namespace
}  // namespace panelora::test
