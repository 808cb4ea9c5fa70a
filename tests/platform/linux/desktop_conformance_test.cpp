// What every Linux desktop must do alike, through DesktopPlatform's seams, on each desktop rig:
// the virtual display in the geometry, frames when something is drawn and none otherwise, the
// pointer in the frames only when asked, touches, keys and scrolls reaching a window, and the
// capture's end when the display goes. Each desktop's own ways and faults stay in its suite.
#include "test_prelude.h"

#include "desktop_rig.h"
#include "input/pointer_injector.h"
#include "pictures.h"
#include "video/virtual_display.h"

namespace panelora::test {
namespace {

constexpr uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kBlack = 0x000000;
constexpr uint8_t kDown = 0, kUp = 2, kSecondary = 3, kHover = 4;
constexpr uint32_t kLeft = 0x110, kRight = 0x111, kKeyA = 30, kKeyShift = 42;  // Linux input codes
constexpr uint16_t kMacA = 0, kMacShift = 56;
const StreamProfile kProfile = StreamProfile::fallback;  // 2048 × 1536 for 1024 × 768 points

using Frames = Collected<CaptureSample>;

bool lastHas(const Frames& frames, int x, int y, const Yuv& colour) {
    return frames.size() > 0 && yuvNear(*frames.last().image, x, y, colour);
}

class DesktopConformance : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        std::string why;
        rig_ = DesktopRig::make(GetParam(), &why);
        if (!rig_) GTEST_SKIP() << why;
        seams_ = rig_->platform().seams();
        injector_.emplace(seams_.input.poster, seams_.input.geometry, Clock::system());
    }

    std::unique_ptr<VirtualDisplay> makeDisplay(const StreamProfile& profile = kProfile) {
        return VirtualDisplay::create(*seams_.virtualDisplays, profile, 1);
    }
    std::shared_ptr<ScreenCapturer> capture(const VirtualDisplay& display, bool showsCursor,
                                            Frames& frames, std::function<void()> onStopped = {}) {
        auto capturer = ScreenCapturer::create(
            *seams_.capture, [&frames](const ImageBufferRef& image, int64_t pts) {
                frames.add(CaptureSample{true, std::nullopt, image, pts});
            });
        capturer->onStopped = std::move(onStopped);
        const auto error = capturer->start(display.displayID(), kProfile, showsCursor);
        EXPECT_FALSE(error) << error->description();
        return capturer;
    }
    void touch(uint8_t phase, const VirtualDisplay& display, float x, float y) {
        injector_->injectTouch(phase, display.displayID(), x, y);
    }
    // Where a touch at (x, y) puts the pointer: the display's far edges are kept on its last
    // pixel row and column.
    Point mapped(const VirtualDisplay& display, float x, float y) {
        const Rect b = seams_.input.geometry->bounds(display.displayID());
        return {b.x + std::min(x * b.width, b.width - 1),
                b.y + std::min(y * b.height, b.height - 1)};
    }
    bool pointTo(const VirtualDisplay& display, float x, float y) {
        return repeatUntil(
            [&] { touch(kHover, display, x, y); },
            [&] { return seams_.input.cursor->location() == mapped(display, x, y); });
    }
    // The pointer into the window afresh, at (x, y) of the display: a window sets its pointer
    // image when the pointer enters it.
    bool enter(const VirtualDisplay& display, RigWindow& window, float x, float y) {
        return repeatUntil([&] { rig_->movePointerOff(display.displayID()); },
                           [&] { return !window.pointerInside(); }) &&
               repeatUntil([&] { touch(kHover, display, x, y); },
                           [&] { return window.pointerInside(); });
    }
    // A click at the window's centre, which also gives it the keyboard.
    void click(const VirtualDisplay& display, RigWindow& window) {
        ASSERT_TRUE(enter(display, window, 0.5f, 0.5f));
        const size_t before = window.buttons().size();
        touch(kDown, display, 0.5f, 0.5f);
        touch(kUp, display, 0.5f, 0.5f);
        ASSERT_TRUE(eventually([&] { return window.buttons().size() == before + 2; }));
    }

