// What the macOS backends read from and write to the system, as plain values: Darwin's Unix
// address layout, CoreMedia time stamps, ScreenCaptureKit frame status and the raw values AppKit,
// ServiceManagement and the unified log answer with; the settings document in the user defaults,
// the update check's fetch, text on its way to NSString, and the cursor's PNG cache.
#include "platform/macos/portable/appkit_values.h"
#include "platform/macos/portable/cursor_png_cache.h"
#include "platform/macos/portable/darwin_address.h"
#include "platform/macos/portable/defaults_document.h"
#include "platform/macos/portable/display_edge.h"
#include "platform/macos/portable/fetch_result.h"
#include "platform/macos/portable/media_time.h"
#include "platform/macos/portable/unified_log.h"
#include "platform/macos/portable/well_formed_utf8.h"

#include <nlohmann/json.hpp>

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
    const std::tuple<Point, double, Point> cases[] = {
        // global, pixels per point, kept
        {{2464, 768}, 2, {2463.5, 767.5}},  // a touch at (1, 1) on a HiDPI display
        {{2464, 768}, 1, {2463, 767}},     {{2463.75, 400}, 2, {2463.5, 400}},
        {{1440, 0}, 2, {1440, 0}},  // the near edges belong to the display already
        {{2000, 300}, 2, {2000, 300}},     {{1439.5, -3}, 2, {1440, 0}},
    };
    for (const auto& [global, pixelsPerPoint, kept] : cases) {
        EXPECT_EQ(keepOnDisplay(global, virtualDisplay, pixelsPerPoint), kept)
            << global.x << "," << global.y << " at " << pixelsPerPoint;
    }
    EXPECT_EQ(keepOnDisplay({5000, 5000}, Rect{}, 2), (Point{5000, 5000}));  // display gone
    EXPECT_EQ(keepOnDisplay({2464, 768}, virtualDisplay, 0), (Point{2464, 768}));
}

