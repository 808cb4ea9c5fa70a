// The X11 virtual display as a RandR monitor on an enlarged screen, on a server whose every output
// is in use: placement on either side with the outputs put back, no display when held to spare
// outputs, something else shrinking the screen mid-session, the leftovers of a crashed run, and a
// window manager that reads RandR 1.5 monitors maximizing a window there. The rest is the
// conformance suite's.
#include "x11_helpers.h"  // first: gtest before Xlib, whose macros break its templates

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"
#include "video/virtual_display.h"
#include "xorg_busy_outputs.h"

namespace panelora::test {
namespace {

// What the tests compare before and after: screen size, DUMMY0's place and panning, monitors.
struct Screen {
    ScreenSize size;
    int outputX = -1;
    bool panning = false;
    std::vector<std::string> monitors;
    bool operator==(const Screen&) const = default;
};

Screen screenOf(Display* d) {
    Screen s{screenSize(d), -1, false, {}};
    const RROutput output = outputNamed(d, "DUMMY0");
    if (auto placement = placementOf(d, output)) {
        s.outputX = placement->x;
        XRRPanning* p = XRRGetPanning(d, screenResources(d).get(), placement->crtc);
        s.panning = p && (p->width || p->track_width);
        if (p) XRRFreePanning(p);
    }
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), False, &count);
    for (int i = 0; i < count; ++i) {
        char* name = XGetAtomName(d, monitors[i].name);
        if (!monitors[i].automatic) s.monitors.push_back(name);
        XFree(name);
    }
    if (monitors) XRRFreeMonitors(monitors);
    return s;
}

const Screen kAlone{{1920, 1080}, 0, false, {}};

// Sets a monitor over nothing, as `xrandr --setmonitor NAME W/mmxH/mm+X+Y none` does.
void setMonitor(Display* d, const std::string& name, int x, int width, int height) {
    XRRMonitorInfo* m = XRRAllocateMonitor(d, 0);
    m->name = XInternAtom(d, name.c_str(), False);
    m->x = x;
    m->width = width;
    m->height = height;
    m->mwidth = width / 4;
    m->mheight = height / 4;
    XRRSetMonitor(d, DefaultRootWindow(d), m);
    XRRFreeMonitors(m);
    XSync(d, False);
}

// Tracking panning on DUMMY0 over the whole screen, as the monitor route sets it.
void trackWholeScreen(Display* d) {
    auto placement = placementOf(d, outputNamed(d, "DUMMY0"));
    const ScreenSize size = screenSize(d);
    XRRPanning p{};
    p.left = unsigned(placement->x);
    p.width = unsigned(placement->width);
    p.height = unsigned(placement->height);
    p.track_width = unsigned(size.width);
    p.track_height = unsigned(size.height);
    XRRSetPanning(d, screenResources(d).get(), placement->crtc, &p);
    XSync(d, False);
}

bool pointerReaches(Display* d, int x, int y) {
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    XSync(d, False);
    return pointerPosition(d) == std::pair{x, y};
}

class X11MonitorRoute : public XorgTest {
  protected:
    X11MonitorRoute() : XorgTest(busyOutputsServer, busyOutputsSkipReason) {}
    void SetUp() override {
        XorgTest::SetUp();
        if (!d_) return;
        ASSERT_EQ(screenOf(d()), kAlone);
        std::string why;
        platform_ = X11Platform::create(
            X11Platform::Options{.displayName = server_->displayName(), .scale = 1}, &why);
        ASSERT_TRUE(platform_) << why;
    }
    void TearDown() override {
        platform_.reset();
        XorgTest::TearDown();
    }
    std::unique_ptr<VirtualDisplay> makeDisplay() {
        return VirtualDisplay::create(platform_->virtualDisplays(), StreamProfile::fallback, 1);
    }
    DisplayGeometry& geometry() { return *platform_->input().geometry; }

    std::unique_ptr<X11Platform> platform_;
};

