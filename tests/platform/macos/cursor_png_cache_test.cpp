// The cursor is read 20 times a second; its PNG is encoded again only when the bitmap changes,
// and a failed encoding is not kept.
#include "platform/macos/portable/cursor_png_cache.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;

cursor::Bitmap bitmapOf(const Bytes& pixels, size_t width = 2, size_t bytesPerRow = 8) {
    return {width, pixels.size() / bytesPerRow, bytesPerRow, 32, pixels};
}

TEST(CursorPngCache, EncodesOnlyWhenTheBitmapDiffersFromTheLastEncoded) {
    const Bytes pixels(16, 0xAA);
    Bytes changed = pixels, copy = pixels;  // a copy: equal bytes elsewhere
    changed[13] = 0xAB;
    int encodings = 0;
    std::optional<Bytes> gives;
    auto encoder = [&] { return ++encodings, gives; };
    struct Case {
        const char* what;
        cursor::Bitmap bitmap;
        std::optional<Bytes> gives, png;
        int encodings;  // so far
    };
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
    for (const Case& c : cases) {
        gives = c.gives;
        EXPECT_EQ(cache.png(c.bitmap, encoder), c.png) << c.what;
        EXPECT_EQ(encodings, c.encodings) << c.what;
    }
}

}  // namespace
}  // namespace panelora::test
