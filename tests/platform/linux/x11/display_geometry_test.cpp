// The X11 geometry and cursor against the real server, where X11 differs from the other desktops
// (the conformance suite has what they share): moves that the root window's origin cannot follow,
// refusals, RandR changes made by other programs, and the cursor's image.
#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/Xcursor/Xcursor.h>

#include "png_reader.h"

namespace panelora::test {
namespace {

using X11GeometryTest = X11InputTest;

// The root window cannot start left of or above the primary: global points stay relative to the
// primary wherever the root window puts it, the screen is the bounding box, and the pointer's
// location is in global points too.
TEST_F(X11GeometryTest, ConfigureOriginMovesTheOutputAlsoLeftOfThePrimary) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    const DisplayID primary = geometry().mainDisplayID();
    struct Case {
        int x, y;
        Rect root, primaryRoot;  // the display's and the primary's place in the root window
        ScreenSize screen;
    };
    for (const Case& c : {
             Case{200, 1080, {200, 1080, 1024, 768}, {0, 0, 1920, 1080}, {1920, 1848}},
             Case{-1024, -100, {0, 0, 1024, 768}, {1024, 100, 1920, 1080}, {2944, 1180}},
             Case{1920, 50, {1920, 50, 1024, 768}, {0, 0, 1920, 1080}, {2944, 1080}},
         }) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        ASSERT_TRUE(geometry().configureOrigin(id, c.x, c.y));
        EXPECT_EQ(geometry().bounds(id), (Rect{double(c.x), double(c.y), 1024, 768}));
        EXPECT_EQ(geometry().bounds(primary), (Rect{0, 0, 1920, 1080}));
        EXPECT_EQ(geometry().mainDisplayID(), primary);
        EXPECT_EQ(rootBounds(id), c.root);
        EXPECT_EQ(rootBounds(primary), c.primaryRoot);
        EXPECT_EQ(screenSize(d()), c.screen);
        XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, int(c.root.x) + 100,
                     int(c.root.y) + 50);
        XSync(d(), False);
        EXPECT_EQ(cursor().location(), (Point{c.x + 100.0, c.y + 50.0}));
    }

    // Refused: wider than the screen can be, or no such display; nothing changed.
    int minW, minH, maxW, maxH;
    XRRGetScreenSizeRange(d(), DefaultRootWindow(d()), &minW, &minH, &maxW, &maxH);
    EXPECT_FALSE(geometry().configureOrigin(id, maxW, 0));
    EXPECT_FALSE(geometry().configureOrigin(0x7fffff, 0, 0));
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 50, 1024, 768}));
    EXPECT_EQ(rootBounds(id), (Rect{1920, 50, 1024, 768}));
    EXPECT_TRUE(geometry().bounds(0).isEmpty() && geometry().bounds(0x7fffff).isEmpty());
}

// A move as `xrandr --pos` makes it reaches the callbacks, on the main queue, until removed.
TEST_F(X11GeometryTest, RawRandrMoveReachesTheCallbackOnTheMainQueue) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    Recorder recorder;
    auto token = geometry().addReconfigurationCallback(recorder.callback());
    ASSERT_NE(token, 0u);
    ASSERT_TRUE(spare->moveTo(1920, 300));
    ASSERT_TRUE(recorder.waitFor(id, DisplayChange::movedFlag));
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 300, 1024, 768}));
    EXPECT_TRUE(recorder.allOnMainQueue);
    for (auto [display, flags] : recorder.calls.items()) {
        EXPECT_NE(display, geometry().mainDisplayID()) << "the main display did not move";
        EXPECT_FALSE(flags & DisplayChange::beginConfigurationFlag);
    }

    geometry().removeReconfigurationCallback(token);
    const size_t before = recorder.calls.size();
    ASSERT_TRUE(spare->moveTo(1920, 0));
    std::this_thread::sleep_for(400ms);
    mainQueue()->flush();
    EXPECT_EQ(recorder.calls.size(), before);
}

// The image of the window's cursor, its size and hot spot (the pointer's location is above).
TEST_F(X11GeometryTest, CurrentCursorIsTheWindowsCursorWithStraightAlpha) {
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
