// The RandR virtual display against a real Xorg with the dummy driver.
// GoogleTest before any X11 header: Xlib defines None, Bool and Status as macros.
#include <gtest/gtest.h>

#include "platform/linux/x11/randr_virtual_display.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <cstdlib>
#include <cstring>

#include "platform/linux/x11/desktop_scale.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "support/log.h"
#include "x11_test_support.h"

namespace panelora {
namespace {

using test::openDisplay;
using test::XorgServer;
using test::screenSize;
using test::ScreenSize;

VirtualDisplaySettings settingsOf(uint32_t width, uint32_t height) {
    VirtualDisplaySettings settings;
    settings.modes.push_back({width, height, 60.0});
    return settings;
}

std::unique_ptr<PlatformVirtualDisplay> createApplied(X11VirtualDisplayBackend& backend,
                                                      uint32_t width, uint32_t height) {
    auto display = backend.create(VirtualDisplay::descriptorFor(StreamProfile::fallback, 1));
    if (!display || !display->applySettings(settingsOf(width, height))) return nullptr;
    return display;
}

struct ResourcesDeleter {
    void operator()(XRRScreenResources* p) const { XRRFreeScreenResources(p); }
};

RROutput outputNamed(Display* d, const std::string& name) {
    std::unique_ptr<XRRScreenResources, ResourcesDeleter> r(
        XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d)));
    for (int i = 0; i < r->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(d, r.get(), r->outputs[i]);
        bool match = name == std::string(info->name, info->nameLen);
        XRRFreeOutputInfo(info);
        if (match) return r->outputs[i];
    }
    return None;
}

// Enables `outputName` with a new mode of its own, as another program (or a crashed run) would,
// growing the screen as needed. Returns the mode.
RRMode enableWithRawXlib(Display* d, const std::string& outputName, const std::string& modeName,
                         int x, int width, int height) {
    Window root = DefaultRootWindow(d);
    XRRModeInfo info;
    std::memset(&info, 0, sizeof info);
    info.width = width, info.height = height;
    info.hSyncStart = width + 8, info.hSyncEnd = width + 16, info.hTotal = width + 32;
    info.vSyncStart = height + 1, info.vSyncEnd = height + 2, info.vTotal = height + 4;
    info.dotClock = static_cast<unsigned long>(info.hTotal) * info.vTotal * 60;
    std::string name = modeName;
    info.name = name.data();
    info.nameLength = static_cast<unsigned>(name.size());
    RRMode mode = XRRCreateMode(d, root, &info);
    RROutput output = outputNamed(d, outputName);
    XRRAddOutputMode(d, output, mode);
    ScreenSize size = screenSize(d);
    int newWidth = std::max(size.width, x + width), newHeight = std::max(size.height, height);
    XRRSetScreenSize(d, root, newWidth, newHeight, newWidth / 4, newHeight / 4);
    std::unique_ptr<XRRScreenResources, ResourcesDeleter> r(XRRGetScreenResourcesCurrent(d, root));
    XRROutputInfo* outputInfo = XRRGetOutputInfo(d, r.get(), output);
    RRCrtc crtc = outputInfo->crtcs[0];
    XRRFreeOutputInfo(outputInfo);
    EXPECT_EQ(XRRSetCrtcConfig(d, r.get(), crtc, CurrentTime, x, 0, mode, RR_Rotate_0, &output, 1),
              RRSetConfigSuccess);
    XSync(d, False);
    return mode;
}

