// MonitorLayout: mutter's display configuration as DisplayConfig.GetCurrentState reports it, read
// into plain values, and the ApplyMonitorsConfig request that changes it. No D-Bus calls here.
//
// Coordinates are mutter's layout units: logical pixels when the layout mode is logical (with
// the experimental "scale-monitor-framebuffer"), device pixels when it is physical (the default).
// Either way a monitor's rectangle in them is what its stream's pointer coordinates use.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/dbus/glib_handles.h"
#include "support/geometry.h"

namespace panelora {

// Names one monitor: its connector and the vendor, product and serial of its EDID.
struct MonitorSpec {
    std::string connector;
    std::string vendor;
    std::string product;
    std::string serial;
    auto operator<=>(const MonitorSpec&) const = default;
};

struct MonitorMode {
    std::string id;  // "2732x2048@60.000"
    int width = 0;   // device pixels
    int height = 0;
    double refreshRate = 0;
    double preferredScale = 1;
    std::vector<double> supportedScales;
    bool current = false;
};

struct MonitorInfo {
    MonitorSpec spec;
    std::vector<MonitorMode> modes;
    const MonitorMode* currentMode() const;
};

struct LogicalMonitor {
    int x = 0;  // layout units
    int y = 0;
    double scale = 1;
    uint32_t transform = 0;  // 0 normal, 1 90°, 2 180°, 3 270°, 4…7 the same flipped
    bool primary = false;
    std::vector<MonitorSpec> monitors;
};

// A change to one logical monitor: a new position (layout units) and/or scale.
struct MonitorPlacement {
    std::optional<int> x;
    std::optional<int> y;
    std::optional<double> scale;
};

struct MonitorLayout {
    static constexpr uint32_t layoutModeLogical = 1;
    static constexpr uint32_t layoutModePhysical = 2;
    // ApplyMonitorsConfig methods: 1 applies for now, 2 also stores it.
    static constexpr uint32_t methodTemporary = 1;

    uint32_t serial = 0;
    uint32_t layoutMode = layoutModePhysical;
    std::vector<MonitorInfo> monitors;
    std::vector<LogicalMonitor> logicalMonitors;

    // From GetCurrentState's reply "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";
    // nothing when it has another shape.
    static std::optional<MonitorLayout> parse(const glib::Variant& reply);

    const MonitorInfo* monitor(const MonitorSpec& spec) const;
    const LogicalMonitor* logicalMonitorOf(const MonitorSpec& spec) const;
    const LogicalMonitor* primary() const;
    // The monitor's rectangle in layout units; nothing when it is not shown.
    std::optional<Rect> layoutRect(const MonitorSpec& spec) const;
    std::optional<Rect> layoutRect(const LogicalMonitor& logical) const;
    // The monitor's rectangle relative to the primary's top-left corner (the global space);
    // empty when it is not shown.
    Rect globalRect(const MonitorSpec& spec) const;

    // What changed for each monitor from this layout to `after` (DisplayChange flags: added,
    // removed, moved, resized, became the primary); unchanged monitors are left out.
    std::vector<std::pair<MonitorSpec, uint32_t>> changesTo(const MonitorLayout& after) const;

    // ApplyMonitorsConfig's arguments "(uua(iiduba(ssa{sv}))a{sv})" for every logical monitor as
    // it is, with `changes` applied to the ones holding those monitors, all shifted so that the
    // layout starts at (0, 0) as mutter requires.
    glib::Variant applyArguments(const std::map<MonitorSpec, MonitorPlacement>& changes,
                                 uint32_t method = methodTemporary) const;
};

// The scale among `supported` nearest to `wanted` (the first on a tie); `wanted` itself when
// nothing is supported.
double nearestScale(double wanted, const std::vector<double>& supported);

}  // namespace panelora
