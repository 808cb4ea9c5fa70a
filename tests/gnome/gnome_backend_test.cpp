// The GNOME backends against a real headless mutter with PipeWire (tests/support/gnome_session):
// the virtual monitor's size, scale and end, what the capturer delivers, the pointer drawn into
// it, touches, keys and scrolls arriving at a Wayland window, the cursor read back from the
// stream's metadata, the monitor moved left and right, and the capture stopping when the monitor
// goes away.
#include "test_prelude.h"

#include "display/display_arrangement.h"
#include "gnome_session.h"
#include "input/pointer_injector.h"
#include "pictures.h"
#include "platform/linux/dbus/session_bus.h"
#include "platform/linux/gnome/gnome_platform.h"
#include "png_reader.h"
#include "support/settings_store.h"
#include "video/virtual_display.h"
#include "wayland_canvas.h"

namespace panelora::test {
namespace {

using FrameSink = Collected<CaptureSample>;

constexpr uint32_t kRed = 0xFFFF0000, kBlue = 0xFF0000FF, kBlack = 0xFF000000;
constexpr uint8_t kHover = 4, kDown = 0, kUp = 2, kSecondary = 3;

// Does `act` until `done` holds, at most 5 s. Mutter drops absolute pointer motion while a
// virtual stream is paused (the backend pauses it when the monitors change) and takes a moment
// to show a new window's picture, so motions and drawings are repeated until they are seen.
bool until(const std::function<void()>& act, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        act();
        if (eventually(done, 250ms)) return true;
    }
    return false;
}

// Collects a capturer's frames.
std::shared_ptr<ScreenCapturer> capturerInto(CaptureBackend& backend, FrameSink& sink) {
    return ScreenCapturer::create(backend, [&sink](const ImageBufferRef& image, int64_t pts) {
        CaptureSample sample;
        sample.image = image;
        sample.ptsNanos = pts;
        sink.add(sample);
    });
}

// Whether the newest frame has `colour` at (x, y).
bool lastHas(const FrameSink& sink, int x, int y, const Yuv& colour) {
    return sink.size() > 0 && yuvNear(*sink.last().image, x, y, colour);
}
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
        ASSERT_TRUE(
            until([&] { touch(kHover, display, x, y); }, [&] { return canvas.pointerInside(); }));
    }

    // Takes the pointer onto the primary (over the display's left edge: mutter keeps a motion
    // that would end off every monitor on the monitor it started on) and back to (x, y) of the
    // display: the window gets a fresh enter, and shows its pointer image.
    void reenter(const VirtualDisplay& display, const WaylandCanvas& canvas, float x, float y) {
        auto session = platform_->monitors()->find(display.displayID())->session();
        ASSERT_TRUE(until(
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

TEST_F(GnomeBackend, EachDisplayIsANewMonitorOfTheStreamsPixelsAtTheNearestScaleUntilItGoes) {
    struct Case {
        StreamProfile profile;
        double scale;  // what mutter can give of pixels ÷ points
    };
    std::set<DisplayID> ids{0};
    for (const Case& c : {
             Case{StreamProfile::fallback, 2.0},
             // 2732 pixels looking like 1708 points want 1.6: mutter's nearest is 2.
             Case{StreamProfile::negotiate(2732, 2048, 120, false, std::nullopt), 2.0},
             Case{StreamProfile::negotiate(2732, 2048, 120, true, std::nullopt), 1.0},
         }) {
        SCOPED_TRACE(c.profile.width);
        auto display = makeDisplay(c.profile);
        ASSERT_TRUE(display);
        const DisplayID id = display->displayID();
        EXPECT_TRUE(ids.insert(id).second) << "a display ID used twice: " << id;
        auto spec = platform_->geometry()->specOf(id);
        ASSERT_TRUE(spec);
        const MonitorLayout layout = platform_->geometry()->layout();
        const MonitorInfo* info = layout.monitor(*spec);
        ASSERT_TRUE(info && info->currentMode());
        EXPECT_EQ(info->currentMode()->width, c.profile.width);
        EXPECT_EQ(info->currentMode()->height, c.profile.height);
        EXPECT_NEAR(info->currentMode()->refreshRate, double(c.profile.fps), 0.01);
        EXPECT_EQ(layout.logicalMonitorOf(*spec)->scale, c.scale);
        // Right of the 1440 × 900 primary, top aligned; the physical layout counts device pixels.
        EXPECT_EQ(bounds_, (Rect{1440, 0, double(c.profile.width), double(c.profile.height)}));
        EXPECT_EQ(platform_->geometry()->bounds(platform_->geometry()->mainDisplayID()),
                  (Rect{0, 0, 1440, 900}));

        display.reset();
        platform_->geometry()->refresh();
        EXPECT_FALSE(platform_->geometry()->layout().monitor(*spec));
        EXPECT_TRUE(platform_->geometry()->bounds(id).isEmpty());
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

TEST_F(GnomeBackend, CapturerDeliversWhatIsDrawnAndNothingWhileNothingChanges) {
    const StreamProfile profile = StreamProfile::fallback;
    auto display = makeDisplay(profile);
    ASSERT_TRUE(display);
    FrameSink sink;
    auto capturer = capturerInto(platform_->capture(), sink);
    ASSERT_FALSE(capturer->start(display->displayID(), profile, false));

    auto centreIs = [&](const Yuv& colour) { return lastHas(sink, 1024, 768, colour); };
    auto canvas = openCanvas(kRed);
    ASSERT_TRUE(canvas);
    ASSERT_TRUE(until([&] { canvas->fill(kRed); }, [&] { return centreIs(kRedYuv); }));
    EXPECT_EQ(sink.last().image->width(), profile.width);
    EXPECT_EQ(sink.last().image->height(), profile.height);
    ASSERT_TRUE(until([&] { canvas->fill(kBlue); }, [&] { return centreIs(kBlueYuv); }));

    // Nothing changes here: nothing is converted or delivered, also while a window on the
    // primary repaints (for which mutter 43 sends this monitor's unchanged picture again).
    std::this_thread::sleep_for(300ms);
    const size_t settled = sink.size();
    std::string why;
    auto elsewhere = WaylandCanvas::open({gnome_->waylandSocket(), 0, 0, kRed}, &why);
    ASSERT_TRUE(elsewhere) << why;
    for (int i = 0; i < 20; ++i) {
        elsewhere->fill(i % 2 ? kRed : kBlue);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(sink.size(), settled);
    EXPECT_TRUE(centreIs(kBlueYuv));
    capturer->stopCapture();
}

TEST_F(GnomeBackend, ThePointerIsDrawnIntoTheFramesOnlyWhenAskedFor) {
    const StreamProfile profile = StreamProfile::fallback;
    auto display = makeDisplay(profile);
    ASSERT_TRUE(display);
    auto canvas = openCanvas(kBlack);
    ASSERT_TRUE(canvas);
    canvas->setPointer(16, 16, kRed, 0, 0);  // a red square, hot spot top-left
    // Mutter sends the image when the pointer changes to it, entering the window.
    ASSERT_TRUE(until([&] { reenter(*display, *canvas, 0.5f, 0.5f); },
                      [&] {
                          auto cursor = platform_->cursor()->currentSystemCursor();
                          return cursor && cursor->width == 16;
                      }));

    // At (x, y) of the 2048 × 1536 picture the pointer covers 32 × 32 pixels (scale 2): one frame
    // with it inside and black just beyond each edge. Judged on one frame at a time: a frame
    // taken while mutter still moved the pointer there has it a few pixels off.
    auto pointerExactlyAt = [](const FrameSink& sink, int x, int y) {
        if (sink.size() == 0) return false;
        const ImageBufferRef image = sink.last().image;
        if (!yuvNear(*image, x + 8, y + 8, kRedYuv)) return false;
        for (auto [dx, dy] : {std::pair{-2, 8}, {8, -2}, {34, 0}, {0, 34}}) {
            if (!yuvNear(*image, x + dx, y + dy, kBlackYuv)) return false;
        }
        return true;
    };
    for (bool shows : {true, false}) {
        SCOPED_TRACE(shows ? "shown" : "not shown");
        FrameSink sink;
        auto capturer = capturerInto(platform_->capture(), sink);
        ASSERT_FALSE(capturer->start(display->displayID(), profile, shows));
        if (shows) {
            ASSERT_TRUE(until([&] { touch(kHover, *display, 0.5f, 0.5f); },
                              [&] { return pointerExactlyAt(sink, 1024, 768); }));
            // A move of the pointer alone makes a new frame, with the pointer at its new place
            // and nothing left at the old one.
            ASSERT_TRUE(until([&] { touch(kHover, *display, 0.25f, 0.25f); },
                              [&] {
                                  return pointerExactlyAt(sink, 512, 384) &&
                                         lastHas(sink, 1024 + 8, 768 + 8, kBlackYuv);
                              }));
        } else {
            ASSERT_TRUE(until([&] { touch(kHover, *display, 0.5f, 0.5f); },
                              [&] { return lastHas(sink, 1024 + 8, 768 + 8, kBlackYuv); }));
            for (const CaptureSample& frame : sink.items()) {
                EXPECT_TRUE(yuvNear(*frame.image, 1024 + 8, 768 + 8, kBlackYuv));
            }
        }
        capturer->stopCapture();
    }
}

// Mutter ends the session, the node goes (the user stops sharing, PipeWire restarts), or the
// display's owner lets go of it under a running capture: the capture stops, once. In the first two
// its owner lets go of the display's last reference right there, as a session's end does; that
// teardown must not run on a thread it destroys.
TEST_F(GnomeBackend, WhenTheMonitorGoesAwayTheCaptureStopsAndTheDisplayCanGoThere) {
    using End = std::function<void(VirtualMonitor&, const std::function<void()>& dropDisplay)>;
    const std::vector<std::pair<const char*, End>> ends{
        {"mutter's session stopped", [](VirtualMonitor& m, auto&) { m.session()->stop(); }},
        {"the node destroyed",
         [this](VirtualMonitor& m, auto&) {
             std::string why;
             EXPECT_TRUE(gnome_->destroyNode(m.session()->nodeId(), &why)) << why;
         }},
        {"the display let go of", [](VirtualMonitor&, auto& dropDisplay) { dropDisplay(); }},
    };
    for (const auto& [what, end] : ends) {
        SCOPED_TRACE(what);
        auto display = makeDisplay(StreamProfile::fallback);
        ASSERT_TRUE(display);
        const DisplayID id = display->displayID();
        std::mutex mutex;
        std::shared_ptr<VirtualDisplay> held = std::move(display);
        auto dropDisplay = [&] {
            std::shared_ptr<VirtualDisplay> last;
            std::lock_guard lock(mutex);
            last.swap(held);
        };
        std::atomic<int> stopped{0};
        auto capturer =
            ScreenCapturer::create(platform_->capture(), [](const ImageBufferRef&, int64_t) {});
        capturer->onStopped = [&] {
            dropDisplay();
            ++stopped;
        };
        const std::optional<MonitorSpec> spec = platform_->geometry()->specOf(id);
        ASSERT_TRUE(spec);
        ASSERT_FALSE(capturer->start(id, StreamProfile::fallback, false));
        end(*platform_->monitors()->find(id), dropDisplay);
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

TEST_F(GnomeBackend, TouchesMoveThePointerThereAndClick) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    auto canvas = openCanvas(kBlack);
    ASSERT_TRUE(canvas);
    struct Case {
        float x, y;
        Point expected;  // global points: the display is 2048 × 1536 at (1440, 0)
    };
    for (const Case& c : {Case{0.25f, 0.75f, {1440 + 512, 1152}}, Case{0, 0, {1440, 0}},
                          // The edge itself is kept on the last pixel row and column.
                          Case{1, 1, {1440 + 2047, 1535}}}) {
        EXPECT_TRUE(until([&] { touch(kHover, *display, c.x, c.y); },
                          [&] { return pointer() == c.expected; }))
            << c.x << "," << c.y << " -> " << (pointer() ? pointer()->x : -1) << ","
            << (pointer() ? pointer()->y : -1);
    }
    pointInto(*display, *canvas, 0.5f, 0.5f);
    touch(kDown, *display, 0.5f, 0.5f);
    touch(kUp, *display, 0.5f, 0.5f);
    touch(kSecondary, *display, 0.6f, 0.6f);
    using Key = WaylandCanvas::Key;
    const std::vector<Key> clicks{{0x110, true}, {0x110, false}, {0x111, true}, {0x111, false}};
    EXPECT_TRUE(eventually([&] { return canvas->buttons() == clicks; }));
}

TEST_F(GnomeBackend, ShiftHeldOnlyWhereAskedForAndRepeatsArrive) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    auto canvas = openCanvas(kBlack);
    ASSERT_TRUE(canvas);
    // A click gives the window the keyboard.
    pointInto(*display, *canvas, 0.5f, 0.5f);
    touch(kDown, *display, 0.5f, 0.5f);
    touch(kUp, *display, 0.5f, 0.5f);
    ASSERT_TRUE(eventually([&] { return canvas->buttons().size() == 2; }));
    auto& poster = *platform_->poster();
    using Key = WaylandCanvas::Key;
    constexpr uint16_t kMacA = 0, kMacShift = 56;
    constexpr uint32_t kA = 30, kShift = 42;
    struct Case {
        const char* what;
        std::function<void()> post;
        std::vector<Key> arrives;
    };
    // Plain and shifted presses: gnome_program_test types them through the whole program.
    const std::vector<Case> cases{
        {"the Shift key's own events, then an unshifted press lets go of it around the press",
         [&] {
             poster.postKey(kMacShift, true, EventFlags::shift, false);
             poster.postKey(kMacA, true, 0, false);
             poster.postKey(kMacA, false, 0, false);
             poster.postKey(kMacShift, false, 0, false);
         },
         {{kShift, true},
          {kShift, false},
          {kA, true},
          {kShift, true},
          {kA, false},
          {kShift, false}}},
        {"a repeat as release and press",
         [&] {
             poster.postKey(kMacA, true, 0, false);
             poster.postKey(kMacA, true, 0, true);
             poster.postKey(kMacA, false, 0, false);
         },
         {{kA, true}, {kA, false}, {kA, true}, {kA, false}}},
    };
    for (const Case& c : cases) {
        const size_t before = canvas->keys().size();
        c.post();
        EXPECT_TRUE(eventually([&] { return canvas->keys().size() >= before + c.arrives.size(); }))
            << c.what;
        std::this_thread::sleep_for(100ms);  // nothing more arrives
        auto keys = canvas->keys();
        EXPECT_EQ(std::vector<Key>(keys.begin() + static_cast<long>(before), keys.end()), c.arrives)
            << c.what;
    }
    EXPECT_TRUE(poster.heldKeys().empty());
}

TEST_F(GnomeBackend, ScrollsArriveAsSmoothPixelsWithWaylandsSigns) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    auto canvas = openCanvas(kBlack);
    ASSERT_TRUE(canvas);
    pointInto(*display, *canvas, 0.5f, 0.5f);
    // Content down by 30 pixels, then right by 12.5 (carried halves make whole pixels).
    injector_->injectScroll(0, 30);
    injector_->injectScroll(12.5f, 0);
    injector_->injectScroll(0.5f, 0);
    // Wayland carries axis values in 1/256 steps.
    EXPECT_TRUE(eventually([&] {
        return std::abs(canvas->verticalScroll() + 30) < 0.02 &&
               std::abs(canvas->horizontalScroll() + 13) < 0.02;
    })) << canvas->verticalScroll()
        << " " << canvas->horizontalScroll();
}

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
    ASSERT_TRUE(until([&] { reenter(*display, *canvas, 0.5f, 0.5f); },
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
    ASSERT_TRUE(until([&] { touch(kHover, *display, 0.01f, 0.5f); },
                      [&] { return pointer() == Point(1440 + 20, 768); }));
    // Relative motion takes it over the left edge onto the primary (repeated: mutter drops
    // motion while it restarts the stream, as it may after the monitor appeared).
    auto session = platform_->monitors()->find(display->displayID())->session();
    ASSERT_TRUE(until([&] { session->pointerMotionRelative(-200, 0); },
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