void disableAndDelete(Display* d, const std::string& outputName, RRMode mode) {
    Window root = DefaultRootWindow(d);
    std::unique_ptr<XRRScreenResources, ResourcesDeleter> r(XRRGetScreenResourcesCurrent(d, root));
    RROutput output = outputNamed(d, outputName);
    XRROutputInfo* info = XRRGetOutputInfo(d, r.get(), output);
    if (info->crtc) {
        XRRSetCrtcConfig(d, r.get(), info->crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    }
    XRRFreeOutputInfo(info);
    XRRDeleteOutputMode(d, output, mode);
    XRRDestroyMode(d, mode);
    XSync(d, False);
}

TEST(RandrVirtualDisplay, FallbackProfileAppearsRightOfThePrimaryAndGoesAwayOnRelease) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    ASSERT_TRUE(d);
    const ScreenSize before = screenSize(d.get());
    ASSERT_EQ(before, (ScreenSize{1920, 1080}));

    X11VirtualDisplayBackend backend(server->displayName());
    auto display = VirtualDisplay::create(backend, StreamProfile::fallback, 1);
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    ASSERT_NE(id, 0u);

    auto placement = x11::findDisplay(d.get(), id);
    ASSERT_TRUE(placement);
    EXPECT_TRUE(placement->isVirtual);
    EXPECT_TRUE(placement->name.starts_with("DUMMY"));
    EXPECT_NE(placement->name, "DUMMY0");
    // 1024 × 768 points at scale 1, top aligned right of the 1920 × 1080 primary.
    EXPECT_EQ(placement->bounds, (Rect{1920, 0, 1024, 768}));
    EXPECT_EQ(x11::displayBounds(d.get(), id), placement->bounds);
    EXPECT_EQ(screenSize(d.get()), (ScreenSize{1920 + 1024, 1080}));
    EXPECT_TRUE(test::hasModeWithPrefix(d.get(), "panelora-1024x768-"));
    // The output's own XID is not an alias of the virtual display.
    EXPECT_FALSE(x11::findDisplay(d.get(), static_cast<DisplayID>(placement->output)));

    display.reset();
    EXPECT_FALSE(x11::findDisplay(d.get(), id));
    EXPECT_EQ(screenSize(d.get()), before);
    EXPECT_FALSE(test::hasModeWithPrefix(d.get(), "panelora-"));
    EXPECT_EQ(x11::enabledOutputs(d.get()).size(), 1u);
}

TEST(RandrVirtualDisplay, RealOutputsAreFoundByTheirOutputXID) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    auto outputs = x11::enabledOutputs(d.get());
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].name, "DUMMY0");
    EXPECT_EQ(outputs[0].id, static_cast<DisplayID>(outputs[0].output));
    EXPECT_FALSE(outputs[0].isVirtual);
    EXPECT_EQ(x11::displayBounds(d.get(), outputs[0].id), (Rect{0, 0, 1920, 1080}));
    EXPECT_FALSE(x11::displayBounds(d.get(), 0));
    EXPECT_FALSE(x11::displayBounds(d.get(), 0x7fffffff));
}

TEST(RandrVirtualDisplay, EachCreationGetsANewID) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    X11VirtualDisplayBackend backend(server->displayName());

    auto first = createApplied(backend, 800, 600);
    ASSERT_TRUE(first);
    const DisplayID firstID = first->displayID();
    const auto firstOutput = x11::findDisplay(d.get(), firstID)->output;
    first.reset();
    auto second = createApplied(backend, 800, 600);
    ASSERT_TRUE(second);
    EXPECT_NE(second->displayID(), firstID);
    // Same spare output reused, yet a different ID; the old one no longer resolves.
    EXPECT_EQ(x11::findDisplay(d.get(), second->displayID())->output, firstOutput);
    EXPECT_FALSE(x11::findDisplay(d.get(), firstID));

    // Two at once: different outputs, the second placed right of the first.
    auto third = createApplied(backend, 640, 480);
    ASSERT_TRUE(third);
    auto a = x11::findDisplay(d.get(), second->displayID());
    auto b = x11::findDisplay(d.get(), third->displayID());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->output, b->output);
    EXPECT_EQ(b->bounds, (Rect{1920 + 800, 0, 640, 480}));
    EXPECT_EQ(screenSize(d.get()), (ScreenSize{1920 + 800 + 640, 1080}));
    second.reset();
    third.reset();
    EXPECT_EQ(screenSize(d.get()), (ScreenSize{1920, 1080}));
}

