// The RandR virtual display against a real Xorg with the dummy driver, where X11 differs from the
// other desktops (the conformance suite has what they share): spare outputs and their modes, new
// IDs on reused outputs, leftovers of crashed runs, refusals and the desktop's scale.
#include "x11_helpers.h"  // first: gtest before Xlib, whose macros break its templates

#include <X11/Xatom.h>

#include "input/pointer_injector.h"
#include "platform/linux/x11/desktop_scale.h"
#include "platform/linux/x11/randr_virtual_display.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"

namespace panelora::test {
namespace {

std::unique_ptr<PlatformVirtualDisplay> createApplied(X11VirtualDisplayBackend& backend,
                                                      uint32_t width, uint32_t height) {
    auto display = backend.create(VirtualDisplay::descriptorFor(StreamProfile::fallback, 1));
    VirtualDisplaySettings settings;
    settings.modes.push_back({width, height, 60.0});
    if (!display || !display->applySettings(settings)) return nullptr;
    return display;
}

class RandrVirtualDisplay : public XorgTest {
  protected:
    void SetUp() override {
        XorgTest::SetUp();
        if (d_) backend_ = std::make_unique<X11VirtualDisplayBackend>(server_->displayName());
    }
    // Everything of ours is gone and the screen is as the server started.
    void expectNothingLeft() {
        EXPECT_EQ(modeNames(d(), "panelora-"), std::vector<std::string>{});
        EXPECT_EQ(screenSize(d()), (ScreenSize{1920, 1080}));
        EXPECT_EQ(x11::enabledOutputs(d()).size(), 1u);
    }
    // The root window's X resources, as a desktop sets them; nothing removes them.
    void setResources(const char* resources) {
        const Atom atom = XInternAtom(d(), "RESOURCE_MANAGER", False);
        if (resources) {
            XChangeProperty(d(), DefaultRootWindow(d()), atom, XA_STRING, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(resources),
                            int(std::strlen(resources)));
        } else {
            XDeleteProperty(d(), DefaultRootWindow(d()), atom);
        }
        XSync(d(), False);
    }

