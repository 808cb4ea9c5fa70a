// The whole chain on real parts: a private Xorg (dummy driver), the Linux platform bundle,
// usbmuxd-sim and tablet-sim as separate processes, and a Session between them reached through
// USBMux::listDevices/connect, as the application does it. The main queue is the default
// stand-in queue with its own thread.
// GoogleTest before Xlib, whose macros (None, Bool) break its templates.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
// clang-format on
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/linux/bundle/linux_platform.h"
#include "png_reader.h"
#include "session_probe.h"
#include "support/main_queue.h"
#include "tablet_rig.h"
#include "x11_scene.h"
#include "xorg_server.h"

namespace panelora::e2e {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Generous: CI also runs this under ASan in a debug build on two cores. Every wait ends as soon
// as what it waits for happens.
constexpr auto kLong = 30s;

int countEntries(const char* path) {
    int n = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++n;
        }
        closedir(dir);
    }
    return n;
}

int threadCount() {
    return countEntries("/proc/self/task");
}
// Less one: the descriptor opendir itself holds while counting.
int descriptorCount() {
    return countEntries("/proc/self/fd") - 1;
}

bool channelNear(uint32_t a, uint32_t b, int shift, int tolerance) {
    return std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) <= tolerance;
}

bool colourNear(uint32_t actual, uint32_t expected, int tolerance = 24) {
    return channelNear(actual, expected, 16, tolerance) &&
           channelNear(actual, expected, 8, tolerance) &&
           channelNear(actual, expected, 0, tolerance);
}

std::string hex(uint32_t rgb) {
    char text[16];
    std::snprintf(text, sizeof text, "#%06X", rgb);
    return text;
}

class EndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The display arrangement persists placements: keep them out of the real settings.
        char pattern[] = "/tmp/panelora-e2e-config-XXXXXX";
        if (mkdtemp(pattern)) {
            configDir_ = new std::string(pattern);
            setenv("XDG_CONFIG_HOME", pattern, 1);
        }
        server_ = test::XorgServer::shared();
        if (!server_) return;
        std::string error;
        platform_ = LinuxPlatform::create(server_->displayName(), &error).release();
        if (!platform_) platformError_ = new std::string(error);
    }

    static void TearDownTestSuite() {
        delete platform_;
        platform_ = nullptr;
        if (configDir_) {
            std::error_code ignored;
            std::filesystem::remove_all(*configDir_, ignored);
        }
    }

    void SetUp() override {
        if (!server_) GTEST_SKIP() << test::XorgServer::sharedSkipReason();
        ASSERT_NE(platform_, nullptr) << (platformError_ ? *platformError_ : "");
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
        SteadyClock::time_point streamingAt;
    };

    Streaming startStreaming(const std::vector<std::string>& tabletArgs,
                             bool preferSmooth = false) {
        Streaming s;
        std::string error;
        s.rig = TabletRig::start(tabletArgs, &error);
        EXPECT_TRUE(s.rig) << error;
        if (!s.rig) return s;
        const int fd = s.rig->connect(&error);
        EXPECT_GE(fd, 0) << error;
        if (fd < 0) return s;
        s.connectedAt = SteadyClock::now();
        s.probe = SessionProbe::create(fd, platform_->sessionEnvironment());
        const auto failure = s.probe->session().start(preferSmooth, std::nullopt);
        s.streamingAt = SteadyClock::now();
        EXPECT_FALSE(failure) << (failure ? failure->description() : "");
        if (failure) {
            s.probe->session().stop();
            s.probe.reset();
        }
        return s;
    }

    // Ends tablet-sim (SIGTERM) and then the session, and returns the tablet's report.
    std::optional<nlohmann::json> finish(Streaming& s) {
        auto report = s.rig->finish();
        EXPECT_TRUE(report) << "tablet-sim wrote no report: " << s.rig->tablet().output();
        EXPECT_TRUE(s.probe->waitEnded(kLong)) << "the session did not notice the tablet leave";
        EXPECT_EQ(s.probe->endedCount(), 1);
        s.probe->release();
        return report;
    }

    Rect displayRect(const Streaming& s) {
        const auto bounds = rootBounds(x_.get(), s.probe->session().displayID());
        EXPECT_TRUE(bounds) << "the virtual display is not among the enabled outputs";
        return bounds.value_or(Rect{});
    }

    static inline test::XorgServer* server_ = nullptr;
    static inline LinuxPlatform* platform_ = nullptr;
    static inline std::string* platformError_ = nullptr;
    static inline std::string* configDir_ = nullptr;
    XDisplayPtr x_;
};

