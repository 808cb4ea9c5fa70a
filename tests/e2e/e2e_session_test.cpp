// The whole chain on real parts: a private Xorg (dummy driver), the Linux platform bundle,
// usbmuxd-sim and tablet-sim as separate processes, and a Session between them reached through
// USBMux::listDevices/connect, as the application does it. The main queue is the default
// stand-in queue with its own thread.

#include <X11/keysym.h>

#include "animator.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"
#include "png_reader.h"
#include "session_probe.h"
#include "test_prelude.h"
#include "tool_rig.h"
#include "x11_helpers.h"

namespace panelora::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Generous: CI also runs this under ASan in a debug build on two cores. Every wait ends as soon
// as what it waits for happens.
constexpr auto kLong = 30s;

bool colourNear(uint32_t actual, uint32_t expected, int tolerance = 24) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(int((actual >> shift) & 0xFF) - int((expected >> shift) & 0xFF)) > tolerance)
            return false;
    }
    return true;
}

class EndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The display arrangement persists placements: keep them out of the real settings.
        config_ = new TempDir;
        setenv("XDG_CONFIG_HOME", config_->path().c_str(), 1);
        if (!XorgServer::shared()) return;
        std::string error;
        platform_ = X11Platform::create(XorgServer::shared()->displayName(), &error).release();
        if (!platform_) platformError_ = error;
    }
    static void TearDownTestSuite() {
        delete platform_;
        delete config_;
    }

    void SetUp() override {
        server_ = XorgServer::shared();
        if (!server_) GTEST_SKIP() << XorgServer::sharedSkipReason();
        ASSERT_NE(platform_, nullptr) << platformError_;
        x_ = openDisplay(server_->displayName());
        ASSERT_TRUE(x_);
        // The pointer starts on the main display, away from where the virtual display appears.
        XWarpPointer(x_.get(), None, DefaultRootWindow(x_.get()), 0, 0, 0, 0, 100, 100);
        XSync(x_.get(), False);
    }

    // A streaming session to a fresh tablet-sim started with `tabletArgs`.
    struct Streaming {
        std::unique_ptr<TabletRig> rig;
        std::shared_ptr<SessionProbe> probe;
        SteadyClock::time_point connectedAt;
        Rect rect;  // the virtual display
    };
    Streaming startStreaming(const std::vector<std::string>& tabletArgs) {
        Streaming s;
        std::string error;
        s.rig = TabletRig::start(tabletArgs, &error);
        EXPECT_TRUE(s.rig) << error;
        const int fd = s.rig ? s.rig->connect(&error) : -1;
        EXPECT_GE(fd, 0) << error;
        if (fd < 0) return s;
        s.connectedAt = SteadyClock::now();
        s.probe = SessionProbe::create(fd, platform_->sessionEnvironment());
        const auto failure = s.probe->session().start(false, std::nullopt);
        EXPECT_FALSE(failure) << failure->description();
        if (failure) {
            s.probe->session().stop();
            s.probe.reset();
            return s;
        }
        const auto bounds = x11::displayBounds(x_.get(), s.probe->session().displayID());
        EXPECT_TRUE(bounds) << "the virtual display is not among the enabled outputs";
        s.rect = bounds.value_or(Rect{});
        return s;
    }

    // Ends tablet-sim (SIGTERM) and then the session; the tablet's report, checked for
    // violations.
    nlohmann::json finish(Streaming& s) {
        auto report = s.rig->finish();
        EXPECT_TRUE(s.probe->waitEnded(kLong)) << "the session did not notice the tablet leave";
        EXPECT_EQ(s.probe->endedCount(), 1);
        s.probe->release();
        EXPECT_TRUE(report) << "tablet-sim wrote no report: " << s.rig->tablet().output();
        if (!report) return {};
        EXPECT_EQ((*report)["violationCount"], 0) << report->dump(2);
        return *report;
    }

    static inline TempDir* config_ = nullptr;
    static inline X11Platform* platform_ = nullptr;
    static inline std::string platformError_;
    XorgServer* server_ = nullptr;
    DisplayPtr x_;
};

TEST(X11PlatformTest, UnreachableServerIsAnErrorNotAPlatform) {
    std::string error;
    EXPECT_EQ(X11Platform::create(":4987", &error), nullptr);
    EXPECT_NE(error.find(":4987"), std::string::npos) << error;
}

