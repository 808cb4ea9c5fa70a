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

constexpr uint32_t kRed = 0xFFFF0000, kBlack = 0xFF000000;
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

    // A virtual display for `profile` (its bounds in bounds_).
    std::unique_ptr<VirtualDisplay> makeDisplay(const StreamProfile& profile) {
        auto display = VirtualDisplay::create(platform_->virtualDisplays(), profile, 1);
        if (display) bounds_ = platform_->geometry()->bounds(display->displayID());
        return display;
    }

    // A fullscreen window on the display, shown.
    std::unique_ptr<WaylandCanvas> openCanvas(uint32_t argb) {
        const MonitorLayout layout = platform_->geometry()->layout();
        const LogicalMonitor* primary = layout.primary();
        std::string why;
        auto canvas = WaylandCanvas::open(
            {gnome_->waylandSocket(), static_cast<int>(bounds_.x) + (primary ? primary->x : 0),
             static_cast<int>(bounds_.y) + (primary ? primary->y : 0), argb},
            &why);
        EXPECT_TRUE(canvas) << why;
        return canvas;
    }

    void touch(uint8_t phase, const VirtualDisplay& display, float x, float y) {
        injector_->injectTouch(phase, display.displayID(), x, y);
    }

    // The pointer over (x, y) of the display and the window under it told so.
    void pointInto(const VirtualDisplay& display, const WaylandCanvas& canvas, float x, float y) {
        ASSERT_TRUE(repeatUntil([&] { touch(kHover, display, x, y); },
                                [&] { return canvas.pointerInside(); }));
    }

    // Takes the pointer onto the primary (over the display's left edge: mutter keeps a motion
    // that would end off every monitor on the monitor it started on) and back to (x, y) of the
    // display: the window gets a fresh enter, and shows its pointer image.
    void reenter(const VirtualDisplay& display, const WaylandCanvas& canvas, float x, float y) {
        auto session = platform_->monitors()->find(display.displayID())->session();
        ASSERT_TRUE(repeatUntil(
            [&] {
                touch(kHover, display, 0, 0.25f);
                session->pointerMotionRelative(-200, 0);
            },
            [&] { return !canvas.pointerInside(); }));
        pointInto(display, canvas, x, y);
    }

    std::optional<Point> pointer() { return platform_->cursor()->location(); }

    GnomeSession* gnome_ = nullptr;
    std::unique_ptr<GnomePlatform> platform_;
    std::optional<PointerInjector> injector_;
    Rect bounds_;
};

// ---- The virtual monitor

// The size, the place and the end are the conformance suite's; mutter's own mode and scale here.
TEST_F(GnomeBackend, EachDisplayIsAMonitorOfTheStreamsPixelsAndRateAtTheNearestScale) {
    struct Case {
        StreamProfile profile;
        double scale;  // what mutter can give of pixels ÷ points
    };
    for (const Case& c : {
             Case{StreamProfile::fallback, 2.0},
             // 2732 pixels looking like 1708 points want 1.6: mutter's nearest is 2.
             Case{StreamProfile::negotiate(2732, 2048, 120, false, std::nullopt), 2.0},
             Case{StreamProfile::negotiate(2732, 2048, 120, true, std::nullopt), 1.0},
         }) {
        SCOPED_TRACE(c.profile.width);
        auto display = makeDisplay(c.profile);
        ASSERT_TRUE(display);
        auto spec = platform_->geometry()->specOf(display->displayID());
        ASSERT_TRUE(spec);
        const MonitorLayout layout = platform_->geometry()->layout();
        const MonitorInfo* info = layout.monitor(*spec);
        ASSERT_TRUE(info && info->currentMode());
        EXPECT_EQ(info->currentMode()->width, c.profile.width);
        EXPECT_EQ(info->currentMode()->height, c.profile.height);
        EXPECT_NEAR(info->currentMode()->refreshRate, double(c.profile.fps), 0.01);
        EXPECT_EQ(layout.logicalMonitorOf(*spec)->scale, c.scale);
    }
}

// ---- The bus

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

// ---- Capture

