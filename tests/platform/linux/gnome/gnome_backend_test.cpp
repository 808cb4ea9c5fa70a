// The GNOME backends against a real headless mutter with PipeWire (tests/support/gnome_session),
// where GNOME differs from the other desktops (the conformance suite has what they share): the
// virtual monitor's mode and scale, mutter ending the monitor under a capture, the cursor read
// back from the stream's metadata, the pointer past the monitor's edge, the monitor moved left and
// right, and the bus.
#include "test_prelude.h"

#include "display/display_arrangement.h"
#include "gnome_session.h"
#include "input/pointer_injector.h"
#include "platform/linux/dbus/session_bus.h"
#include "platform/linux/gnome/gnome_platform.h"
#include "png_reader.h"
#include "support/settings_store.h"
#include "video/virtual_display.h"
#include "wayland_canvas.h"

namespace panelora::test {
namespace {

constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint8_t kHover = 4;

class GnomeBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        gnome_ = GnomeSession::shared();
        if (!gnome_) GTEST_SKIP() << GnomeSession::sharedSkipReason();
        std::string why;
        platform_ = GnomePlatform::create({gnome_->busAddress(), gnome_->pipewireSocket(),
                                           LibavVideoCodecFactory::Encoders::automatic},
                                          &why);
        ASSERT_TRUE(platform_) << why;
        injector_.emplace(platform_->poster(), platform_->geometry(), Clock::system());
    }

    std::unique_ptr<VirtualDisplay> makeDisplay(const StreamProfile& profile) {
        return VirtualDisplay::create(platform_->virtualDisplays(), profile, 1);
    }
    void hover(const VirtualDisplay& display, float x, float y) {
        injector_->injectTouch(kHover, display.displayID(), x, y);
    }
    // Relative motion, which takes the pointer over the display's edges.
    void motion(const VirtualDisplay& display, double dx) {
        platform_->monitors()->find(display.displayID())->session()->pointerMotionRelative(dx, 0);
    }
    std::optional<Point> pointer() { return platform_->cursor()->location(); }

    GnomeSession* gnome_ = nullptr;
    std::unique_ptr<GnomePlatform> platform_;
    std::optional<PointerInjector> injector_;
};

// The size, the place and the end are the conformance suite's; mutter's own mode and scale here.
TEST_F(GnomeBackend, EachDisplayIsAMonitorOfTheStreamsPixelsAndRateAtTheNearestScale) {
    const std::pair<StreamProfile, double> cases[] = {
        {StreamProfile::fallback, 2.0},
        // 2732 pixels looking like 1708 points want 1.6: mutter's nearest is 2.
        {StreamProfile::negotiate(2732, 2048, 120, false, std::nullopt), 2.0},
        {StreamProfile::negotiate(2732, 2048, 120, true, std::nullopt), 1.0},
    };
    for (const auto& [profile, scale] : cases) {
        SCOPED_TRACE(profile.width);
        auto display = makeDisplay(profile);
        ASSERT_TRUE(display);
        auto spec = platform_->geometry()->specOf(display->displayID());
        ASSERT_TRUE(spec);
        const MonitorLayout layout = platform_->geometry()->layout();
        const MonitorInfo* info = layout.monitor(*spec);
        ASSERT_TRUE(info && info->currentMode());
        EXPECT_EQ(info->currentMode()->width, profile.width);
        EXPECT_EQ(info->currentMode()->height, profile.height);
        EXPECT_NEAR(info->currentMode()->refreshRate, double(profile.fps), 0.01);
        EXPECT_EQ(layout.logicalMonitorOf(*spec)->scale, scale);
    }
}

// Let go of at once, before its thread ran its loop: the quit must not be lost (it was, and the
// join waited for ever).
TEST(GnomeSessionBus, EndsItsThreadAlsoWhenLetGoAtOnce) {
    GnomeSession* gnome = GnomeSession::shared();
    if (!gnome) GTEST_SKIP() << GnomeSession::sharedSkipReason();
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([address = gnome->busAddress(), done] {
        for (int i = 0; i < 200; ++i) {
            std::string why;
            if (!SessionBus::connect(address, &why)) break;
        }
        done->set_value();
    }).detach();  // left behind if it hangs, so that the test can fail
    EXPECT_EQ(finished.wait_for(60s), std::future_status::ready) << "a bus never ended";
}

