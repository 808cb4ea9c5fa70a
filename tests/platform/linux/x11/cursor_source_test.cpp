#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/Xcursor/Xcursor.h>

#include "png_reader.h"

namespace panelora::test {
namespace {

using X11CursorTest = X11InputTest;

TEST_F(X11CursorTest, LocationFollowsTheWarpedPointer) {
    XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, 300, 400);
    XSync(d(), False);
    EXPECT_EQ(cursor().location(), (Point{300, 400}));

    // With a display to the left of the main one, the root window starts there: global points
    // stay relative to the main display.
    auto spare = enableSpare("DUMMY1", 800, 600, 1920, 0);
    ASSERT_TRUE(spare);
    ASSERT_TRUE(geometry().configureOrigin(static_cast<DisplayID>(spare->output()), -800, 0));
    auto primary = placementOf(d(), primaryOutput(d()));
    ASSERT_TRUE(primary);
    ASSERT_EQ(primary->x, 800);
    XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, 100, 50);  // on the spare output
    XSync(d(), False);
    EXPECT_EQ(cursor().location(), (Point{-700, 50}));
}

TEST_F(X11CursorTest, CurrentCursorIsTheWindowsCursorWithStraightAlpha) {
    constexpr int kWidth = 8, kHeight = 6;
    XcursorImage* image = XcursorImageCreate(kWidth, kHeight);
    ASSERT_NE(image, nullptr);
    image->xhot = 3;
    image->yhot = 5;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        // Opaque, half-transparent and clear pixels, premultiplied as X expects.
        static constexpr XcursorPixel kPixels[] = {0xFFFF0000, 0x80004000, 0x00000000, 0xC0303030};
        image->pixels[i] = kPixels[i % 4];
    }
    const Cursor xcursor = XcursorImageLoadCursor(d(), image);
    XcursorImageDestroy(image);
    TestWindow window(d(), 0, 0, 200, 200);
    XDefineCursor(d(), window.id(), xcursor);
    XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, 50, 50);
    XSync(d(), False);

    auto current = cursor().currentSystemCursor();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->width, kWidth);
    EXPECT_EQ(current->height, kHeight);
    EXPECT_EQ(current->hotSpot, (Point{3, 5}));
    ASSERT_TRUE(current->png);
    const auto png = current->png();
    const auto picture = png ? decodePng(*png, true) : std::nullopt;
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, kWidth);
    ASSERT_EQ(picture->height, kHeight);
    // The conversion itself is the unit tests' business: one half-transparent pixel shows it ran.
    EXPECT_EQ(std::vector<uint8_t>(picture->pixels.begin() + 4, picture->pixels.begin() + 8),
              (std::vector<uint8_t>{0, 128, 0, 128}));  // 0x40 green at half alpha
    XUndefineCursor(d(), window.id());
    XFreeCursor(d(), xcursor);
}

}  // namespace
}  // namespace panelora::test