TEST(RandrVirtualDisplay, LeftoverOfACrashedRunIsCleanedUpAtTheNextCreation) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    // A crashed run: a "panelora-" mode enabled on DUMMY3, and one created but never shown.
    // Their pid lies above any pid Linux hands out, so it is certainly not running.
    enableWithRawXlib(d.get(), "DUMMY3", "panelora-800x600-4194305-1", 1920, 800, 600);
    XRRModeInfo orphan;
    std::memset(&orphan, 0, sizeof orphan);
    orphan.width = 320, orphan.height = 200, orphan.hTotal = 400, orphan.vTotal = 220;
    orphan.dotClock = 400 * 220 * 60;
    std::string orphanName = "panelora-320x200-4194305-2";
    orphan.name = orphanName.data();
    orphan.nameLength = static_cast<unsigned>(orphanName.size());
    XRRCreateMode(d.get(), DefaultRootWindow(d.get()), &orphan);
    XSync(d.get(), False);
    ASSERT_EQ(screenSize(d.get()), (ScreenSize{1920 + 800, 1080}));
    ASSERT_EQ(x11::enabledOutputs(d.get()).size(), 2u);

    X11VirtualDisplayBackend backend(server->displayName());
    auto display = createApplied(backend, 1024, 768);
    ASSERT_TRUE(display);
    auto names = test::modeNames(d.get());
    for (const auto& name : names) {
        EXPECT_FALSE(name.starts_with("panelora-800x600-4194305") ||
                     name.starts_with("panelora-320x200-4194305"))
            << name;
    }
    auto outputs = x11::enabledOutputs(d.get());
    ASSERT_EQ(outputs.size(), 2u);  // the primary and ours; DUMMY3 is off
    for (const auto& o : outputs)
        EXPECT_NE(o.name, "DUMMY3");
    EXPECT_EQ(x11::displayBounds(d.get(), display->displayID()), (Rect{1920, 0, 1024, 768}));
    display.reset();
    EXPECT_EQ(screenSize(d.get()), (ScreenSize{1920, 1080}));
}

TEST(RandrVirtualDisplay, AModeOfAnotherRunningCopyIsNotTakenForALeftover) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    XRRModeInfo other;
    std::memset(&other, 0, sizeof other);
    other.width = 320, other.height = 200, other.hTotal = 400, other.vTotal = 220;
    other.dotClock = 400 * 220 * 60;
    std::string name = "panelora-320x200-1-1";  // pid 1 is always running
    other.name = name.data();
    other.nameLength = static_cast<unsigned>(name.size());
    RRMode mode = XRRCreateMode(d.get(), DefaultRootWindow(d.get()), &other);
    XSync(d.get(), False);

    X11VirtualDisplayBackend backend(server->displayName());
    auto display = createApplied(backend, 1024, 768);
    ASSERT_TRUE(display);
    auto names = test::modeNames(d.get());
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
    display.reset();
    XRRDestroyMode(d.get(), mode);
    XSync(d.get(), False);
}

TEST(RandrVirtualDisplay, ADisplayOfThisProcessIsNotTakenForALeftover) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    X11VirtualDisplayBackend backend(server->displayName());
    auto first = createApplied(backend, 800, 600);
    ASSERT_TRUE(first);
    auto second = createApplied(backend, 800, 600);
    ASSERT_TRUE(second);
    EXPECT_TRUE(x11::findDisplay(d.get(), first->displayID()));
    EXPECT_TRUE(x11::findDisplay(d.get(), second->displayID()));
}

TEST(RandrVirtualDisplay, NoSpareOutputYieldsNothingAndSaysWhy) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    // Another program has every spare output in use.
    std::vector<std::pair<std::string, RRMode>> taken;
    for (int i = 1; i <= 15; ++i) {
        std::string output = "DUMMY" + std::to_string(i);
        taken.emplace_back(output, enableWithRawXlib(d.get(), output, "other-" + output,
                                                     1920 + (i - 1) * 64, 64, 64));
    }
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(32);
    log::addSink(sink);
    X11VirtualDisplayBackend backend(server->displayName());
    auto display = backend.create(VirtualDisplay::descriptorFor(StreamProfile::fallback, 1));
    log::removeSink(sink);
    EXPECT_FALSE(display);
    bool said = false;
    for (const auto& line : sink->last_formatted()) {
        said |= line.find("no spare output") != std::string::npos;
    }
    EXPECT_TRUE(said);
    // Nothing of ours left behind.
    EXPECT_FALSE(test::hasModeWithPrefix(d.get(), "panelora-"));

    for (const auto& [output, mode] : taken)
        disableAndDelete(d.get(), output, mode);
    XRRSetScreenSize(d.get(), DefaultRootWindow(d.get()), 1920, 1080, 508, 285);
    XSync(d.get(), False);
    ASSERT_EQ(screenSize(d.get()), (ScreenSize{1920, 1080}));
}

// RandR re-probes outputs (as xrandr and desktops do) and reads the state the drivers keep.
void probeOutputs(Display* d) {
    XRRFreeScreenResources(XRRGetScreenResources(d, DefaultRootWindow(d)));
}

