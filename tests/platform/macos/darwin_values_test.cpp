// Darwin's Unix address layout, CoreMedia time stamps, ScreenCaptureKit frame status and the
// raw values AppKit, ServiceManagement and the unified log answer with.

#include "platform/macos/portable/appkit_values.h"
#include "platform/macos/portable/darwin_address.h"
#include "platform/macos/portable/display_edge.h"
#include "platform/macos/portable/media_time.h"
#include "platform/macos/portable/unified_log.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(DarwinAddress, DaemonSocketLayoutAndPathLimits) {
    const auto address = darwin::unixAddress("/var/run/usbmuxd");
    ASSERT_TRUE(address);
    // sun_len 106, AF_UNIX, the path and its terminator, then zeros.
    std::vector<uint8_t> expected = join({hex("6A 01"), bytesOf("/var/run/usbmuxd"), {0}});
    expected.resize(darwin::kUnixAddressSize);
    EXPECT_EQ(std::vector<uint8_t>(address->begin(), address->end()), expected);
    EXPECT_EQ((*darwin::unixAddress(std::string(103, 'a')))[105], 0);  // room for the zero
    EXPECT_FALSE(darwin::unixAddress(std::string(104, 'a')));          // never truncated
    EXPECT_FALSE(darwin::unixAddress(""));
    EXPECT_FALSE(darwin::unixAddress(std::string_view("/tmp/a\0b", 8)));
}

TEST(DisplayEdge, FarEdgeStaysOnTheDisplaysLastPixel) {
    const Rect virtualDisplay{1440, 0, 1024, 768};  // right of a 1440-point main display
    struct Case {
        Point global;
        double pixelsPerPoint;
        Point kept;
    };
    const Case cases[] = {
        {{2464, 768}, 2, {2463.5, 767.5}},  // a touch at (1, 1) on a HiDPI display
        {{2464, 768}, 1, {2463, 767}},     {{2463.75, 400}, 2, {2463.5, 400}},
        {{1440, 0}, 2, {1440, 0}},  // the near edges belong to the display already
        {{2000, 300}, 2, {2000, 300}},     {{1439.5, -3}, 2, {1440, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keepOnDisplay(c.global, virtualDisplay, c.pixelsPerPoint), c.kept)
            << c.global.x << "," << c.global.y << " at " << c.pixelsPerPoint;
        EXPECT_TRUE(virtualDisplay.contains(keepOnDisplay(c.global, virtualDisplay, 2)));
    }
    EXPECT_EQ(keepOnDisplay({5000, 5000}, Rect{}, 2), (Point{5000, 5000}));  // display gone
    EXPECT_EQ(keepOnDisplay({2464, 768}, virtualDisplay, 0), (Point{2464, 768}));
}

TEST(MediaTime, NanosFromTimeAndBack) {
    constexpr uint32_t valid = media::kTimeValid;
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    struct Case {
        int64_t value;
        int32_t timescale;
        uint32_t flags;
        int64_t nanos;
    };
    const Case cases[] = {
        {1'500'000'000, 1'000'000'000, valid, 1'500'000'000},  // the host clock's own scale
        {3, 600, valid, 5'000'000},
        {1, 3, valid, 333'333'333},  // truncated
        {7, 600, valid | media::kTimeHasBeenRounded, 11'666'666},
        {0, 1, valid, 0},
        {max, 1'000'000'000, valid, max},         // the largest that fits
        {max / 1'000'000'000 + 1, 1, valid, -1},  // beyond 64 bits
        {1, 1, 0, -1},                            // kCMTimeInvalid
        {1, 1, valid | media::kTimePositiveInfinity, -1},
        {1, 1, valid | media::kTimeNegativeInfinity, -1},
        {1, 1, valid | media::kTimeIndefinite, -1},
        {1, 0, valid, -1},
        {1, -600, valid, -1},
        {-5, 600, valid, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(media::nanosFromTime(c.value, c.timescale, c.flags), c.nanos)
            << c.value << "/" << c.timescale << " flags " << c.flags;
    }
    // And back: exact, and invalid when negative.
    const media::Time t = media::timeFromNanos(123'456'789'012);
    EXPECT_EQ(t, (media::Time{123'456'789'012, 1'000'000'000, media::kTimeValid}));
    EXPECT_EQ(media::nanosFromTime(t.value, t.timescale, t.flags), 123'456'789'012);
    EXPECT_EQ(media::timeFromNanos(-1), media::Time{});
}

// FrameStatus attachments, alert buttons, login item states and log levels as AppKit,
// ScreenCaptureKit, ServiceManagement and os_log number them.
TEST(AppKitValues, RawValues) {
    using Status = LoginItemBackend::Status;
    const std::pair<std::optional<int64_t>, std::optional<FrameStatus>> frames[] = {
        {0, FrameStatus::complete}, {1, FrameStatus::idle}, {5, FrameStatus::stopped},
        {6, std::nullopt},          {-1, std::nullopt},     {std::nullopt, std::nullopt}};
    for (const auto& [raw, status] : frames)
        EXPECT_EQ(media::frameStatus(raw), status) << raw.value_or(-99);
    // A second button only when there is one; -1000 is NSModalResponseStop.
    const std::optional<size_t> none;
    const std::tuple<long, size_t, std::optional<size_t>> buttons[] = {
        {1000, 2, 0},   {1001, 2, 1},     {1001, 1, none},
        {999, 2, none}, {-1000, 2, none}, {1000, 0, none}};
    for (const auto& [response, count, chosen] : buttons)
        EXPECT_EQ(appkit::chosenButton(response, count), chosen) << response << " " << count;
    const std::pair<long, Status> logins[] = {
        {0, Status::notRegistered}, {1, Status::enabled},  {2, Status::requiresApproval},
        {3, Status::notFound},      {4, Status::notFound}, {-1, Status::notFound}};
    for (const auto& [raw, status] : logins)
        EXPECT_EQ(appkit::loginItemStatus(raw), status) << raw;
    using L = spdlog::level::level_enum;
    const std::pair<L, int> levels[] = {{L::trace, 0x02}, {L::debug, 0x02}, {L::info, 0x01},
                                        {L::warn, 0x00},  {L::err, 0x10},   {L::critical, 0x11}};
    for (const auto& [level, type] : levels)
        EXPECT_EQ(unifiedlog::typeFor(level), type) << level;
}

}  // namespace
}  // namespace panelora::test
