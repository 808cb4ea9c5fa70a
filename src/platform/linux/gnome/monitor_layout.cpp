#include "platform/linux/gnome/monitor_layout.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "display/display_geometry.h"

namespace panelora {
namespace {

MonitorSpec readSpec(GVariant* tuple) {
    const char *connector = "", *vendor = "", *product = "", *serial = "";
    g_variant_get(tuple, "(&s&s&s&s)", &connector, &vendor, &product, &serial);
    return MonitorSpec{connector, vendor, product, serial};
}

}  // namespace

const MonitorMode* MonitorInfo::currentMode() const {
    for (const auto& mode : modes) {
        if (mode.current) return &mode;
    }
    return nullptr;
}

std::optional<MonitorLayout> MonitorLayout::parse(const glib::Variant& reply) {
    static const char* kType = "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";
    if (!reply || !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE(kType))) return std::nullopt;
    MonitorLayout layout;
    g_variant_get_child(reply.get(), 0, "u", &layout.serial);

    glib::Variant monitors = reply.child(1);
    for (size_t i = 0; i < g_variant_n_children(monitors.get()); ++i) {
        glib::Variant entry = monitors.child(i);
        MonitorInfo info;
        info.spec = readSpec(entry.child(0).get());
        glib::Variant modes = entry.child(1);
        for (size_t m = 0; m < g_variant_n_children(modes.get()); ++m) {
            glib::Variant raw = modes.child(m);
            MonitorMode mode;
            const char* id = "";
            gint32 width = 0, height = 0;
            g_variant_get_child(raw.get(), 0, "&s", &id);
            g_variant_get_child(raw.get(), 1, "i", &width);
            g_variant_get_child(raw.get(), 2, "i", &height);
            g_variant_get_child(raw.get(), 3, "d", &mode.refreshRate);
            g_variant_get_child(raw.get(), 4, "d", &mode.preferredScale);
            mode.id = id;
            mode.width = width;
            mode.height = height;
            glib::Variant scales = raw.child(5);
            gsize count = 0;
            const auto* values =
                static_cast<const double*>(g_variant_get_fixed_array(scales.get(), &count, sizeof(double)));
            mode.supportedScales.assign(values, values + count);
            if (glib::Variant current = raw.child(6).lookup("is-current", "b")) {
                mode.current = g_variant_get_boolean(current.get());
            }
            info.modes.push_back(std::move(mode));
        }
        layout.monitors.push_back(std::move(info));
    }

    glib::Variant logical = reply.child(2);
    for (size_t i = 0; i < g_variant_n_children(logical.get()); ++i) {
        glib::Variant raw = logical.child(i);
        LogicalMonitor monitor;
        gint32 x = 0, y = 0;
        gboolean primary = FALSE;
        g_variant_get_child(raw.get(), 0, "i", &x);
        g_variant_get_child(raw.get(), 1, "i", &y);
        g_variant_get_child(raw.get(), 2, "d", &monitor.scale);
        g_variant_get_child(raw.get(), 3, "u", &monitor.transform);
        g_variant_get_child(raw.get(), 4, "b", &primary);
        monitor.x = x;
        monitor.y = y;
        monitor.primary = primary;
        glib::Variant specs = raw.child(5);
        for (size_t s = 0; s < g_variant_n_children(specs.get()); ++s) {
            monitor.monitors.push_back(readSpec(specs.child(s).get()));
        }
        layout.logicalMonitors.push_back(std::move(monitor));
    }
    if (glib::Variant mode = reply.child(3).lookup("layout-mode", "u")) {
        layout.layoutMode = g_variant_get_uint32(mode.get());
    }
    return layout;
}

const MonitorInfo* MonitorLayout::monitor(const MonitorSpec& spec) const {
    for (const auto& m : monitors) {
        if (m.spec == spec) return &m;
    }
    return nullptr;
}

const LogicalMonitor* MonitorLayout::logicalMonitorOf(const MonitorSpec& spec) const {
    for (const auto& logical : logicalMonitors) {
        if (std::find(logical.monitors.begin(), logical.monitors.end(), spec) !=
            logical.monitors.end()) {
            return &logical;
        }
    }
    return nullptr;
}

const LogicalMonitor* MonitorLayout::primary() const {
    for (const auto& logical : logicalMonitors) {
        if (logical.primary) return &logical;
    }
    return logicalMonitors.empty() ? nullptr : &logicalMonitors.front();
}