// The dummy driver reports an output as connected from its first mode on, also once it is off.
// Outputs that another program used that way stay untouched; the one we released is ours again,
// however many sessions come and go.
TEST(RandrVirtualDisplay, ReleasedOutputsAreSpareAgainAndOthersStayUntouched) {
    std::string why;
    XorgServer::Options options;
    options.firstDisplayNumber = 90;
    auto server = XorgServer::start(&why, options);
    if (!server) GTEST_SKIP() << why;
    auto d = openDisplay(*server);
    ASSERT_TRUE(d);
    for (int i = 1; i <= 14; ++i) {
        std::string output = "DUMMY" + std::to_string(i);
        RRMode mode = enableWithRawXlib(d.get(), output, "other-" + output, 1920, 64, 64);
        disableAndDelete(d.get(), output, mode);
    }
    XRRSetScreenSize(d.get(), DefaultRootWindow(d.get()), 1920, 1080, 508, 285);
    probeOutputs(d.get());

    X11VirtualDisplayBackend backend(server->displayName());
    for (int session = 0; session < 20; ++session) {
        SCOPED_TRACE(session);
        auto display = createApplied(backend, 800, 600);
        ASSERT_TRUE(display);
        EXPECT_EQ(x11::findDisplay(d.get(), display->displayID())->name, "DUMMY15");
        display.reset();
        probeOutputs(d.get());
    }
}

TEST(RandrVirtualDisplay, RefusedSettingsLeaveNothingBehind) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    X11VirtualDisplayBackend backend(server->displayName());
    auto display = backend.create(VirtualDisplay::descriptorFor(StreamProfile::fallback, 1));
    ASSERT_TRUE(display);
    EXPECT_FALSE(display->applySettings(settingsOf(40000, 768)));    // over the 32767 maximum
    EXPECT_FALSE(display->applySettings(VirtualDisplaySettings{}));  // no mode
    EXPECT_EQ(display->displayID(), 0u);
    display.reset();
    EXPECT_FALSE(test::hasModeWithPrefix(d.get(), "panelora-"));
    EXPECT_EQ(screenSize(d.get()), (ScreenSize{1920, 1080}));
}

TEST(RandrVirtualDisplay, DesktopScaleMultipliesThePixelSize) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    EXPECT_EQ(desktopScaleFactor(d.get()), 1);
    setenv("GDK_SCALE", "2", 1);
    EXPECT_EQ(desktopScaleFactor(d.get()), 2);
    X11VirtualDisplayBackend backend(server->displayName());
    auto display = createApplied(backend, 512, 384);
    unsetenv("GDK_SCALE");
    ASSERT_TRUE(display);
    EXPECT_EQ(x11::displayBounds(d.get(), display->displayID()), (Rect{1920, 0, 1024, 768}));
    setenv("GDK_SCALE", "nonsense", 1);
    EXPECT_EQ(desktopScaleFactor(d.get()), 1);
    unsetenv("GDK_SCALE");
}

TEST(RandrVirtualDisplay, XftDpiGivesTheScaleRoundedDown) {
    PANELORA_REQUIRE_XORG(server);
    auto d = openDisplay(*server);
    Atom resourceManager = XInternAtom(d.get(), "RESOURCE_MANAGER", False);
    struct Case {
        const char* resources;
        int scale;
    };
    for (const Case& c : {Case{"Xft.antialias:\t1\nXft.dpi:\t192\n", 2}, Case{"Xft.dpi:\t144\n", 1},
                          Case{"Xft.dpi: 300\n", 3}, Case{"Xft.dpi:\tjunk\n", 1},
                          Case{"Xft.dpi:\t-96\n", 1}, Case{"Xcursor.size: 24\n", 1}}) {
        SCOPED_TRACE(c.resources);
        XChangeProperty(d.get(), DefaultRootWindow(d.get()), resourceManager, XA_STRING, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(c.resources),
                        static_cast<int>(std::strlen(c.resources)));
        XSync(d.get(), False);
        auto fresh = openDisplay(*server);  // the resources are read when a connection opens
        EXPECT_EQ(desktopScaleFactor(fresh.get()), c.scale);
    }
    XDeleteProperty(d.get(), DefaultRootWindow(d.get()), resourceManager);
    XSync(d.get(), False);
}

TEST(RandrVirtualDisplay, UnreachableServerYieldsNothing) {
    X11VirtualDisplayBackend backend(":4999");
    EXPECT_FALSE(backend.create(VirtualDisplay::descriptorFor(StreamProfile::fallback, 1)));
}

}  // namespace
}  // namespace panelora
