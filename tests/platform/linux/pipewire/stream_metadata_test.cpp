// The cursor and damage metadata of screen-cast buffers as mutter lays them out (little-endian
// spa_meta_cursor, spa_meta_bitmap and spa_meta_region), malformed metadata that must read as
// none rather than out of bounds, and the damage found by comparing two pictures when a buffer
// came without any.
#include "platform/linux/pipewire/stream_metadata.h"
#include "platform/linux/pipewire/picture_diff.h"

#include <sstream>

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;

// spa_meta_cursor, 28 bytes: id, flags, position x y, hot spot x y, bitmap offset.
Bytes cursorHeader(uint32_t id, int32_t x, int32_t y, int32_t hotX, int32_t hotY,
                   uint32_t bitmapOffset) {
    Bytes b;
    for (uint32_t v : {id, 0u, static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                       static_cast<uint32_t>(hotX), static_cast<uint32_t>(hotY), bitmapOffset}) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    return b;
}

// The cursor read from `length` bytes of `b`, as text: "unknown", "off", or "at x,y", then the
// bitmap's size, hot spot and pixels when there is one.
std::string described(const Bytes& b, size_t length) {
    const StreamCursor c = readCursorMeta(b.data(), length);
    std::ostringstream text;
    if (!c.known) return "unknown";
    if (!c.onMonitor) return "off";
    text << "at " << c.x << "," << c.y;
    if (c.bitmap)
        text << " " << c.bitmap->width << "x" << c.bitmap->height << " hot " << c.bitmap->hotX
             << "," << c.bitmap->hotY;
    for (uint32_t pixel : c.bitmap ? c.bitmap->pixels : std::vector<uint32_t>{})
        text << " " << std::hex << pixel;
    return text.str();
}

// Mutter's own layouts, then malformed metadata: read as no image, or as nothing.
TEST(CursorMetadata, PositionAndBitmapAsMutterWritesThemAndNoneWhenMalformed) {
    struct Case {
        const char* what;
        Bytes bytes;
        size_t at;  // byte to change (SIZE_MAX: none)
        uint8_t value;
        size_t cut;  // bytes left out at the end
        std::string cursor;
    };
    const Bytes off = cursorHeader(0, 5, 5, 0, 0, 0), moved = cursorHeader(1, 10, 20, 0, 0, 0);
    // Mutter's empty sprite: a bitmap header of zeros but the format, no pixels.
    const Bytes empty = join(
        {cursorHeader(1, 10, 20, 0, 0, 28), hex("0b000000 00000000 00000000 00000000 00000000")});
    // A 2 × 1 RGBA bitmap behind the cursor header: spa_meta_bitmap (20 bytes) then the pixels.
    // Format SPA_VIDEO_FORMAT_RGBA (11), 2 × 1, stride 8, pixels 20 bytes after the bitmap
    // header: opaque red, half-transparent green (premultiplied).
    const Bytes full =
        join({cursorHeader(1, 640, 360, 3, 4, 28),
              hex("0b000000 02000000 01000000 08000000 14000000  ff0000ff 00400080")});
    const std::string noImage = "at 640,360";
    // clang-format off
    const Case cases[] = {
        {"RGBA", full, SIZE_MAX, 0, 0, "at 640,360 2x1 hot 3,4 ffff0000 80004000"},
        {"BGRA", full, 28, 12, 0, "at 640,360 2x1 hot 3,4 ff0000ff 80004000"},
        {"off the monitor", off, SIZE_MAX, 0, 0, "off"},
        {"moved, the image unchanged", moved, SIZE_MAX, 0, 0, "at 10,20"},
        {"hidden", empty, SIZE_MAX, 0, 0, "at 10,20 0x0 hot 0,0"},
        {"shorter than the cursor header", full, SIZE_MAX, 0, full.size() - 27, "unknown"},
        {"the pixels cut short", full, SIZE_MAX, 0, 1, noImage},
        {"bitmap offset inside the cursor header", full, 24, 8, 0, noImage},
        {"bitmap offset past the end", full, 25, 0x10, 0, noImage},
        {"an unknown pixel format", full, 28, 7, 0, noImage},
        {"a stride shorter than a row", full, 40, 4, 0, noImage},
        {"a pixel offset inside the bitmap header", full, 44, 4, 0, noImage},
        {"wider than 1024", full, 33, 0x08, 0, noImage},
    };
    // clang-format on
    for (Case c : cases) {
        if (c.at != SIZE_MAX) c.bytes[c.at] = c.value;
        EXPECT_EQ(described(c.bytes, c.bytes.size() - c.cut), c.cursor) << c.what;
    }
    EXPECT_FALSE(readCursorMeta(nullptr, 100).known);
}

TEST(DamageMetadata, RegionsUpToTheFirstEmptyOne) {
    // (10, 20) 30 × 40; an empty region, the end; one after the end, ignored.
    const Bytes regions =
        hex("0a000000 14000000 1e000000 28000000  00000000 00000000 00000000 "
            "00000000  01000000 01000000 01000000 01000000");
    EXPECT_EQ(readDamageMeta(regions.data(), regions.size()),
              (std::vector<Rect>{{10, 20, 30, 40}}));
    EXPECT_EQ(readDamageMeta(regions.data(), 16), (std::vector<Rect>{{10, 20, 30, 40}}));
    EXPECT_EQ(readDamageMeta(regions.data(), 15), std::vector<Rect>{});       // no whole region
    EXPECT_EQ(readDamageMeta(regions.data() + 16, 16), std::vector<Rect>{});  // nothing changed
}

// 150 × 70 pictures in 64-pixel tiles (3 × 2, the last ones clipped), rows padded to 160 pixels
// with bytes that differ between the two and must not count.
TEST(PictureDiff, ChangedTilesJoinedAlongTheirRowAndClippedAtTheEdges) {
    constexpr int kWidth = 150, kHeight = 70, kStride = 160 * 4;
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> changedPixels;
        std::vector<Rect> tiles;
    };
    const std::vector<Case> cases{
        {"nothing", {}, {}},
        {"the first pixel", {{0, 0}}, {{0, 0, 64, 64}}},
        {"the last pixel", {{149, 69}}, {{128, 64, 22, 6}}},
        {"two neighbours in a row", {{63, 10}, {64, 63}}, {{0, 0, 128, 64}}},
        {"apart in a row, and below",
         {{0, 5}, {140, 5}, {70, 66}},
         {{0, 0, 64, 64}, {128, 0, 22, 64}, {64, 64, 64, 6}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> a(static_cast<size_t>(kStride) * kHeight, 0x40);
        std::vector<uint8_t> b = a;
        for (int y = 0; y < kHeight; ++y)
            b[static_cast<size_t>(y) * kStride + kWidth * 4 + 1] = 0x99;  // padding only
        for (auto [x, y] : c.changedPixels)
            b[static_cast<size_t>(y) * kStride + x * 4 + 3] ^= 1;  // one byte of the pixel
        EXPECT_EQ(changedTiles(a.data(), kStride, b.data(), kStride, kWidth, kHeight), c.tiles);
    }
}

}  // namespace
}  // namespace panelora::test