TEST_F(X11MonitorRoute, PlacedLeftOrRightWithThePointerThereAndTheOutputsPutBack) {
    for (const bool endLeft : {true, false}) {
        SCOPED_TRACE(endLeft ? "removed while left" : "removed while right");
        auto display = makeDisplay();
        ASSERT_TRUE(display);
        const DisplayID id = display->displayID();
        EXPECT_EQ(screenOf(d()).size, (ScreenSize{2944, 1080}));
        EXPECT_TRUE(pointerReaches(d(), 2400, 700));  // beyond every CRTC

        ASSERT_TRUE(geometry().configureOrigin(id, -1024, 0));
        EXPECT_EQ(geometry().bounds(id), (Rect{-1024, 0, 1024, 768}));
        EXPECT_EQ(x11::displayBounds(d(), id), (Rect{0, 0, 1024, 768}));
        const Screen left = screenOf(d());
        EXPECT_EQ(left.outputX, 1024);
        EXPECT_EQ(left.size, (ScreenSize{2944, 1080}));
        EXPECT_TRUE(left.panning);
        EXPECT_TRUE(pointerReaches(d(), 100, 700));

        if (!endLeft) {
            ASSERT_TRUE(geometry().configureOrigin(id, 1920, 0));
            EXPECT_EQ(x11::displayBounds(d(), id), (Rect{1920, 0, 1024, 768}));
            EXPECT_EQ(screenOf(d()).outputX, 0);
        }
        display.reset();
        EXPECT_EQ(screenOf(d()), kAlone);
    }
}

TEST_F(X11MonitorRoute, HeldToSpareOutputsTheBackendRefusesAndLeavesNothing) {
    LogCapture log;
    X11VirtualDisplayBackend outputsOnly(server_->displayName(), 0,
                                         X11VirtualDisplayBackend::Route::spareOutput);
    EXPECT_FALSE(outputsOnly.create(VirtualDisplay::descriptorFor(StreamProfile::fallback, 1)));
    EXPECT_TRUE(log.contains("no spare output"));
    EXPECT_EQ(modeNames(d(), "panelora-"), std::vector<std::string>{});
    EXPECT_EQ(screenOf(d()), kAlone);
}

TEST_F(X11MonitorRoute, ScreenShrunkUnderTheCaptureEndsItAndLeavesNothingConfined) {
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    auto queue = SerialQueue::create("test.capture.monitor");
    Collected<CaptureSample> frames;
    std::atomic<int> stopped{0};
    std::string why;
    auto stream = platform_->capture().startStream(
        id, {1024, 768, 30, kPixelFormat420v, 4, false}, queue,
        {[&](const CaptureSample& s) { frames.add(s); }, [&] { ++stopped; }}, &why);
    ASSERT_TRUE(stream) << why;
    ASSERT_TRUE(frames.waitFor(1));

    // A settings tool puts the screen back to the outputs (`xrandr --fb 1920x1080 --output
    // DUMMY0 --panning 0x0`).
    XRRPanning none{};
    XRRSetPanning(d(), screenResources(d()).get(),
                  placementOf(d(), outputNamed(d(), "DUMMY0"))->crtc, &none);
    XRRSetScreenSize(d(), DefaultRootWindow(d()), 1920, 1080, 508, 286);
    XSync(d(), False);

    EXPECT_TRUE(eventually([&] { return stopped > 0; }, 3s));
    EXPECT_FALSE(x11::findDisplay(d(), id));
    stream->stop();
    queue->flush();
    display.reset();
    EXPECT_EQ(screenOf(d()), kAlone);
    EXPECT_TRUE(pointerReaches(d(), 1900, 1000));
}