    std::unique_ptr<DesktopRig> rig_;
    DesktopSeams seams_;
    std::optional<PointerInjector> injector_;
};

TEST_P(DesktopConformance, ADisplayOfTheAskedSizeStandsRightOfTheMainOneWhileItsObjectLives) {
    DisplayGeometry& geometry = *seams_.input.geometry;
    const Rect main = geometry.bounds(geometry.mainDisplayID());
    std::set<DisplayID> ids{0};
    for (const StreamProfile& profile :
         {kProfile, StreamProfile::negotiate(2732, 2048, 120, true, std::nullopt)}) {
        SCOPED_TRACE(profile.summary());
        auto display = makeDisplay(profile);
        ASSERT_TRUE(display);
        const DisplayID id = display->displayID();
        EXPECT_TRUE(ids.insert(id).second) << "a display ID used twice: " << id;
        const bool pixels = rig_->boundsInPixels();
        EXPECT_EQ(
            geometry.bounds(id),
            (Rect{main.maxX(), main.minY(), double(pixels ? profile.width : profile.logicalWidth),
                  double(pixels ? profile.height : profile.logicalHeight)}));
        std::string why;
        EXPECT_EQ(std::ranges::count(seams_.capture->shareableDisplays(&why), id), 1) << why;
        EXPECT_EQ(geometry.bounds(geometry.mainDisplayID()), main);

        display.reset();
        EXPECT_TRUE(eventually([&] { return geometry.bounds(id).isEmpty(); }));
        EXPECT_EQ(std::ranges::count(seams_.capture->shareableDisplays(&why), id), 0) << why;
    }
}