    std::unique_ptr<X11VirtualDisplayBackend> backend_;
};

// A display is a spare output with a mode of ours, and its ID the XID of that mode: a new ID on
// each creation, also on a reused output, and the output's own XID no alias of it.
TEST_F(RandrVirtualDisplay, EachCreationGetsANewIDAndTwoAtOnceStandSideBySide) {
    auto first = createApplied(*backend_, 800, 600);
    ASSERT_TRUE(first);
    const DisplayID firstID = first->displayID();
    const auto placement = x11::findDisplay(d(), firstID);
    ASSERT_TRUE(placement);
    EXPECT_TRUE(placement->isVirtual);
    EXPECT_TRUE(placement->name.starts_with("DUMMY") && placement->name != "DUMMY0");
    EXPECT_EQ(modeNames(d(), "panelora-800x600-").size(), 1u);
    EXPECT_FALSE(x11::findDisplay(d(), static_cast<DisplayID>(placement->output)));
    first.reset();
    auto second = createApplied(*backend_, 800, 600);
    ASSERT_TRUE(second);
    EXPECT_NE(second->displayID(), firstID);
    EXPECT_EQ(x11::findDisplay(d(), second->displayID())->output, placement->output);
    EXPECT_FALSE(x11::findDisplay(d(), firstID));

    auto third = createApplied(*backend_, 640, 480);
    ASSERT_TRUE(third);
    auto a = x11::findDisplay(d(), second->displayID());
    auto b = x11::findDisplay(d(), third->displayID());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->output, b->output);
    EXPECT_EQ(b->bounds, (Rect{1920 + 800, 0, 640, 480}));
    EXPECT_EQ(screenSize(d()), (ScreenSize{1920 + 800 + 640, 1080}));
    second.reset();
    third.reset();
    expectNothingLeft();
}

// Modes of a crashed run (enabled on DUMMY3, and one never shown) are cleaned up at the next
// creation; their pid lies above any pid Linux hands out. Those of another running copy (pid 1
// always runs) and of this process's own displays are not.
TEST_F(RandrVirtualDisplay, OnlyLeftoversOfACrashedRunAreCleanedUp) {
    auto crashed =
        SpareOutput::enable(d(), "DUMMY3", 800, 600, 1920, 0, "panelora-800x600-4194305-1");
    ASSERT_TRUE(crashed);
    crashed->abandon();
    createMode(d(), "panelora-320x200-4194305-2", 320, 200);
    const RRMode other = createMode(d(), "panelora-320x200-1-1", 320, 200);
    ASSERT_EQ(x11::enabledOutputs(d()).size(), 2u);

    auto display = createApplied(*backend_, 1024, 768);
    auto mine = createApplied(*backend_, 800, 600);
    ASSERT_TRUE(display && mine);
    EXPECT_EQ(modeNames(d(), "panelora-320x200-"),
              std::vector<std::string>{"panelora-320x200-1-1"});
    EXPECT_EQ(modeNames(d(), "panelora-800x600-4194305"), std::vector<std::string>{});
    EXPECT_FALSE(placementOf(d(), outputNamed(d(), "DUMMY3")));
    EXPECT_EQ(x11::displayBounds(d(), display->displayID()), (Rect{1920, 0, 1024, 768}));
    display.reset();
    mine.reset();
    XRRDestroyMode(d(), other);
    expectNothingLeft();
}

// A refused mode or no mode at all, no server: nothing, and nothing left behind. Without a spare
// output it takes the monitor route, which has its own suite.
TEST_F(RandrVirtualDisplay, RefusalsYieldNothingAndLeaveNothingBehind) {
    const auto descriptor = VirtualDisplay::descriptorFor(StreamProfile::fallback, 1);
    EXPECT_FALSE(X11VirtualDisplayBackend(":4999").create(descriptor));
    auto display = backend_->create(descriptor);
    ASSERT_TRUE(display);
    VirtualDisplaySettings tooWide;
    tooWide.modes.push_back({40000, 768, 60.0});  // over the 32767 maximum
    EXPECT_FALSE(display->applySettings(tooWide));
    EXPECT_FALSE(display->applySettings(VirtualDisplaySettings{}));
    EXPECT_EQ(display->displayID(), 0u);
    display.reset();
    expectNothingLeft();
}

// On a private server. The dummy driver reports an output as connected from its first mode on,
// also once it is off: outputs that another program used that way stay untouched, and the one
// we released is ours again, however many sessions come and go.
TEST(RandrOutputs, ReleasedOutputsAreSpareAgain) {
    std::string why;
    auto server = XorgServer::start(&why, {.firstDisplayNumber = 90, .mode = "800x600"});
    if (!server) GTEST_SKIP() << why;
    auto d = openDisplay(server->displayName());
    ASSERT_TRUE(d);
    // RandR re-probes outputs (as xrandr and desktops do) and reads the state the drivers keep.
    auto probe = [&] {
        XRRFreeScreenResources(XRRGetScreenResources(d.get(), DefaultRootWindow(d.get())));
    };
    for (int i = 1; i <= 14; ++i)
        SpareOutput::enable(d.get(), "DUMMY" + std::to_string(i), 64, 64, 800, 0);
    resetScreen(d.get());
    probe();
    X11VirtualDisplayBackend backend(server->displayName());
    for (int session = 0; session < 20; ++session) {
        auto display = createApplied(backend, 800, 600);
        ASSERT_TRUE(display) << session;
        EXPECT_EQ(x11::findDisplay(d.get(), display->displayID())->name, "DUMMY15") << session;
        display.reset();
        probe();
    }
}

// GDK_SCALE, else Xft.dpi ÷ 96 rounded down. With Xft.dpi 192 and no GDK_SCALE, as GNOME and
// Cinnamon set it on a HiDPI X11 desktop, the platform makes the display at twice its size in
// points, and input and geometry count the same points.
TEST_F(RandrVirtualDisplay, DesktopScaleComesFromGdkScaleOrXftDpiAndScalesDisplayAndInput) {
    EXPECT_EQ(desktopScaleFactor(d()), 1);
    setenv("GDK_SCALE", "2", 1);
    EXPECT_EQ(desktopScaleFactor(d()), 2);
    setenv("GDK_SCALE", "nonsense", 1);
    EXPECT_EQ(desktopScaleFactor(d()), 1);
    unsetenv("GDK_SCALE");

    const std::pair<const char*, int> cases[] = {{"Xft.antialias:\t1\nXft.dpi:\t192\n", 2},
                                                 {"Xft.dpi:\t144\n", 1},
                                                 {"Xft.dpi: 300\n", 3},
                                                 {"Xft.dpi:\tjunk\n", 1},
                                                 {"Xft.dpi:\t-96\n", 1},
                                                 {"Xcursor.size: 24\n", 1}};
    for (const auto& [resources, scale] : cases) {
        setResources(resources);
        // The resources are read when a connection opens.
        EXPECT_EQ(desktopScaleFactor(openDisplay(server_->displayName()).get()), scale)
            << resources;
    }

    setResources("Xft.dpi:\t192\n");
    std::string why;
    auto platform = X11Platform::create(server_->displayName(), &why);
    setResources(nullptr);
    ASSERT_TRUE(platform) << why;
    auto scaled = VirtualDisplay::create(platform->virtualDisplays(), StreamProfile::fallback, 1);
    ASSERT_TRUE(scaled);
    const DisplayID id = scaled->displayID();
    EXPECT_EQ(x11::displayBounds(d(), id), (Rect{1920, 0, 2048, 1536}));
    EXPECT_EQ(platform->input().geometry->scale(), 2);
    EXPECT_EQ(platform->input().geometry->bounds(id), (Rect{960, 0, 1024, 768}));
    resetInjectionState();
    injectTouch(4, id, 1.0f, 0.5f);  // hover at the right edge
    EXPECT_EQ(pointerPosition(d()), std::pair(1920 + 2047, 768));
}

}  // namespace
}  // namespace panelora::test
