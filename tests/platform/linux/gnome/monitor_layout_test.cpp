// Mutter's display configuration read from GetCurrentState replies (as mutter 43 sends them), the
// ApplyMonitorsConfig request built from it, the changes between two layouts and the choice of
// scale, without a mutter.
#include "platform/linux/gnome/monitor_layout.h"
#include "display/display_geometry.h"
#include "platform/linux/gnome/gnome_virtual_display.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

constexpr const char* kStateType = "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";

// The primary Meta-0 (1440 × 900) and a 2732 × 2048 virtual monitor at scale 2, placed as given.
std::string state(uint32_t serial, int primaryX, int virtualX, int virtualY, uint32_t layoutMode,
                  double scale = 2.0, uint32_t transform = 0) {
    return "(uint32 " + std::to_string(serial) +
           ", [(('Meta-0', 'MetaVendor', 'MetaVirtualMonitor', '0x00'), [('1440x900@60.000', "
           "1440, 900, 60.0, 1.0, [1.0], {'is-current': <true>, 'is-preferred': <true>})], "
           "{'is-builtin': <false>}), (('Meta-1', 'MetaVendor', 'Virtual remote monitor', "
           "'0x000003'), [('2732x2048@60.000', 2732, 2048, 60.0, 1.0, [1.0, 2.0, 3.0], "
           "{'is-current': <true>})], @a{sv} {})], [(" +
           std::to_string(primaryX) +
           ", 0, 1.0, uint32 0, true, [('Meta-0', 'MetaVendor', 'MetaVirtualMonitor', '0x00')], "
           "@a{sv} {}), (" +
           std::to_string(virtualX) + ", " + std::to_string(virtualY) + ", " +
           std::to_string(scale) + ", uint32 " + std::to_string(transform) +
           ", false, [('Meta-1', 'MetaVendor', 'Virtual remote monitor', '0x000003')], @a{sv} "
           "{})], {'layout-mode': <uint32 " +
           std::to_string(layoutMode) + ">})";
}

MonitorLayout parse(const std::string& text) {
    auto layout = MonitorLayout::parse(glib::Variant::parse(kStateType, text));
    EXPECT_TRUE(layout) << text;
    return layout.value_or(MonitorLayout{});
}

const MonitorSpec kPrimary{"Meta-0", "MetaVendor", "MetaVirtualMonitor", "0x00"};
const MonitorSpec kVirtual{"Meta-1", "MetaVendor", "Virtual remote monitor", "0x000003"};

