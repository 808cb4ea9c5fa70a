#include "input/cursor_tracker.h"

#include "fakes.h"
#include "protocol/byte_order.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Times = std::vector<int64_t>;

constexpr DisplayID kMain = 1;
constexpr DisplayID kVirtual = 2;

std::string number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", double(value));
    return text;
}

// The main display 1440 × 900, the tablet's 1000 × 800 points to its right.
class CursorTrackerTest : public ::testing::Test {
  protected:
    CursorTrackerTest() {
        geometry->mainID = kMain;
        geometry->displays[kMain] = Rect{0, 0, 1440, 900};
        geometry->displays[kVirtual] = Rect{1440, 0, 1000, 800};
        cursor->current = makeCursor(16, 16, {1, 1}, Bytes(100, 0xAA));
        cursor->arrow = makeCursor(12, 19, {3, 2}, Bytes(50, 0xBB));
        cursor->position = Point{1440 + 500, 400};
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
        tracker = CursorTracker::create(
            kVirtual, logicalWidth,
            [this](Wire::PacketType type, std::span<const uint8_t> payload) {
                const uint8_t* p = payload.data();
                if (type == Wire::PacketType::cursorPosition) {
                    positions.push_back(std::string(p[0] ? "at " : "off ") +
                                        number(readF32BE(p + 1)) + "," + number(readF32BE(p + 5)));
                    positionTimes.push_back(ms(clock.uptimeNanos()));
                } else {
                    images.push_back(
                        std::to_string(readU16BE(p)) + ": " + number(readF32BE(p + 2)) + "x" +
                        number(readF32BE(p + 6)) + " " + number(readF32BE(p + 10)) + "," +
                        number(readF32BE(p + 14)) + " png " + std::to_string(payload.size() - 18));
                }
            },
            {cursor, geometry, clock.makeQueue("panelora.cursor"), clock.makeQueue("main"),
             &clock});
        tracker->start();
        clock.runUntilIdle();
    }
    int64_t ms(int64_t nanos) const { return (nanos - start) / 1'000'000; }
    // Distinct times (ms since the start) within (from, to] of the calls recorded in `calls`.
    Times times(const Times& calls, int64_t fromMs, int64_t toMs) const {
        Times out;
        for (int64_t ns : calls) {
            if (ms(ns) > fromMs && ms(ns) <= toMs && (out.empty() || out.back() != ms(ns)))
                out.push_back(ms(ns));
        }
        return out;
    }

    ManualClock clock;
    const int64_t start = clock.uptimeNanos();
    int pngEncodes = 0;
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    std::shared_ptr<FakeCursorSource> cursor = std::make_shared<FakeCursorSource>(clock);
    std::shared_ptr<CursorTracker> tracker;
    Lines positions, images;
    Times positionTimes;
};

// Positions are fractions of the display; off the display only the first sample and the leaving
// are sent (with where the pointer was seen), and the right and bottom edges are off it. Moves of
// less than 5e-5 of the size are not sent.
TEST_F(CursorTrackerTest, PositionsOnAndOffTheDisplay) {
    cursor->position = Point{720, 450};  // on the main display
    startTracker();
    cursor->position = Point{100, 100};
    clock.advance(500ms);
    EXPECT_EQ(images, Lines{}) << "no image while off the display";
    for (Point at : {Point{1440 + 250, 200}, Point{1000, 400}, Point{900, 300},
                     Point{1440 + 1000, 400}, Point{1440 + 500, 400}, Point{1440 + 500.04, 400},
                     Point{1440 + 500.06, 400}, Point{1440 + 500.06, 400.048}}) {
        cursor->position = at;
        clock.advance(20ms);
    }
    EXPECT_EQ(positions, (Lines{"off -0.72,0.5625", "at 0.25,0.25", "off -0.44,0.5", "at 0.5,0.5",
                                "at 0.50006,0.5", "at 0.50006,0.50006"}));
}