TEST_F(X11MonitorRoute, LeftoversOfACrashedRunGoAndOtherProgramsMonitorsStay) {
    struct Crash {
        const char* side;
        int monitorX, outputX;
    };
    for (const Crash& crash : {Crash{"right", 1920, 0}, Crash{"left", 0, 1024}}) {
        SCOPED_TRACE(crash.side);
        ASSERT_TRUE(moveOutputRaw(d(), outputNamed(d(), "DUMMY0"), crash.outputX, 0));
        XRRSetScreenSize(d(), DefaultRootWindow(d()), 2944, 1080, 779, 286);
        trackWholeScreen(d());
        setMonitor(d(), "PANELORA-999999-1", crash.monitorX, 1024, 768);  // a dead process's
        setMonitor(d(), "OTHER-1", 2000, 500, 500);

        auto display = makeDisplay();
        ASSERT_TRUE(display);
        EXPECT_EQ(x11::displayBounds(d(), display->displayID()), (Rect{1920, 0, 1024, 768}));
        auto during = screenOf(d()).monitors;
        std::sort(during.begin(), during.end());
        ASSERT_EQ(during.size(), 2u);
        EXPECT_EQ(during[0], "OTHER-1");
        EXPECT_TRUE(during[1].starts_with("PANELORA-" + std::to_string(getpid()) + "-"));
        display.reset();
        EXPECT_EQ(screenOf(d()), (Screen{{1920, 1080}, 0, false, {"OTHER-1"}}));
        XRRDeleteMonitor(d(), DefaultRootWindow(d()), XInternAtom(d(), "OTHER-1", False));
        XSync(d(), False);
    }
}

TEST_F(X11MonitorRoute, OpenboxMaximizesAWindowOntoTheDisplay) {
    if (access("/usr/bin/openbox", X_OK) != 0) GTEST_SKIP() << "openbox is not installed";
    auto display = makeDisplay();
    ASSERT_TRUE(display);
    const Rect area = *x11::displayBounds(d(), display->displayID());
    auto wm = ChildProcess::start({"/usr/bin/openbox", "--sm-disable"},
                                  ChildProcess::Options()
                                      .set("DISPLAY=" + server_->displayName())
                                      .set("XDG_CONFIG_HOME=/nonexistent")
                                      .stderrTo("/dev/null"));
    ASSERT_TRUE(wm);

    const Window w = XCreateSimpleWindow(d(), DefaultRootWindow(d()), int(area.x) + 100,
                                         int(area.y) + 100, 300, 200, 0, 0, 0x336699);
    XSizeHints hints{};
    hints.flags = USPosition;
    XSetWMNormalHints(d(), w, &hints);
    auto rootRect = [&] {
        XWindowAttributes a{};
        XGetWindowAttributes(d(), w, &a);
        int x = 0, y = 0;
        Window child;
        XTranslateCoordinates(d(), w, DefaultRootWindow(d()), 0, 0, &x, &y, &child);
        return Rect{double(x), double(y), double(a.width), double(a.height)};
    };
    const Atom maximized[] = {XInternAtom(d(), "_NET_WM_STATE_MAXIMIZED_VERT", False),
                              XInternAtom(d(), "_NET_WM_STATE_MAXIMIZED_HORZ", False)};
    // Openbox drops a map request that comes while it is still starting, and forgets the state of
    // a window that is unmapped: mapped maximized again until it shows. Maximized within the
    // display (less the frame's border), not the physical output.
    EXPECT_TRUE(repeatUntil(
        [&] {
            XUnmapWindow(d(), w);
            XChangeProperty(d(), w, XInternAtom(d(), "_NET_WM_STATE", False), XA_ATOM, 32,
                            PropModeReplace, reinterpret_cast<const unsigned char*>(maximized), 2);
            XMapWindow(d(), w);
            XSync(d(), False);
        },
        [&] {
            const Rect r = rootRect();
            return r.x >= area.x && r.maxX() <= area.maxX() && r.width > area.width * 0.9 &&
                   r.height > area.height * 0.8;
        },
        10s));
    wm->signal(SIGTERM);
    wm->wait(5s);
    XDestroyWindow(d(), w);
    XSync(d(), False);
}

}  // namespace
}  // namespace panelora::test
