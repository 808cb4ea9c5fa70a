#include "system_fixture.h"  // first: gtest before the X headers

namespace panelora::test {
namespace {

using X11GeometryTest = X11InputTest;

TEST_F(X11GeometryTest, BoundsOfThePrimaryAndOfASecondOutput) {
    const auto primary = static_cast<DisplayID>(primaryOutput(d()));
    ASSERT_NE(primary, 0u);
    EXPECT_EQ(geometry().mainDisplayID(), primary);
    EXPECT_EQ(geometry().bounds(primary), (Rect{0, 0, 1920, 1080}));

    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 100);
    ASSERT_TRUE(spare);
    EXPECT_EQ(geometry().bounds(static_cast<DisplayID>(spare->output())),
              (Rect{1920, 100, 1024, 768}));
    EXPECT_TRUE(geometry().bounds(0).isEmpty());
    EXPECT_TRUE(geometry().bounds(0x7fffff).isEmpty());
    const auto id = static_cast<DisplayID>(spare->output());
    spare.reset();
    // Gone: the snapshot may still hold it until the watcher catches up, then it is empty.
    EXPECT_TRUE(eventually([&] { return geometry().bounds(id).isEmpty(); }));
}

TEST_F(X11GeometryTest, ConfigureOriginMovesTheOutputAlsoLeftOfThePrimary) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    const auto primary = static_cast<DisplayID>(primaryOutput(d()));

    // Below the primary, 200 points in.
    ASSERT_TRUE(geometry().configureOrigin(id, 200, 1080));
    EXPECT_EQ(geometry().bounds(id), (Rect{200, 1080, 1024, 768}));
    auto raw = placementOf(d(), spare->output());
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->x, 200);
    EXPECT_EQ(raw->y, 1080);

    // Left of the primary and 100 points higher: the root window cannot go negative, so the
    // arrangement shifts and the primary moves to (1024, 100) in the root window.
    ASSERT_TRUE(geometry().configureOrigin(id, -1024, -100));
    EXPECT_EQ(geometry().bounds(id), (Rect{-1024, -100, 1024, 768}));
    EXPECT_EQ(geometry().bounds(primary), (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(geometry().mainDisplayID(), primary);
    raw = placementOf(d(), spare->output());
    auto rawPrimary = placementOf(d(), primaryOutput(d()));
    ASSERT_TRUE(raw && rawPrimary);
    EXPECT_EQ(raw->x, 0);
    EXPECT_EQ(raw->y, 0);
    EXPECT_EQ(rawPrimary->x, 1024);
    EXPECT_EQ(rawPrimary->y, 100);
    EXPECT_EQ(screenSize(d()), (ScreenSize{1024 + 1920, 1180}));  // the bounding box, nothing more

    // Back to the right: the box starts at the primary again, which returns to root (0, 0).
    ASSERT_TRUE(geometry().configureOrigin(id, 1920, 50));
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 50, 1024, 768}));
    rawPrimary = placementOf(d(), primaryOutput(d()));
    ASSERT_TRUE(rawPrimary);
    EXPECT_EQ(rawPrimary->x, 0);
    EXPECT_EQ(rawPrimary->y, 0);
    EXPECT_EQ(screenSize(d()), (ScreenSize{2944, 1080}));
}

TEST_F(X11GeometryTest, RefusedMoveLeavesTheArrangementAsItWas) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    int minW, minH, maxW, maxH;
    XRRGetScreenSizeRange(d(), DefaultRootWindow(d()), &minW, &minH, &maxW, &maxH);
    EXPECT_FALSE(geometry().configureOrigin(id, maxW, 0));     // the screen cannot be that wide
    EXPECT_FALSE(geometry().configureOrigin(0x7fffff, 0, 0));  // no such display
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 0, 1024, 768}));
    auto raw = placementOf(d(), spare->output());
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->x, 1920);
}

TEST_F(X11GeometryTest, RawRandrMoveReachesTheCallbackOnTheMainQueue) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    ASSERT_EQ(geometry().bounds(id), (Rect{1920, 0, 1024, 768}));
    Recorder recorder;
    auto token = geometry().addReconfigurationCallback(recorder.callback());
    ASSERT_NE(token, 0u);

    ASSERT_TRUE(moveOutputRaw(d(), spare->output(), 1920, 300));  // as `xrandr --pos` would
    ASSERT_TRUE(recorder.waitFor(id, DisplayChange::movedFlag));
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 300, 1024, 768}));
    {
        std::lock_guard lock(recorder.mutex);
        EXPECT_TRUE(recorder.allOnMainQueue);
        const auto primary = static_cast<DisplayID>(primaryOutput(d()));
        for (auto [display, flags] : recorder.calls) {
            EXPECT_NE(display, primary) << "the main display did not move";
            EXPECT_FALSE(flags & DisplayChange::beginConfigurationFlag);
        }
    }

    // After removal nothing more arrives.
    geometry().removeReconfigurationCallback(token);
    size_t before;
    {
        std::lock_guard lock(recorder.mutex);
        before = recorder.calls.size();
    }
    ASSERT_TRUE(moveOutputRaw(d(), spare->output(), 1920, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    mainQueue()->flush();
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.calls.size(), before);
}

}  // namespace
}  // namespace panelora::test
