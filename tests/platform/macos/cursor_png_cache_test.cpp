// The cursor is read 20 times a second; its PNG is encoded again only when the bitmap changes.
#include "platform/macos/portable/cursor_png_cache.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kPngStart[] = {0x89, 'P', 'N', 'G'};

struct Counted {
    int encodings = 0;
    std::optional<Bytes> result = Bytes(std::begin(kPngStart), std::end(kPngStart));
    cursor::PngCache::Encoder encoder() {
        return [this] {
            ++encodings;
            return result;
        };
    }
};

cursor::Bitmap bitmapOf(const Bytes& pixels, size_t width = 2, size_t bytesPerRow = 8) {
    return {width, pixels.size() / bytesPerRow, bytesPerRow, 32, pixels};
}

TEST(CursorPngCache, EncodesOnlyWhenTheBitmapDiffersFromTheLastEncoded) {
    const Bytes pixels(16, 0xAA);
    Bytes changed = pixels;
    changed[13] = 0xAB;

    Counted png;
    cursor::PngCache cache;
    EXPECT_EQ(cache.png(bitmapOf(pixels), png.encoder()), png.result);
    Bytes copy = pixels;  // equal bytes elsewhere: a new image of the same cursor
    EXPECT_EQ(cache.png(bitmapOf(copy), png.encoder()), png.result);
    EXPECT_EQ(png.encodings, 1);

    const struct {
        const char* what;
        cursor::Bitmap bitmap;
    } differing[] = {
        {"one byte", bitmapOf(changed)},
        {"width and row length", bitmapOf(pixels, 4, 16)},
        {"bits per pixel", {2, 2, 8, 24, pixels}},
    };
    for (const auto& d : differing) {
        Counted again;
        again.result = Bytes{1, 2, 3};
        cursor::PngCache fresh;
        fresh.png(bitmapOf(pixels), png.encoder());
        EXPECT_EQ(fresh.png(d.bitmap, again.encoder()), again.result) << d.what;
        EXPECT_EQ(again.encodings, 1) << d.what;
    }
}

TEST(CursorPngCache, AFailedEncodingIsNotKept) {
    const Bytes pixels(16, 0x11);
    Counted png;
    png.result.reset();
    cursor::PngCache cache;
    EXPECT_EQ(cache.png(bitmapOf(pixels), png.encoder()), std::nullopt);
    png.result = Bytes{7};
    EXPECT_EQ(cache.png(bitmapOf(pixels), png.encoder()), png.result);
    EXPECT_EQ(png.encodings, 2);
}

}  // namespace
}  // namespace panelora::test