// Idleness counts on the uptime: a wall-clock jump does not bring it on.
TEST_F(CursorTrackerTest, SamplingSlowsWhenIdleAndSpeedsUpOnMovement) {
    startTracker();  // first position sent at 0 ms
    clock.advance(500ms);
    clock.jumpWallClock(std::chrono::hours(1));
    clock.advance(100ms);
    EXPECT_FALSE(tracker->idle());
    clock.advance(600ms);
    EXPECT_EQ(times(cursor->locationCalls, -1, 40), (Times{0, 8, 16, 24, 32, 40}));
    EXPECT_TRUE(tracker->idle());
    // The last sent change was at 0 ms; the first sample more than 1.0 s later (1008 ms) turns
    // the sampler to 33 ms, starting at once.
    EXPECT_EQ(times(cursor->locationCalls, 992, 1200),
              (Times{1000, 1008, 1041, 1074, 1107, 1140, 1173}));
    cursor->position = Point{1440 + 600, 400};
    clock.advance(30ms);  // the sample at 1206 ms sees the move and sends it
    EXPECT_FALSE(tracker->idle());
    EXPECT_EQ(positionTimes, (Times{0, 1206}));
    EXPECT_EQ(times(cursor->locationCalls, 1200, 1230), (Times{1206, 1214, 1222, 1230}));
    // Idle, image checks slow to every fifth 50 ms tick: tick n fires at (n - 1) × 50 ms.
    clock.advance(2500ms);
    ASSERT_TRUE(tracker->idle());
    EXPECT_EQ(times(cursor->currentCalls, 2700, 3750), (Times{2950, 3200, 3450, 3700}));
}

// A hot spot of -0 is that of 0; swapped coordinates or one changed byte of the picture differ.
TEST_F(CursorTrackerTest, ImagesAreSentOncePerPictureAndHotSpot) {
    const Bytes png{0x89, 0x50, 0x4E, 0x47}, changed{0x89, 0x50, 0x4E, 0x48};
    cursor->current = makeCursor(16, 24, {1.5, -0.0}, png);
    startTracker(1366);
    cursor->position = Point{100, 100};
    clock.advance(100ms);
    cursor->position = Point{1440 + 10, 10};
    cursor->current = makeCursor(16, 24, {1.5, 0.0}, png);
    clock.advance(200ms);
    EXPECT_EQ(images.size(), 1u) << "not again after leaving and returning";
    for (const auto& [hotSpot, bytes] :
         {std::pair{Point{2, 1}, png}, {Point{1, 2}, png}, {Point{1, 2}, changed}}) {
        cursor->current = makeCursor(16, 24, hotSpot, bytes);
        clock.advance(100ms);
    }
    EXPECT_EQ(images, (Lines{"1366: 16x24 1.5,-0 png 4", "1366: 16x24 2,1 png 4",
                             "1366: 16x24 1,2 png 4", "1366: 16x24 1,2 png 4"}));
}

// Up to 512 points and 262,144 PNG bytes, else the arrow (never encoded when too big); nothing
// when neither gives an image.
TEST_F(CursorTrackerTest, OversizedCursorsAreReplacedByTheArrow) {
    const Lines arrow{"1000: 12x19 3,2 png 50"};
    const std::tuple<double, size_t, bool, Lines, int> cases[] = {
        {512, 262'144, true, {"1000: 512x512 0,0 png 262144"}, 1},
        {512, 262'145, true, arrow, 2},
        {513, 100, true, arrow, 1},
        {0, 100, true, arrow, 1},
        {0, 100, false, {}, 0},
    };
    for (const auto& [size, pngBytes, hasArrow, expected, encodes] : cases) {
        if (tracker) tracker->stop();
        images.clear();
        pngEncodes = 0;
        cursor->current = makeCursor(size, size, {0, 0}, Bytes(pngBytes, 0x11));
        if (!hasArrow) cursor->arrow.reset();
        startTracker();
        EXPECT_EQ(images, expected) << size;
        EXPECT_EQ(pngEncodes, encodes) << size;
    }
}

TEST_F(CursorTrackerTest, StoppedDroppedOrDisplaylessTrackersSendNothing) {
    startTracker();
    tracker->stop();
    tracker->stop();  // idempotent
    auto dropped = CursorTracker::create(
        kVirtual, 1000, [&](auto, auto) { positions.push_back("dropped"); },
        {cursor, geometry, clock.makeQueue("q1"), clock.makeQueue("q2"), &clock});
    dropped->start();
    clock.runUntilIdle();
    dropped.reset();
    positions.clear();
    images.clear();
    cursor->position = Point{1440 + 100, 100};
    cursor->current = makeCursor(16, 16, {5, 5}, Bytes(10, 0x22));
    clock.advance(1s);
    EXPECT_EQ(positions, Lines{});
    geometry->displays.erase(kVirtual);
    startTracker();
    clock.advance(200ms);
    EXPECT_EQ(positions, Lines{});
    EXPECT_EQ(images, Lines{});
}

}  // namespace
}  // namespace panelora::test
