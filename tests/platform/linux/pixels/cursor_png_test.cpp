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

// The arrow's tip, an opaque pixel, is its hot spot; as a cursor its size is in points and its
// PNG in pixels.
TEST(CursorPng, BuiltInArrowHasItsTipAtTheHotSpot) {
    auto arrow = cursorpng::builtInArrow();
    ASSERT_EQ(arrow.pixels.size(), size_t(arrow.width * arrow.height));
    EXPECT_EQ(arrow.pixels[size_t(arrow.hotY * arrow.width + arrow.hotX)], 0xFF000000u);
    auto cursor = X11CursorSource::makeCursor(arrow, 2);  // two pixels per point
    EXPECT_EQ(cursor.width, arrow.width / 2.0);
    EXPECT_EQ(cursor.height, arrow.height / 2.0);
    EXPECT_EQ(cursor.hotSpot, (Point{arrow.hotX / 2.0, arrow.hotY / 2.0}));
    const auto png = cursor.png ? cursor.png() : std::nullopt;
    const auto decoded = png ? decodePng(*png, true) : std::nullopt;
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(std::pair(decoded->width, decoded->height), std::pair(arrow.width, arrow.height));
}

}  // namespace
}  // namespace panelora::test
