#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/Xcursor/Xcursor.h>

#include "png_reader.h"

namespace panelora::test {
namespace {

using X11CursorTest = X11InputTest;

// The image of the window's cursor, its size and hot spot; the pointer's location is the
// geometry test's and the conformance suite's.
TEST_F(X11CursorTest, CurrentCursorIsTheWindowsCursorWithStraightAlpha) {
    constexpr int kWidth = 8, kHeight = 6;
    XcursorImage* image = XcursorImageCreate(kWidth, kHeight);
    ASSERT_NE(image, nullptr);
    image->xhot = 3;
    image->yhot = 5;
    // Opaque, half-transparent and clear pixels, premultiplied as X expects.
    for (int i = 0; i < kWidth * kHeight; ++i)
        image->pixels[i] =
            std::array<XcursorPixel, 4>{0xFFFF0000, 0x80004000, 0, 0xC0303030}[i % 4];
    const Cursor xcursor = XcursorImageLoadCursor(d(), image);
    XcursorImageDestroy(image);
    TestWindow window(d(), 0, 0, 200, 200);
    XDefineCursor(d(), window.id(), xcursor);
    XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, 50, 50);
    XSync(d(), False);

    auto current = cursor().currentSystemCursor();
    ASSERT_TRUE(current && current->png);
    EXPECT_EQ(std::tuple(current->width, current->height, current->hotSpot),
              std::tuple(kWidth, kHeight, Point{3, 5}));
    const auto png = current->png();
    const auto picture = png ? decodePng(*png, true) : std::nullopt;
    ASSERT_TRUE(picture);
    ASSERT_EQ(std::pair(picture->width, picture->height), std::pair(kWidth, kHeight));
    // The conversion itself is the unit tests' business: one half-transparent pixel shows it ran.
    EXPECT_EQ(std::vector<uint8_t>(picture->pixels.begin() + 4, picture->pixels.begin() + 8),
              (std::vector<uint8_t>{0, 128, 0, 128}));  // 0x40 green at half alpha
    XUndefineCursor(d(), window.id());
    XFreeCursor(d(), xcursor);
}

}  // namespace
}  // namespace panelora::test
