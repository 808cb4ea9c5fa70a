// The cursor and damage metadata of screen-cast buffers as mutter lays them out (little-endian
// spa_meta_cursor, spa_meta_bitmap and spa_meta_region), malformed metadata that must read as
// none rather than out of bounds, and the damage found by comparing two pictures when a buffer
// came without any.
#include "platform/linux/pipewire/stream_metadata.h"
#include "platform/linux/pipewire/picture_diff.h"

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

// A 2 × 1 RGBA bitmap behind the cursor header: spa_meta_bitmap (20 bytes) then the pixels.
const Bytes kCursorWithBitmap = [] {
    Bytes b = cursorHeader(1, 640, 360, 3, 4, 28);
    // Format SPA_VIDEO_FORMAT_RGBA (11), 2 × 1, stride 8, pixels 20 bytes after the bitmap
    // header: opaque red, half-transparent green (premultiplied).
    const Bytes bitmap = hex("0b000000 02000000 01000000 08000000 14000000  ff0000ff 00400080");
    b.insert(b.end(), bitmap.begin(), bitmap.end());
    return b;
}();

TEST(CursorMetadata, PositionAndBitmapAsMutterWritesThem) {
    StreamCursor cursor = readCursorMeta(kCursorWithBitmap.data(), kCursorWithBitmap.size());
    EXPECT_TRUE(cursor.known);
    EXPECT_TRUE(cursor.onMonitor);
    EXPECT_EQ(cursor.x, 640);
    EXPECT_EQ(cursor.y, 360);
    ASSERT_TRUE(cursor.bitmap);
    EXPECT_EQ(cursor.bitmap->width, 2);
    EXPECT_EQ(cursor.bitmap->height, 1);
    EXPECT_EQ(cursor.bitmap->hotX, 3);
    EXPECT_EQ(cursor.bitmap->hotY, 4);
    EXPECT_EQ(cursor.bitmap->pixels, (std::vector<uint32_t>{0xFFFF0000, 0x80004000}));
}

TEST(CursorMetadata, BgraBitmapsSwapTheirChannels) {
    Bytes b = kCursorWithBitmap;
    b[28] = 12;  // SPA_VIDEO_FORMAT_BGRA
    StreamCursor cursor = readCursorMeta(b.data(), b.size());
    ASSERT_TRUE(cursor.bitmap);
    EXPECT_EQ(cursor.bitmap->pixels, (std::vector<uint32_t>{0xFF0000FF, 0x80004000}));
}

TEST(CursorMetadata, OffTheMonitorPositionOnlyAndHiddenPointers) {
    Bytes off = cursorHeader(0, 5, 5, 0, 0, 0);
    StreamCursor cursor = readCursorMeta(off.data(), off.size());
    EXPECT_TRUE(cursor.known);
    EXPECT_FALSE(cursor.onMonitor);

    Bytes moved = cursorHeader(1, 10, 20, 0, 0, 0);
    cursor = readCursorMeta(moved.data(), moved.size());
    EXPECT_TRUE(cursor.onMonitor);
    EXPECT_EQ(cursor.x, 10);
    EXPECT_FALSE(cursor.bitmap);  // the image did not change

    // Mutter's empty sprite: a bitmap header of zeros but the format, no pixels.
    Bytes empty = cursorHeader(1, 10, 20, 0, 0, 28);
    const Bytes header = hex("0b000000 00000000 00000000 00000000 00000000");
    empty.insert(empty.end(), header.begin(), header.end());
    cursor = readCursorMeta(empty.data(), empty.size());
    ASSERT_TRUE(cursor.bitmap);
    EXPECT_TRUE(cursor.bitmap->pixels.empty());
}

TEST(CursorMetadata, MalformedMetadataReadsAsNoImageOrNothing) {
    struct Case {
        const char* what;
        size_t at;  // byte to change (SIZE_MAX: none)
        uint8_t value;
        size_t length;  // bytes handed over
        bool known;
    };
    const size_t all = kCursorWithBitmap.size();
    for (const Case& c : {
             Case{"shorter than the cursor header", SIZE_MAX, 0, 27, false},
             Case{"the pixels cut short", SIZE_MAX, 0, all - 1, true},
             Case{"bitmap offset inside the cursor header", 24, 8, all, true},
             Case{"bitmap offset past the end", 25, 0x10, all, true},
             Case{"an unknown pixel format", 28, 7, all, true},
             Case{"a stride shorter than a row", 40, 4, all, true},
             Case{"a pixel offset inside the bitmap header", 44, 4, all, true},
             Case{"wider than 1024", 33, 0x08, all, true},
         }) {
        Bytes b = kCursorWithBitmap;
        if (c.at != SIZE_MAX) b[c.at] = c.value;
        StreamCursor cursor = readCursorMeta(b.data(), c.length);
        EXPECT_EQ(cursor.known, c.known) << c.what;
        EXPECT_FALSE(cursor.bitmap) << c.what;
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