// The negotiated profile and the RandR display while streaming; a touch moves the X pointer onto
// the virtual display and clicks the window there, and a key with Shift arrives in it as "A"; the
// pattern drawn in that window is what the tablet decodes.
TEST_F(EndToEnd, TabletDecodesThePatternAndItsTouchAndKeyReachTheWindow) {
    // Key requests make the host re-send the still picture, so the last decoded one is current.
    // Script times count from the connection; the window must exist by then.
    auto s = startStreaming(
        {"--hello", "2732x2048@120", "--key-request-every", "250", "--input",
         "at 2500 touch down 0.25 0.25; at 2600 touch up 0.25 0.25; at 2800 key 4 down shift; "
         "at 2850 key 4 up shift"});
    ASSERT_TRUE(s.probe);
    EXPECT_EQ(s.probe->session().profile().summary(), "2732×2048 @ 60 fps · looks like 1708×1280");
    EXPECT_EQ(shownModeNames(x_.get(), "panelora-1708x1280-").size(), 1u);
    const Rect rect = s.rect;
    TestWindow window(x_.get(), int(rect.x), int(rect.y), int(rect.width), int(rect.height), true);
    ASSERT_LT(SteadyClock::now() - s.connectedAt, 2500ms) << "start-up too slow for the script";

    const auto press = waitForEvent(
        x_.get(), [](const XEvent& e) { return e.type == ButtonPress; }, kLong);
    ASSERT_TRUE(press) << "no ButtonPress reached the window";
    EXPECT_EQ(press->xbutton.button, 1u);
    EXPECT_NEAR(press->xbutton.x, 0.25 * rect.width, 1.0);
    EXPECT_NEAR(press->xbutton.y, 0.25 * rect.height, 1.0);
    // The modifier's own press comes first; the first other key must be an "A".
    auto isKey = [](int type) {
        return [type](const XEvent& e) {
            return e.type == type && !IsModifierKey(typedKeysym(e.xkey));
        };
    };
    const auto key = waitForEvent(x_.get(), isKey(KeyPress), kLong);
    ASSERT_TRUE(key) << "no KeyPress reached the focused window";
    EXPECT_EQ(typedKeysym(key->xkey), KeySym(XK_A)) << XKeysymToString(typedKeysym(key->xkey));
    ASSERT_TRUE(waitForEvent(x_.get(), isKey(KeyRelease), kLong));  // the script's last input
    const auto [x, y] = pointerPosition(x_.get());
    EXPECT_TRUE(rect.contains(Point{double(x), double(y)})) << "pointer at " << x << "," << y;

    // Two whole statistics windows later the pattern's frames have been sent, and the key
    // requests re-sent them since.
    const size_t painted = s.probe->stats().size();
    ASSERT_TRUE(s.probe->waitForStats(
        painted + 1, [](auto&) { return true; }, kLong));
    EXPECT_GT(s.probe->stats().back().fps, 0);
    const auto report = finish(s);
    EXPECT_EQ(report["inputsSent"], 4);
    EXPECT_GT(report["frames"]["decoded"].get<int>(), 0);
    EXPECT_EQ(report["frames"]["corrupt"], 0);
    const auto png = readPng(s.rig->pngPath());
    ASSERT_TRUE(png);
    ASSERT_EQ(png->width, 2732);
    ASSERT_EQ(png->height, 2048);
    // Two points in each quadrant, away from the edges where H.264 blurs the colours together
    // (and from the pointer, drawn at the touch).
    for (int q = 0; q < 4; ++q) {
        for (double fx : {0.1, 0.4}) {
            for (double fy : {0.1, 0.4}) {
                const double x = fx + (q % 2 ? 0.5 : 0.0), y = fy + (q < 2 ? 0.0 : 0.5);
                EXPECT_TRUE(colourNear(png->rgbAt(x, y), TestWindow::kQuadrantColours[q]))
                    << "at (" << x << ", " << y << "): " << std::hex << png->rgbAt(x, y);
            }
        }
    }
}

// A tablet that stops reading makes the host drop frames instead of queueing them: the video
// waiting in the host stays near its 3 MB limit, a key frame is asked for only once the backlog
// has drained, and when the tablet reads again the stream resumes with a key frame and decodes
// cleanly. The tablet then leaves while frames flow: the session ends once (finish()) and its
// display goes (the program's tests count the threads and descriptors left).
TEST_F(EndToEnd, StalledTabletMakesTheHostDropAndRecoverWithAKeyFrame) {
    // The stall must outlast the buffers on the way (the daemon's relay and both TCP ends hold
    // about 7 MB at these rates) plus the host's own 3 MB backlog.
    auto s =
        startStreaming({"--hello", "1600x1200@60", "--stall-at", "1000", "--stall-for", "6500"});
    ASSERT_TRUE(s.probe);
    auto animator = Animator::start(server_->displayName(), s.rect, 60, Animator::noise());
    ASSERT_TRUE(animator);

    const auto dropping = s.probe->waitForStats(
        0, [](const Session::Stats& st) { return st.dropped > 0 && st.backlogKB >= 3000; }, kLong);
    ASSERT_TRUE(dropping) << "no frame was dropped while the tablet stalled";
    // Frames flow again after the stall: two records in a row with frames queued.
    const auto flowing = s.probe->waitForStats(
        *dropping + 1, [](const Session::Stats& st) { return st.fps > 0 && st.dropped == 0; },
        kLong);
    ASSERT_TRUE(flowing) << "the stream did not recover";
    ASSERT_TRUE(s.probe->waitForStats(
        *flowing + 1, [](const Session::Stats& st) { return st.fps > 0; }, kLong));
    EXPECT_EQ(s.probe->endedCount(), 0) << "the stall ended the session";
    // The limit plus one large frame. (How many frames are dropped depends on how much the
    // socket buffers on the way absorb; the rule itself is tested on a socket pair.)
    int64_t worstKB = 0;
    for (const auto& st : s.probe->stats())
        worstKB = std::max(worstKB, st.backlogKB);
    EXPECT_LE(worstKB, Session::maxPendingBytes / 1000 + 1500);

    const auto report = finish(s);
    animator.reset();
    EXPECT_TRUE(eventually([&] { return modeNames(x_.get(), "panelora-").empty(); }, kLong));
    EXPECT_EQ(report["stalls"], 1);
    EXPECT_EQ(report["frames"]["corrupt"], 0);
    EXPECT_EQ(report["frames"]["missingReference"], 0);
    // The first key frame, and the one that ended the dropping.
    EXPECT_GE(report["frames"]["key"].get<int>(), 2);
    EXPECT_EQ(report["frames"]["decoded"], report["frames"]["received"]);
}

}  // namespace
}  // namespace panelora::test