TEST(LinuxPlatformTest, UnreachableServerIsAnErrorNotAPlatform) {
    std::string error;
    auto platform = LinuxPlatform::create(":4987", &error);
    EXPECT_EQ(platform, nullptr);
    EXPECT_NE(error.find(":4987"), std::string::npos) << error;
}

TEST_F(EndToEnd, PlatformInstallsItsInputBackends) {
    EXPECT_EQ(installedDisplayGeometry(), platform_->input().geometry);
    EXPECT_EQ(installedInjectionBackends().poster, platform_->input().poster);
    const SessionEnvironment env = platform_->sessionEnvironment();
    EXPECT_EQ(env.displays, &platform_->virtualDisplays());
    EXPECT_EQ(env.capture, &platform_->capture());
    EXPECT_EQ(env.codecs, &platform_->codecs());
    EXPECT_EQ(env.mainQueue, mainQueue());
}

// The negotiated profile, the RandR display while streaming, and a pattern drawn on the virtual
// display as the tablet decodes it.
TEST_F(EndToEnd, TabletDecodesThePatternAtTheNegotiatedProfile) {
    // Key requests make the host re-send the still picture, so the last decoded one is current.
    auto s = startStreaming({"--hello", "2732x2048@120", "--key-request-every", "250"});
    ASSERT_TRUE(s.probe);
    const StreamProfile profile = s.probe->session().profile();
    EXPECT_EQ(profile.summary(), "2732×2048 @ 60 fps · looks like 1708×1280");

    const Rect rect = displayRect(s);
    EXPECT_EQ(rect.width, 1708);
    EXPECT_EQ(rect.height, 1280);
    const auto traces = virtualDisplayTraces(x_.get());
    EXPECT_EQ(traces.outputs, 1);
    ASSERT_EQ(traces.modeNames.size(), 1u);
    EXPECT_NE(traces.modeNames.front().find("1708x1280"), std::string::npos)
        << traces.modeNames.front();

    auto window = PatternWindow::create(server_->displayName(), rect);
    ASSERT_TRUE(window);
    // Two whole statistics windows after the painting: its frames have been sent, and the key
    // requests re-sent them since.
    const size_t painted = s.probe->stats().size();
    ASSERT_TRUE(s.probe->waitForStats(
        painted + 1, [](auto&) { return true; }, kLong));
    const auto stats = s.probe->stats();
    int64_t frames = 0;
    for (size_t i = painted; i < stats.size(); ++i)
        frames += stats[i].fps;
    EXPECT_GT(frames, 0);

    const auto report = finish(s);
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["violationCount"], 0) << report->dump(2);
    EXPECT_GT((*report)["frames"]["decoded"].get<int>(), 0);
    EXPECT_EQ((*report)["frames"]["corrupt"], 0);
    EXPECT_EQ((*report)["lastPicture"]["width"], 2732);
    EXPECT_EQ((*report)["lastPicture"]["height"], 2048);

    std::string error;
    const auto png = readPng(s.rig->pngPath(), &error);
    ASSERT_TRUE(png) << error;
    ASSERT_EQ(png->width, 2732);
    ASSERT_EQ(png->height, 2048);
    // Two points in each quadrant, away from the edges where H.264 blurs the colours together.
    const double points[2] = {0.1, 0.4};
    for (int q = 0; q < 4; ++q) {
        for (double fx : points) {
            for (double fy : points) {
                const double x = fx + (q % 2 ? 0.5 : 0.0);
                const double y = fy + (q < 2 ? 0.0 : 0.5);
                const uint32_t actual = png->at(x, y);
                EXPECT_TRUE(colourNear(actual, PatternWindow::kQuadrantColours[q]))
                    << "at (" << x << ", " << y << "): " << hex(actual) << ", expected "
                    << hex(PatternWindow::kQuadrantColours[q]);
            }
        }
    }
}