// Mutter ends the session, or the node goes (the user stops sharing, PipeWire restarts): the
// capture stops, and its owner lets go of the display's last reference right there, as a
// session's end does. That teardown must not run on a thread it destroys.
TEST_F(GnomeBackend, WhenTheMonitorGoesAwayTheCaptureStopsAndTheDisplayCanGoThere) {
    const std::pair<const char*, std::function<void(VirtualMonitor&)>> ends[] = {
        {"mutter's session stopped", [](VirtualMonitor& m) { m.session()->stop(); }},
        {"the node destroyed",
         [this](VirtualMonitor& m) {
             std::string why;
             EXPECT_TRUE(gnome_->destroyNode(m.session()->nodeId(), &why)) << why;
         }},
    };
    for (const auto& [what, end] : ends) {
        SCOPED_TRACE(what);
        std::shared_ptr<VirtualDisplay> held = makeDisplay(StreamProfile::fallback);
        ASSERT_TRUE(held);
        const DisplayID id = held->displayID();
        const std::optional<MonitorSpec> spec = platform_->geometry()->specOf(id);
        ASSERT_TRUE(spec);
        std::mutex mutex;
        std::atomic<int> stopped{0};
        auto capturer =
            ScreenCapturer::create(platform_->capture(), [](const ImageBufferRef&, int64_t) {});
        capturer->onStopped = [&] {
            std::shared_ptr<VirtualDisplay> last;
            std::lock_guard lock(mutex);
            last.swap(held);
            ++stopped;
        };
        ASSERT_FALSE(capturer->start(id, StreamProfile::fallback, false));
        end(*platform_->monitors()->find(id));
        EXPECT_TRUE(eventually([&] { return stopped.load() == 1; }, 15s));
        EXPECT_TRUE(eventually(
            [&] {
                platform_->geometry()->refresh();
                return !platform_->geometry()->layout().monitor(*spec);
            },
            10s))
            << "the monitor stayed";
        capturer->stopCapture();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(stopped.load(), 1);
    }
}

// Mutter draws a window's pointer image at the monitor's scale: the cursor is read back in the
// display's points, its hot spot too.
TEST_F(GnomeBackend, TheCursorImageComesFromTheStreamInTheDisplaysPoints) {
    auto display = makeDisplay(StreamProfile::fallback);  // 2048 pixels for 1024 points
    ASSERT_TRUE(display);
    // Before mutter sent an image the theme's arrow stands in.
    auto arrow = platform_->cursor()->arrowCursor();
    ASSERT_TRUE(arrow);
    EXPECT_GT(arrow->width, 0);

    const Rect bounds = platform_->geometry()->bounds(display->displayID());
    const MonitorLayout layout = platform_->geometry()->layout();
    ASSERT_TRUE(layout.primary());
    std::string why;
    auto canvas = WaylandCanvas::open({gnome_->waylandSocket(), int(bounds.x) + layout.primary()->x,
                                       int(bounds.y) + layout.primary()->y, 0xFF000000},
                                      &why);
    ASSERT_TRUE(canvas) << why;
    canvas->setPointer(30, 20, kRed, 5, 6);
    // Mutter takes the image when the pointer enters the window afresh (not always the first
    // time): off over the display's left edge onto the primary, and back.
    std::optional<PlatformCursor> cursor;
    ASSERT_TRUE(repeatUntil(
        [&] {
            repeatUntil(
                [&] {
                    hover(*display, 0, 0.25f);
                    motion(*display, -200);
                },
                [&] { return !canvas->pointerInside(); }, 2s);
            repeatUntil([&] { hover(*display, 0.5f, 0.5f); },
                        [&] { return canvas->pointerInside(); }, 2s);
        },
        [&] {
            cursor = platform_->cursor()->currentSystemCursor();
            return cursor && cursor->width == 30;
        }));
    EXPECT_EQ(cursor->height, 20);
    EXPECT_EQ(cursor->hotSpot, (Point{5, 6}));
    auto png = cursor->png();
    auto picture = png ? decodePng(*png) : std::nullopt;
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 60);
    EXPECT_EQ(picture->rgbAt(0.5, 0.5), kRed & 0xFFFFFF);
}

TEST_F(GnomeBackend, ThePointerLeavingTheMonitorIsSeenJustPastItsEdge) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    const Rect bounds = platform_->geometry()->bounds(display->displayID());
    ASSERT_TRUE(repeatUntil([&] { hover(*display, 0.01f, 0.5f); },
                            [&] { return pointer() == Point(1440 + 20, 768); }));
    // Relative motion takes it over the left edge onto the primary (repeated: mutter drops
    // motion while it restarts the stream, as it may after the monitor appeared).
    ASSERT_TRUE(repeatUntil([&] { motion(*display, -200); },
                            [&] { return pointer() && !bounds.contains(*pointer()); }));
    EXPECT_EQ(pointer(), Point(1440 - 1, 768));
}

TEST_F(GnomeBackend, TheDisplayMovesLeftAndRightOfThePrimaryAndTheMoveIsNoticed) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    auto geometry = platform_->geometry();
    std::atomic<bool> moved{false};
    auto token = geometry->addReconfigurationCallback([&](DisplayID d, uint32_t flags) {
        if (d == id && (flags & DisplayChange::movedFlag)) moved = true;
    });
    TempDir dir;
    auto store = std::make_shared<SettingsStore>(dir.file("settings.json"));
    auto arrangement = DisplayArrangement::create(id, geometry, store, Clock::system());
    arrangement->move(DisplayArrangement::Side::left);
    EXPECT_EQ(geometry->bounds(id), (Rect{-2048, 0, 2048, 1536}));
    EXPECT_EQ(geometry->bounds(geometry->mainDisplayID()), (Rect{0, 0, 1440, 900}));
    EXPECT_EQ(store->displayArrangement(), R"({"offset":0.0,"side":"left"})");
    EXPECT_TRUE(eventually([&] { return moved.load(); }));

    arrangement->move(DisplayArrangement::Side::right);
    EXPECT_EQ(geometry->bounds(id), (Rect{1440, 0, 2048, 1536}));
    EXPECT_EQ(store->displayArrangement(), R"({"offset":0.0,"side":"right"})");
    geometry->removeReconfigurationCallback(token);
}

}  // namespace
}  // namespace panelora::test