TEST_P(DesktopConformance, WhatIsDrawnComesInFramesAndNothingComesWhileNothingChanges) {
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    auto window = rig_->openWindow(display->displayID(), kRed);
    ASSERT_TRUE(window);
    Frames frames;
    std::atomic<int> stopped{0};
    auto capturer = capture(*display, false, frames, [&] { ++stopped; });
    const int cx = int(kProfile.width / 2), cy = int(kProfile.height / 2);
    for (auto [rgb, yuv] : {std::pair{kRed, kRedYuv}, {kBlue, kBlueYuv}}) {
        ASSERT_TRUE(
            repeatUntil([&] { window->fill(rgb); }, [&] { return lastHas(frames, cx, cy, yuv); }));
    }
    EXPECT_EQ(frames.last().image->width(), kProfile.width);
    EXPECT_EQ(frames.last().image->height(), kProfile.height);

    // Nothing changes here, also while a window on the main display repaints (for which mutter
    // sends this monitor's unchanged picture again, and X11 reports damage of the screen).
    std::this_thread::sleep_for(300ms);
    const size_t settled = frames.size();
    auto elsewhere = rig_->openWindow(seams_.input.geometry->mainDisplayID(), kRed);
    ASSERT_TRUE(elsewhere);
    for (int i = 0; i < 20; ++i) {
        elsewhere->fill(i % 2 ? kRed : kBlue);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(frames.size(), settled);
    EXPECT_TRUE(lastHas(frames, cx, cy, kBlueYuv));
    const auto all = frames.items();
    for (size_t k = 1; k < all.size(); ++k)
        EXPECT_GT(all[k].ptsNanos, all[k - 1].ptsNanos);
    // The owner's stop is silent and idempotent.
    capturer->stopCapture();
    capturer->stopCapture();
    EXPECT_EQ(stopped.load(), 0);
}

// A desktop that draws the pointer into every frame (sway) has it there also when not asked for.
TEST_P(DesktopConformance, ThePointerIsInTheFramesWhenAskedForOrAlwaysDrawnByTheDesktop) {
    const bool always = seams_.framesAlwaysShowPointer;
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    auto window = rig_->openWindow(display->displayID(), kBlack);
    ASSERT_TRUE(window);
    window->setPointer(16, kRed);
    // Mutter takes the image when the pointer enters the window, and not always the first time.
    // A desktop that draws the pointer itself tells no image.
    ASSERT_TRUE(repeatUntil([&] { enter(*display, *window, 0.5f, 0.5f); },
                            [&] {
                                const auto cursor = seams_.input.cursor->currentSystemCursor();
                                return always ? !cursor : cursor && cursor->width == 16;
                            }));
    // The window's 16 points are `side` pixels of the frame: one frame with the pointer inside
    // and black a few pixels beyond each edge (X11 scales the pointer with the picture, which
    // blurs its edges). Judged on one frame at a time: a frame taken while the pointer still
    // moved there has it a few pixels off.
    const int side = int(16 * kProfile.width / window->size().first);
    auto pointerExactlyAt = [side](const Frames& frames, int x, int y) {
        if (!lastHas(frames, x + side / 4, y + side / 4, kRedYuv)) return false;
        const ImageBufferRef image = frames.last().image;
        for (auto [dx, dy] :
             {std::pair{-4, side / 4}, {side / 4, -4}, {side + 4, 0}, {0, side + 4}}) {
            if (!yuvNear(*image, x + dx, y + dy, kBlackYuv)) return false;
        }
        return true;
    };
    const int cx = int(kProfile.width / 2), cy = int(kProfile.height / 2);
    for (bool shows : {true, false}) {
        SCOPED_TRACE(shows ? "shown" : "not shown");
        ASSERT_TRUE(pointTo(*display, 0.5f, 0.5f));  // there before the first frame
        Frames frames;
        auto capturer = capture(*display, shows, frames);
        if (shows) {
            ASSERT_TRUE(repeatUntil([&] { touch(kHover, *display, 0.5f, 0.5f); },
                                    [&] { return pointerExactlyAt(frames, cx, cy); }));
        }
        // sway leaves a pointer that has not moved out of its first frame: judged after a move.
        if (shows || always) {
            // A move of the pointer alone makes a new frame, with the pointer at its new place
            // and nothing left at the old one.
            ASSERT_TRUE(repeatUntil([&] { touch(kHover, *display, 0.25f, 0.25f); },
                                    [&] {
                                        return pointerExactlyAt(frames, cx / 2, cy / 2) &&
                                               lastHas(frames, cx + side / 4, cy + side / 4,
                                                       kBlackYuv);
                                    }));
        } else {
            ASSERT_TRUE(frames.waitFor(1, 5s));
            ASSERT_TRUE(pointTo(*display, 0.25f, 0.25f));
            std::this_thread::sleep_for(300ms);
            for (const CaptureSample& frame : frames.items()) {
                EXPECT_TRUE(yuvNear(*frame.image, cx + side / 4, cy + side / 4, kBlackYuv));
                EXPECT_TRUE(yuvNear(*frame.image, cx / 2 + side / 4, cy / 2 + side / 4, kBlackYuv));
            }
        }
        capturer->stopCapture();
    }
}

TEST_P(DesktopConformance, TouchesLandAtTheirMappedPointAndClickThere) {
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    auto window = rig_->openWindow(display->displayID(), kBlack);
    ASSERT_TRUE(window);
    for (auto [x, y] : {std::pair{0.25f, 0.75f}, {0.0f, 0.0f}, {1.0f, 1.0f}})
        EXPECT_TRUE(pointTo(*display, x, y)) << x << "," << y;
    click(*display, *window);
    touch(kSecondary, *display, 0.25f, 0.25f);
    ASSERT_TRUE(eventually([&] { return window->buttons().size() >= 4; }));
    const auto [w, h] = window->size();
    const RigWindow::Input expected[] = {{kLeft, true, w / 2.0, h / 2.0},
                                         {kLeft, false, w / 2.0, h / 2.0},
                                         {kRight, true, w / 4.0, h / 4.0},
                                         {kRight, false, w / 4.0, h / 4.0}};
    const auto buttons = window->buttons();
    ASSERT_EQ(buttons.size(), std::size(expected));
    for (size_t i = 0; i < buttons.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(buttons[i], expected[i]);  // the button, and which way
        EXPECT_NEAR(buttons[i].x, expected[i].x, 2);
        EXPECT_NEAR(buttons[i].y, expected[i].y, 2);
    }
}

TEST_P(DesktopConformance, KeysAndScrollsReachTheWindow) {
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    auto window = rig_->openWindow(display->displayID(), kBlack);
    ASSERT_TRUE(window);
    click(*display, *window);
    EventPoster& poster = *seams_.input.poster;
    struct Case {
        const char* what;
        std::function<void()> post;
        std::vector<std::pair<uint32_t, bool>> arrives;
    };
    const Case cases[] = {
        {"a plain key",
         [&] {
             poster.postKey(kMacA, true, 0, false);
             poster.postKey(kMacA, false, 0, false);
         },
         {{kKeyA, true}, {kKeyA, false}}},
        {"the Shift key's own events, then an unshifted press lets go of it around the press",
         [&] {
             poster.postKey(kMacShift, true, EventFlags::shift, false);
             poster.postKey(kMacA, true, 0, false);
             poster.postKey(kMacA, false, 0, false);
             poster.postKey(kMacShift, false, 0, false);
         },
         {{kKeyShift, true},
          {kKeyShift, false},
          {kKeyA, true},
          {kKeyShift, true},
          {kKeyA, false},
          {kKeyShift, false}}},
        // Held past X's repeat delay (660 ms): the desktop adds no repeats of its own.
        {"a repeat as release and press",
         [&] {
             poster.postKey(kMacA, true, 0, false);
             poster.postKey(kMacA, true, 0, true);
             std::this_thread::sleep_for(900ms);
             poster.postKey(kMacA, false, 0, false);
         },
         {{kKeyA, true}, {kKeyA, false}, {kKeyA, true}, {kKeyA, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = window->keys().size();
        c.post();
        EXPECT_TRUE(eventually([&] { return window->keys().size() >= before + c.arrives.size(); }));
        std::this_thread::sleep_for(100ms);  // nothing more arrives
        std::vector<std::pair<uint32_t, bool>> arrived;
        for (const auto& key : window->keys())
            arrived.emplace_back(key.code, key.pressed);
        EXPECT_EQ(std::vector(arrived.begin() + long(before), arrived.end()), c.arrives);
        EXPECT_EQ(rig_->heldKeys(), std::set<uint32_t>{});
    }

    // Content down by 80 pixels, then right by 40: towards the start on both axes.
    injector_->injectScroll(0, 80);
    injector_->injectScroll(40, 0);
    const double step = rig_->scrollStep();
    EXPECT_TRUE(eventually([&] {
        const auto s = window->scrolled();
        return std::abs(s.vertical * step + 80) < 0.02 && std::abs(s.horizontal * step + 40) < 0.02;
    })) << window->scrolled().vertical * step
        << " " << window->scrolled().horizontal * step;
}

TEST_P(DesktopConformance, TheCaptureStopsOnceWhenTheDisplayGoes) {
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    Frames frames;
    std::atomic<int> stopped{0};
    auto capturer = capture(*display, false, frames, [&] { ++stopped; });
    ASSERT_TRUE(frames.waitFor(1, 5s));
    display.reset();
    EXPECT_TRUE(eventually([&] { return stopped.load() > 0; }, 15s));
    capturer->stopCapture();  // after the notice: no second one
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(stopped.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopConformance, ::testing::ValuesIn(DesktopRig::names()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace panelora::test