// Mutter ends the session, or the node goes (the user stops sharing, PipeWire restarts): the
// capture stops, and its owner lets go of the display's last reference right there, as a
// session's end does. That teardown must not run on a thread it destroys.
TEST_F(GnomeBackend, WhenTheMonitorGoesAwayTheCaptureStopsAndTheDisplayCanGoThere) {
    const std::vector<std::pair<const char*, std::function<void(VirtualMonitor&)>>> ends{
        {"mutter's session stopped", [](VirtualMonitor& m) { m.session()->stop(); }},
        {"the node destroyed",
         [this](VirtualMonitor& m) {
             std::string why;
             EXPECT_TRUE(gnome_->destroyNode(m.session()->nodeId(), &why)) << why;
         }},
    };
    for (const auto& [what, end] : ends) {
        SCOPED_TRACE(what);
        auto display = makeDisplay(StreamProfile::fallback);
        ASSERT_TRUE(display);
        const DisplayID id = display->displayID();
        std::mutex mutex;
        std::shared_ptr<VirtualDisplay> held = std::move(display);
        std::atomic<int> stopped{0};
        auto capturer =
            ScreenCapturer::create(platform_->capture(), [](const ImageBufferRef&, int64_t) {});
        capturer->onStopped = [&] {
            std::shared_ptr<VirtualDisplay> last;
            {
                std::lock_guard lock(mutex);
                last.swap(held);
            }
            ++stopped;
        };
        const std::optional<MonitorSpec> spec = platform_->geometry()->specOf(id);
        ASSERT_TRUE(spec);
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

// ---- Input and the cursor

TEST_F(GnomeBackend, TheCursorImageComesFromTheStreamInTheDisplaysPoints) {
    auto display = makeDisplay(StreamProfile::fallback);  // 2048 pixels for 1024 points
    ASSERT_TRUE(display);
    auto canvas = openCanvas(kBlack);
    ASSERT_TRUE(canvas);
    // Before mutter sent an image the theme's arrow stands in.
    auto arrow = platform_->cursor()->arrowCursor();
    ASSERT_TRUE(arrow);
    EXPECT_GT(arrow->width, 0);

    canvas->setPointer(30, 20, kRed, 5, 6);
    std::optional<PlatformCursor> cursor;
    ASSERT_TRUE(repeatUntil([&] { reenter(*display, *canvas, 0.5f, 0.5f); },
                            [&] {
                                cursor = platform_->cursor()->currentSystemCursor();
                                return cursor && cursor->width == 30;
                            }));
    // Mutter draws it at the monitor's scale 2: 60 × 40 pixels, half as many points.
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
    ASSERT_TRUE(repeatUntil([&] { touch(kHover, *display, 0.01f, 0.5f); },
                            [&] { return pointer() == Point(1440 + 20, 768); }));
    // Relative motion takes it over the left edge onto the primary (repeated: mutter drops
    // motion while it restarts the stream, as it may after the monitor appeared).
    auto session = platform_->monitors()->find(display->displayID())->session();
    ASSERT_TRUE(repeatUntil([&] { session->pointerMotionRelative(-200, 0); },
                            [&] { return pointer() && !bounds_.contains(*pointer()); }));
    EXPECT_EQ(pointer(), Point(1440 - 1, 768));
}

// ---- Arrangement

TEST_F(GnomeBackend, TheDisplayMovesLeftAndRightOfThePrimaryAndTheMoveIsNoticed) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    auto geometry = platform_->geometry();
    Collected<std::pair<DisplayID, uint32_t>> notices;
    auto token = geometry->addReconfigurationCallback([&](DisplayID d, uint32_t flags) {
        notices.add({d, flags});
    });
    auto movedNotice = [&] {
        return std::ranges::any_of(notices.items(), [&](auto notice) {
            return notice.first == id && (notice.second & DisplayChange::movedFlag);
        });
    };

    TempDir dir;
    auto store = std::make_shared<SettingsStore>(dir.file("settings.json"));
    auto arrangement = DisplayArrangement::create(id, geometry, store, Clock::system());
    arrangement->move(DisplayArrangement::Side::left);
    EXPECT_EQ(geometry->bounds(id), (Rect{-2048, 0, 2048, 1536}));
    EXPECT_EQ(geometry->bounds(geometry->mainDisplayID()), (Rect{0, 0, 1440, 900}));
    EXPECT_EQ(store->displayArrangement(), R"({"offset":0.0,"side":"left"})");
    EXPECT_TRUE(eventually(movedNotice));

    arrangement->move(DisplayArrangement::Side::right);
    EXPECT_EQ(geometry->bounds(id), (Rect{1440, 0, 2048, 1536}));
    EXPECT_EQ(store->displayArrangement(), R"({"offset":0.0,"side":"right"})");
    geometry->removeReconfigurationCallback(token);
}

}  // namespace
}  // namespace panelora::test