// A touch moves the X pointer onto the virtual display and clicks the window there; a key with
// Shift arrives in the focused window as "A".
TEST_F(EndToEnd, TouchClicksAWindowAndAKeyTypesIntoIt) {
    // Script times count from the connection; the window must exist by then.
    constexpr int kTouchAt = 2500;
    auto s = startStreaming(
        {"--hello", "2732x2048@120", "--input",
         "at 2500 touch down 0.25 0.25; at 2600 touch up 0.25 0.25; at 2800 key 4 down shift; "
         "at 2850 key 4 up shift"});
    ASSERT_TRUE(s.probe);
    const Rect rect = displayRect(s);
    auto window = PatternWindow::create(server_->displayName(), rect);
    ASSERT_TRUE(window);
    window->focus();
    const auto ready =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - s.connectedAt);
    ASSERT_LT(ready.count(), kTouchAt) << "start-up took too long for the script's timing";

    const auto press = window->waitForEvent(ButtonPress, kLong);
    ASSERT_TRUE(press) << "no ButtonPress reached the window";
    EXPECT_EQ(press->xbutton.button, 1u);
    EXPECT_NEAR(press->xbutton.x, 0.25 * rect.width, 1.0);
    EXPECT_NEAR(press->xbutton.y, 0.25 * rect.height, 1.0);
    EXPECT_NEAR(press->xbutton.x_root, rect.x + 0.25 * rect.width, 1.0);
    EXPECT_TRUE(window->waitForEvent(ButtonRelease, kLong)) << "no ButtonRelease";

    // The modifier's own press comes first; the first other key must be an "A".
    std::optional<KeySym> typed;
    while (!typed) {
        auto key = window->waitForEvent(KeyPress, kLong);
        ASSERT_TRUE(key) << "no KeyPress reached the focused window";
        char text[8] = {};
        KeySym sym = NoSymbol;
        XLookupString(&key->xkey, text, sizeof text, &sym, nullptr);
        if (!IsModifierKey(sym)) typed = sym;
    }
    EXPECT_EQ(*typed, KeySym(XK_A)) << XKeysymToString(*typed);
    // And its release, the script's last input.
    bool released = false;
    while (!released) {
        auto key = window->waitForEvent(KeyRelease, kLong);
        ASSERT_TRUE(key) << "no KeyRelease reached the focused window";
        released = !IsModifierKey(XLookupKeysym(&key->xkey, 0));
    }

    Window root, child;
    int rootX, rootY, winX, winY;
    unsigned mask;
    XQueryPointer(x_.get(), DefaultRootWindow(x_.get()), &root, &child, &rootX, &rootY, &winX,
                  &winY, &mask);
    EXPECT_TRUE(rect.contains(Point{double(rootX), double(rootY)}))
        << "pointer at " << rootX << "," << rootY;

    window.reset();
    const auto report = finish(s);
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["violationCount"], 0) << report->dump(2);
    EXPECT_EQ((*report)["inputsSent"], 4);
}

// A tablet that stops reading makes the host drop frames instead of queueing them; when it reads
// again the stream resumes with a key frame and decodes cleanly.
TEST_F(EndToEnd, StalledTabletMakesTheHostDropAndRecoverWithAKeyFrame) {
    // The stall must outlast the buffers on the way (the daemon's relay and both TCP ends hold
    // about 7 MB at these rates) plus the host's own 3 MB backlog.
    constexpr int kStallAt = 1000, kStallFor = 6500;
    auto s = startStreaming({"--hello", "1600x1200@60", "--stall-at", std::to_string(kStallAt),
                             "--stall-for", std::to_string(kStallFor)});
    ASSERT_TRUE(s.probe);
    const Rect rect = displayRect(s);
    auto animator = Animator::start(server_->displayName(), rect, 60, Animator::Content::noise);
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
    animator.reset();

    const auto report = finish(s);
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["violationCount"], 0) << report->dump(2);
    EXPECT_EQ((*report)["stalls"], 1);
    EXPECT_EQ((*report)["frames"]["corrupt"], 0);
    EXPECT_EQ((*report)["frames"]["missingReference"], 0);
    // The first key frame, and the one that ended the dropping.
    EXPECT_GE((*report)["frames"]["key"].get<int>(), 2);
    EXPECT_EQ((*report)["frames"]["decoded"], (*report)["frames"]["received"]);
}