TEST(MediaTime, NanosFromTimeAndBack) {
    constexpr uint32_t valid = media::kTimeValid;
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    // value, timescale, flags, nanoseconds
    const std::tuple<int64_t, int32_t, uint32_t, int64_t> cases[] = {
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
    for (const auto& [value, timescale, flags, nanos] : cases) {
        EXPECT_EQ(media::nanosFromTime(value, timescale, flags), nanos)
            << value << "/" << timescale << " flags " << flags;
    }
    // And back: exact, on the host clock's own scale (the first row), and invalid when negative.
    EXPECT_EQ(media::timeFromNanos(123'456'789'012),
              (media::Time{123'456'789'012, 1'000'000'000, media::kTimeValid}));
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

// The settings document as the user defaults keep it: "space" an integer, "preferSmooth" a
// boolean, "displayArrangement" the record's JSON as data.

using defaults::Values;

// Both ways: the stored values give the document, the document saved gives them back.
TEST(DefaultsDocument, DocumentFromStoredValuesAndValuesFromASavedDocument) {
    const std::pair<Values, const char*> cases[] = {
        {Values{}, "{}"},
        {Values{125, true, bytesOf(R"({"offset":-120,"side":"left"})")},
         R"({"space":125,"preferSmooth":true,"displayArrangement":{"side":"left","offset":-120}})"},
        {Values{0, false, std::nullopt}, R"({"space":0,"preferSmooth":false})"},
    };
    for (const auto& [stored, document] : cases) {
        EXPECT_EQ(nlohmann::json::parse(defaults::documentFrom(stored)),
                  nlohmann::json::parse(document));
        EXPECT_EQ(defaults::valuesFrom(document), stored) << document;
    }
    // Data that is not JSON is left out; the arrangement then restores nothing.
    for (const char* data : {"{\"side\": ", ""})
        EXPECT_EQ(defaults::documentFrom(Values{std::nullopt, std::nullopt, bytesOf(data)}), "{}");

    // Other members, and members of the wrong type, are not written; the arrangement is kept
    // whatever its shape (its reader decides), as the file store keeps it.
    const std::pair<const char*, Values> saved[] = {
        {R"({"space": 150, "displayArrangement": {"side": "below", "offset": 3.5}, "other": 1})",
         Values{150, std::nullopt, bytesOf(R"({"offset":3.5,"side":"below"})")}},
        {R"({"space": "125", "preferSmooth": 1, "displayArrangement": "left"})",
         Values{std::nullopt, std::nullopt, bytesOf(R"("left")")}},
        {R"({"space": 18446744073709551615})", Values{}},
        {R"({"space": 1.5})", Values{}},
        {"[]", Values{}},
        {"not json", Values{}},
    };
    for (const auto& [document, values] : saved)
        EXPECT_EQ(defaults::valuesFrom(document), values) << document;
}

// The update check's fetch on macOS: HTTPS only (the check the request's address gets too), any
// HTTP status a response, the body cut at the request's limit.
TEST(FetchResult, Answers) {
    const std::vector<uint8_t> body(20'000, 'x');
    const std::string https = "https://panelora.app/downloads/panelora.json";
    // What, the answer, the body limit, the status (nothing: the fetch failed), the bytes kept.
    const std::tuple<const char*, URLAnswer, size_t, std::optional<long>, size_t> cases[] = {
        {"ok, the body cut", {false, true, 200, https, body}, 16'384, 200, 16'384},
        {"within the limit", {false, true, 200, https, body}, 30'000, 200, 20'000},
        {"no body wanted", {false, true, 200, https, body}, 0, 200, 0},
        {"not found is a response", {false, true, 404, "HTTPS://panelora.app/", {}}, 9, 404, 0},
        {"transport error", {true, false, 0, "", {}}, 9, std::nullopt, 0},
        {"error after a response", {true, true, 200, https, body}, 9, std::nullopt, 0},
        {"not HTTP", {false, false, 0, https, body}, 9, std::nullopt, 0},
        {"redirected to plain HTTP", {false, true, 200, "http://panelora.app/x", body}, 9, {}, 0},
        {"no host", {false, true, 200, "https://", body}, 9, {}, 0},
        {"one slash", {false, true, 200, "https:/panelora.app", body}, 9, {}, 0},
        {"FTP", {false, true, 200, "ftp://panelora.app", body}, 9, {}, 0},
    };
    for (const auto& [what, answer, limit, status, kept] : cases) {
        const auto result = fetchResult(answer, limit);
        ASSERT_EQ(result.has_value(), status.has_value()) << what;
        if (!result) continue;
        EXPECT_EQ(result->statusCode, *status) << what;
        EXPECT_EQ(result->body, std::vector<uint8_t>(kept, 'x')) << what;
    }
}

// Text on its way to NSString: ill-formed UTF-8 becomes U+FFFD, one per maximal subpart, and
// well-formed text passes unchanged.

TEST(WellFormedUtf8, ReplacesEachMaximalIllFormedSubpart) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"Panelora \xE2\x80\x94 tablet \xF0\x9F\x98\x80",
         "Panelora \xE2\x80\x94 tablet \xF0\x9F\x98\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last code point
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},          // U+D7FF, just below the surrogates
        {"a\xFFz", "a" + r + "z"},                 // never a lead byte
        {"\x80\xBF", r + r},                       // continuations without a lead
        {"\xC3", r},                               // cut off at the end
        {"\xE2\x82x", r + "x"},                    // cut off before ASCII: one subpart
        {"\xF0\x9F\x98x", r + "x"},
        {"\xC0\xAF", r + r},                               // overlong '/'
        {"\xE0\x80\xAF", r + r + r},                       // overlong, three bytes
        {"\xF0\x8F\xBF\xBF", r + r + r + r},               // overlong, four bytes
        {"\xED\xA0\x80", r + r + r},                       // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},               // past U+10FFFF
        {"\xF5\x80", r + r},                               // lead of no code point
        {std::string("a\0b", 3), std::string("a\0b", 3)},  // NUL is a character
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(text::wellFormedUtf8(in), out);
}

// The cursor is read 20 times a second; its PNG is encoded again only when the bitmap changes,
// and a failed encoding is not kept.

using Bytes = std::vector<uint8_t>;

cursor::Bitmap bitmapOf(const Bytes& pixels, size_t width = 2, size_t bytesPerRow = 8) {
    return {width, pixels.size() / bytesPerRow, bytesPerRow, 32, pixels};
}

TEST(CursorPngCache, EncodesOnlyWhenTheBitmapDiffersFromTheLastEncoded) {
    const Bytes pixels(16, 0xAA);
    Bytes changed = pixels, copy = pixels;  // a copy: equal bytes elsewhere
    changed[13] = 0xAB;
    int encodings = 0;
    std::optional<Bytes> encoded;
    auto encoder = [&] { return ++encodings, encoded; };
    // What changed, the bitmap, what an encoding would give, the PNG, the encodings so far.
    using Case =
        std::tuple<const char*, cursor::Bitmap, std::optional<Bytes>, std::optional<Bytes>, int>;
    // clang-format off
    const Case cases[] = {
        {"a failed encoding", bitmapOf(pixels), std::nullopt, std::nullopt, 1},
        {"is not kept", bitmapOf(pixels), Bytes{1}, Bytes{1}, 2},
        {"the same bytes elsewhere", bitmapOf(copy), Bytes{2}, Bytes{1}, 2},
        {"one byte", bitmapOf(changed), Bytes{3}, Bytes{3}, 3},
        {"back to the first", bitmapOf(pixels), Bytes{4}, Bytes{4}, 4},
        {"width and row length", bitmapOf(pixels, 4, 16), Bytes{5}, Bytes{5}, 5},
        {"bits per pixel", {4, 1, 16, 24, pixels}, Bytes{6}, Bytes{6}, 6},
    };
    // clang-format on
    cursor::PngCache cache;
    for (const auto& [what, bitmap, gives, png, encodingsSoFar] : cases) {
        encoded = gives;
        EXPECT_EQ(cache.png(bitmap, encoder), png) << what;
        EXPECT_EQ(encodings, encodingsSoFar) << what;
    }
}

}  // namespace
}  // namespace panelora::test