// The serial, layout mode, primary and logical monitors are read as the cases below use them.
TEST(MonitorLayout, ReadsTheCurrentModeAndRefusesOtherShapes) {
    MonitorLayout layout = parse(state(7, 0, 1440, 0, MonitorLayout::layoutModePhysical));
    ASSERT_TRUE(layout.monitor(kVirtual) && layout.monitor(kVirtual)->currentMode());
    const MonitorMode& mode = *layout.monitor(kVirtual)->currentMode();
    EXPECT_EQ(std::tuple(mode.id, mode.width, mode.height, mode.refreshRate),
              std::tuple("2732x2048@60.000", 2732, 2048, 60.0));
    EXPECT_EQ(mode.supportedScales, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_FALSE(MonitorLayout::parse(glib::Variant::parse("(u)", "(uint32 3,)")));
    EXPECT_FALSE(MonitorLayout::parse(glib::Variant{}));
}

// Global points start at the primary's corner, whatever mutter's layout starts at.
TEST(MonitorLayout, GlobalRectsFollowTheLayoutModeScaleAndRotationFromThePrimary) {
    struct Case {
        int primaryX, virtualX, virtualY;
        uint32_t layoutMode;
        double scale;
        uint32_t transform;
        Rect expected;  // the virtual monitor in global points
    };
    constexpr uint32_t physical = MonitorLayout::layoutModePhysical;
    constexpr uint32_t logical = MonitorLayout::layoutModeLogical;
    for (const Case& c : {
             Case{0, 1440, 0, physical, 2.0, 0, {1440, 0, 2732, 2048}},  // device pixels
             Case{0, 1440, 0, logical, 2.0, 0, {1440, 0, 1366, 1024}},   // divided by the scale
             Case{0, 1440, 0, logical, 1.6, 0, {1440, 0, 1708, 1280}},   // fractional, rounded
             Case{0, 1440, 0, physical, 1.0, 1, {1440, 0, 2048, 2732}},  // turned by 90°
             Case{0, 1440, 0, physical, 1.0, 7, {1440, 0, 2048, 2732}},  // flipped, turned by 270°
             Case{2732, 0, 100, physical, 2.0, 0, {-2732, 100, 2732, 2048}},  // left of it
         }) {
        MonitorLayout layout =
            parse(state(1, c.primaryX, c.virtualX, c.virtualY, c.layoutMode, c.scale, c.transform));
        EXPECT_EQ(layout.globalRect(kVirtual), c.expected) << c.layoutMode << " " << c.scale;
        EXPECT_EQ(layout.globalRect(kPrimary), (Rect{0, 0, 1440, 900}));
        EXPECT_TRUE(layout.globalRect({"Meta-9", "", "", ""}).isEmpty());
    }
}

TEST(MonitorLayout, ApplyArgumentsKeepEveryMonitorAndStartTheLayoutAtTheOrigin) {
    MonitorLayout layout = parse(state(9, 0, 1440, 0, MonitorLayout::layoutModePhysical));
    struct Case {
        const char* what;
        MonitorPlacement placement;
        std::string expected;
    };
    for (const Case& c : {
             Case{"unchanged",
                  {},
                  "(uint32 9, uint32 1, [(0, 0, 1.0, uint32 0, true, "
                  "[('Meta-0', '1440x900@60.000', @a{sv} {})]), (1440, 0, 2.0, "
                  "0, false, [('Meta-1', '2732x2048@60.000', {})])], @a{sv} {})"},
             Case{"left of the primary, 100 higher: everything shifted to start at (0, 0)",
                  {-2732, -100, std::nullopt},
                  "(uint32 9, uint32 1, [(2732, 100, 1.0, uint32 0, true, [('Meta-0', "
                  "'1440x900@60.000', @a{sv} {})]), (0, 0, 2.0, 0, false, [('Meta-1', "
                  "'2732x2048@60.000', {})])], @a{sv} {})"},
             Case{"a new scale only",
                  {std::nullopt, std::nullopt, 1.0},
                  "(uint32 9, uint32 1, [(0, 0, 1.0, uint32 0, true, [('Meta-0', "
                  "'1440x900@60.000', @a{sv} {})]), (1440, 0, 1.0, 0, false, [('Meta-1', "
                  "'2732x2048@60.000', {})])], @a{sv} {})"},
         }) {
        EXPECT_EQ(layout.applyArguments({{kVirtual, c.placement}}).print(), c.expected) << c.what;
    }
}

TEST(MonitorLayout, ChangesTellWhatHappenedToEachMonitor) {
    const MonitorLayout right = parse(state(1, 0, 1440, 0, MonitorLayout::layoutModePhysical));
    const MonitorLayout left = parse(state(2, 2732, 0, 0, MonitorLayout::layoutModePhysical));
    const MonitorLayout bigger =
        parse(state(3, 0, 1440, 0, MonitorLayout::layoutModePhysical, 1.0, 1));
    MonitorLayout primaryOnly = right;
    primaryOnly.monitors.pop_back();
    primaryOnly.logicalMonitors.pop_back();
    using Changes = std::vector<std::pair<MonitorSpec, uint32_t>>;
    EXPECT_EQ(right.changesTo(right), Changes{});
    // The primary moved in mutter's layout but not in the global space.
    EXPECT_EQ(right.changesTo(left), (Changes{{kVirtual, DisplayChange::movedFlag}}));
    EXPECT_EQ(right.changesTo(bigger), (Changes{{kVirtual, DisplayChange::setModeFlag}}));
    EXPECT_EQ(primaryOnly.changesTo(right), (Changes{{kVirtual, DisplayChange::addFlag}}));
    EXPECT_EQ(right.changesTo(primaryOnly), (Changes{{kVirtual, DisplayChange::removeFlag}}));
    EXPECT_EQ(MonitorLayout{}.changesTo(primaryOnly),
              (Changes{{kPrimary, DisplayChange::addFlag | DisplayChange::setMainFlag}}));
}

TEST(MonitorScale, TheNearestSupportedScaleToPixelsPerPoint) {
    struct Case {
        int pixels, points;
        std::vector<double> supported;
        double expected;
    };
    for (const Case& c : {
             Case{2048, 1024, {1.0, 2.0, 3.0}, 2.0},
             Case{1500, 1000, {1.0, 2.0}, 1.0},                   // a tie goes to the first
             Case{2732, 1708, {1.0, 2.0, 3.0}, 2.0},              // 1.6
             Case{2732, 1708, {1.0, 1.25, 1.5, 1.75, 2.0}, 1.5},  // 1.6 is nearer 1.5
             Case{1796, 1708, {1.0, 2.0}, 1.0},                   // 1.05
             Case{2732, 1708, {}, 2732.0 / 1708},
             Case{2732, 0, {1.0, 2.0}, 1.0},
         }) {
        EXPECT_DOUBLE_EQ(scaleForLooksLike(c.pixels, c.points, c.supported), c.expected)
            << c.pixels << "/" << c.points;
    }
}

}  // namespace
}  // namespace panelora::test