// While the tablet reads nothing, the video waiting in the host stays near its 3 MB limit: what
// does not fit is dropped, and a key frame is asked for only once the backlog has drained.
TEST_F(EndToEnd, BacklogStaysNearItsLimitWhileTheTabletStalls) {
    // Four seconds: long enough for the old behaviour to pile up some 8 MB, and short of the
    // five-second send timeout that would end the session.
    auto s =
        startStreaming({"--hello", "1600x1200@60", "--stall-at", "1000", "--stall-for", "4000"});
    ASSERT_TRUE(s.probe);
    auto animator =
        Animator::start(server_->displayName(), displayRect(s), 60, Animator::Content::noise);
    ASSERT_TRUE(animator);
    // Six records cover the stall.
    ASSERT_TRUE(s.probe->waitForStats(
        6, [](auto&) { return true; }, kLong));
    EXPECT_EQ(s.probe->endedCount(), 0);
    animator.reset();
    int64_t worstKB = 0;
    for (const auto& st : s.probe->stats())
        worstKB = std::max(worstKB, st.backlogKB);
    // The limit plus one large frame. (How many frames are dropped depends on how much the
    // socket buffers on the way absorb; the rule itself is tested on a socket pair.)
    EXPECT_LE(worstKB, Session::maxPendingBytes / 1000 + 1500);
    finish(s);
}

// Unplugging the tablet ends the session once, and the session leaves no thread, descriptor or
// RandR output behind.
TEST_F(EndToEnd, KilledTabletEndsTheSessionOnceAndLeavesNothingBehind) {
    auto runAndKill = [&](bool animate) {
        auto s = startStreaming({"--hello", "1600x1200@60"});
        if (!s.probe) return;
        std::unique_ptr<Animator> animator;
        if (animate) {
            animator = Animator::start(server_->displayName(), displayRect(s), 30,
                                       Animator::Content::scene, 4);
            ASSERT_TRUE(animator);
            ASSERT_TRUE(s.probe->waitForStats(
                0, [](const Session::Stats& st) { return st.fps > 0; }, kLong));
        }
        s.rig->killTablet();
        ASSERT_TRUE(s.probe->waitEnded(kLong)) << "the session did not end";
        animator.reset();
        // A late second end would show up here.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(s.probe->endedCount(), 1);
        s.probe->release();
    };

    // Warm-up: process-wide queues (keys, codec probe, logging) start on first use and stay.
    runAndKill(false);
    auto settle = [](int threads, int fds) {
        const auto deadline = SteadyClock::now() + 10s;
        while (SteadyClock::now() < deadline) {
            if (threadCount() <= threads && descriptorCount() <= fds) return;
            std::this_thread::sleep_for(20ms);
        }
    };
    // Until the counts have not changed for half a second: queues let go of their threads
    // asynchronously.
    {
        const auto deadline = SteadyClock::now() + 10s;
        auto stableSince = SteadyClock::now();
        int threads = threadCount(), fds = descriptorCount();
        while (SteadyClock::now() < deadline && SteadyClock::now() - stableSince < 500ms) {
            std::this_thread::sleep_for(20ms);
            if (threadCount() != threads || descriptorCount() != fds) {
                threads = threadCount();
                fds = descriptorCount();
                stableSince = SteadyClock::now();
            }
        }
    }
    const int threadsBefore = threadCount();
    const int fdsBefore = descriptorCount();

    runAndKill(true);
    settle(threadsBefore, fdsBefore);
    EXPECT_LE(threadCount(), threadsBefore);
    EXPECT_LE(descriptorCount(), fdsBefore);

    const auto traces = virtualDisplayTraces(x_.get());
    EXPECT_EQ(traces.outputs, 0);
    EXPECT_EQ(traces.modes, 0) << (traces.modeNames.empty() ? "" : traces.modeNames.front());
}

}  // namespace
}  // namespace panelora::e2e
