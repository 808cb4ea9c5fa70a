#include "test_prelude.h"  // first: gtest before Xlib, whose macros break its templates

#include "platform/linux/pixels/cursor_png.h"
#include "platform/linux/x11/x11_cursor_source.h"
#include "png_reader.h"

namespace panelora::test {
namespace {

TEST(CursorPng, UnpremultipliesEachPixel) {
    struct Case {
        uint32_t argb;
        std::array<uint8_t, 4> rgba;
    };
    const Case cases[] = {
        {0xFF102030, {0x10, 0x20, 0x30, 0xFF}},  // opaque: unchanged
        {0x00000000, {0, 0, 0, 0}},              // transparent
        {0x00FFFFFF, {0, 0, 0, 0}},              // invalid colour under alpha 0: cleared
        {0x80400000, {128, 0, 0, 0x80}},         // 0x40 at half alpha is 128 (rounded)
        {0x80808080, {255, 255, 255, 0x80}},     // full white at half alpha
        {0x40FF0000, {255, 0, 0, 0x40}},         // over-range colour saturates
        {0x01010000, {255, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cursorpng::straightRGBA(c.argb), c.rgba) << std::hex << c.argb;
    }
}

TEST(CursorPng, RefusesEmptyShortAndOversizedImages) {
    EXPECT_FALSE(cursorpng::encode({}, 0, 0));
    EXPECT_FALSE(cursorpng::encode({0xFF000000}, 2, 2));  // fewer pixels than the size says
    EXPECT_FALSE(cursorpng::encode(std::vector<uint32_t>(4097, 0), 4097, 1));
    EXPECT_FALSE(cursorpng::encode({0xFF000000}, -1, 1));
}

TEST(CursorPng, BuiltInArrowHasItsTipAtTheHotSpot) {
    auto arrow = cursorpng::builtInArrow();
    EXPECT_EQ(arrow.width, 12);
    EXPECT_EQ(arrow.height, 19);
    EXPECT_EQ(arrow.hotX, 0);
    EXPECT_EQ(arrow.hotY, 0);
    ASSERT_EQ(arrow.pixels.size(), 12u * 19u);
    EXPECT_EQ(arrow.pixels[0], 0xFF000000u);           // the tip is opaque
    EXPECT_EQ(arrow.pixels[11], 0u);                   // top right is transparent
    EXPECT_EQ(arrow.pixels[2 * 12 + 1], 0xFFFFFFFFu);  // white fill inside the outline

    auto cursor = X11CursorSource::makeCursor(arrow, 2);  // two pixels per point
    EXPECT_EQ(cursor.width, 6.0);
    EXPECT_EQ(cursor.height, 9.5);
    auto png = cursor.png();
    ASSERT_TRUE(png.has_value());
    auto decoded = decodePng(*png, true);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->width, 12);  // the PNG keeps the pixel size
    EXPECT_EQ(decoded->height, 19);
}

}  // namespace
}  // namespace panelora::test