std::optional<Rect> MonitorLayout::layoutRect(const LogicalMonitor& logical) const {
    if (logical.monitors.empty()) return std::nullopt;
    const MonitorInfo* info = monitor(logical.monitors.front());
    const MonitorMode* mode = info ? info->currentMode() : nullptr;
    if (!mode || mode->width <= 0 || mode->height <= 0) return std::nullopt;
    double width = mode->width, height = mode->height;
    if (logical.transform % 2 == 1) std::swap(width, height);  // turned by 90° or 270°
    if (layoutMode == layoutModeLogical && logical.scale > 0) {
        width = std::round(width / logical.scale);
        height = std::round(height / logical.scale);
    }
    return Rect{static_cast<double>(logical.x), static_cast<double>(logical.y), width, height};
}

std::optional<Rect> MonitorLayout::layoutRect(const MonitorSpec& spec) const {
    const LogicalMonitor* logical = logicalMonitorOf(spec);
    return logical ? layoutRect(*logical) : std::nullopt;
}

Rect MonitorLayout::globalRect(const MonitorSpec& spec) const {
    auto rect = layoutRect(spec);
    const LogicalMonitor* main = primary();
    if (!rect || !main) return {};
    return Rect{rect->x - main->x, rect->y - main->y, rect->width, rect->height};
}

std::vector<std::pair<MonitorSpec, uint32_t>> MonitorLayout::changesTo(
    const MonitorLayout& after) const {
    std::vector<std::pair<MonitorSpec, uint32_t>> result;
    const LogicalMonitor* mainBefore = primary();
    const LogicalMonitor* mainAfter = after.primary();
    const bool mainChanged =
        !mainBefore || !mainAfter || mainBefore->monitors != mainAfter->monitors;
    for (const auto& monitor : after.monitors) {
        Rect now = after.globalRect(monitor.spec);
        if (now.isEmpty()) continue;
        Rect was = globalRect(monitor.spec);
        uint32_t flags = 0;
        if (was.isEmpty()) {
            flags = DisplayChange::addFlag;
        } else {
            if (was.x != now.x || was.y != now.y) flags |= DisplayChange::movedFlag;
            if (was.width != now.width || was.height != now.height) {
                flags |= DisplayChange::setModeFlag;
            }
        }
        if (mainChanged && mainAfter && !mainAfter->monitors.empty() &&
            mainAfter->monitors.front() == monitor.spec) {
            flags |= DisplayChange::setMainFlag;
        }
        if (flags != 0) result.emplace_back(monitor.spec, flags);
    }
    for (const auto& monitor : monitors) {
        if (!globalRect(monitor.spec).isEmpty() && after.globalRect(monitor.spec).isEmpty()) {
            result.emplace_back(monitor.spec, DisplayChange::removeFlag);
        }
    }
    return result;
}

glib::Variant MonitorLayout::applyArguments(const std::map<MonitorSpec, MonitorPlacement>& changes,
                                            uint32_t method) const {
    std::vector<LogicalMonitor> placed = logicalMonitors;
    for (auto& logical : placed) {
        for (const auto& spec : logical.monitors) {
            auto change = changes.find(spec);
            if (change == changes.end()) continue;
            if (change->second.x) logical.x = *change->second.x;
            if (change->second.y) logical.y = *change->second.y;
            if (change->second.scale) logical.scale = *change->second.scale;
        }
    }
    int minX = INT_MAX, minY = INT_MAX;
    for (const auto& logical : placed) {
        minX = std::min(minX, logical.x);
        minY = std::min(minY, logical.y);
    }
    GVariantBuilder monitorsBuilder;
    g_variant_builder_init(&monitorsBuilder, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
    for (const auto& logical : placed) {
        GVariantBuilder specs;
        g_variant_builder_init(&specs, G_VARIANT_TYPE("a(ssa{sv})"));
        for (const auto& spec : logical.monitors) {
            const MonitorInfo* info = monitor(spec);
            const MonitorMode* mode = info ? info->currentMode() : nullptr;
            g_variant_builder_add(&specs, "(ss@a{sv})", spec.connector.c_str(),
                                  mode ? mode->id.c_str() : "",
                                  g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
        }
        g_variant_builder_add(&monitorsBuilder, "(iiduba(ssa{sv}))", logical.x - minX,
                              logical.y - minY, logical.scale, logical.transform,
                              static_cast<gboolean>(logical.primary), &specs);
    }
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
    return glib::Variant::take(g_variant_new("(uua(iiduba(ssa{sv}))a{sv})", serial, method,
                                             &monitorsBuilder, &properties));
}

double nearestScale(double wanted, const std::vector<double>& supported) {
    if (supported.empty()) return wanted;
    double best = supported.front();
    for (double scale : supported) {
        if (std::abs(scale - wanted) < std::abs(best - wanted)) best = scale;
    }
    return best;
}

}  // namespace panelora
