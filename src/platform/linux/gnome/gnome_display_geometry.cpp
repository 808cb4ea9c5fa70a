#include "platform/linux/gnome/gnome_display_geometry.h"

#include "platform/linux/gnome/mutter_names.h"
#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("gnome");
}

}  // namespace

std::shared_ptr<GnomeDisplayGeometry> GnomeDisplayGeometry::create(std::shared_ptr<SessionBus> bus,
                                                                   std::string* why) {
    std::shared_ptr<GnomeDisplayGeometry> geometry(new GnomeDisplayGeometry(std::move(bus)));
    std::weak_ptr<GnomeDisplayGeometry> weak = geometry;
    // Subscribed before the first read, so that no change falls between the two.
    geometry->watch_ = geometry->bus_->subscribe(
        mutter::displayConfigService, mutter::displayConfigService, "MonitorsChanged",
        "/org/gnome/Mutter/DisplayConfig", [weak](const glib::Variant&) {
            if (auto self = weak.lock()) self->monitorsChanged();
        });
    if (!geometry->refresh()) {
        if (why) *why = "mutter's DisplayConfig does not answer";
        return nullptr;
    }
    return geometry;
}

GnomeDisplayGeometry::GnomeDisplayGeometry(std::shared_ptr<SessionBus> bus)
    : bus_(std::move(bus)) {}

GnomeDisplayGeometry::~GnomeDisplayGeometry() = default;

std::optional<MonitorLayout> GnomeDisplayGeometry::read() {
    auto reply = bus_->call(mutter::displayConfig(), "GetCurrentState", nullptr);
    if (!reply.ok()) {
        logger()->debug("{}", reply.error);
        return std::nullopt;
    }
    auto layout = MonitorLayout::parse(reply.value);
    if (!layout) logger()->warn("{}", "mutter's display configuration has an unknown shape");
    return layout;
}

void GnomeDisplayGeometry::publish(MonitorLayout layout) {
    std::lock_guard lock(mutex_);
    // Two readers may overtake each other; mutter's serial only grows.
    if (published_ && layout.serial < layout_.serial) return;
    for (const auto& monitor : layout.monitors) {
        if (ids_.try_emplace(monitor.spec, nextID_).second) ++nextID_;
    }
    layout_ = std::move(layout);
    published_ = true;
}

bool GnomeDisplayGeometry::refresh() {
    auto layout = read();
    if (!layout) return false;
    publish(std::move(*layout));
    return true;
}

MonitorLayout GnomeDisplayGeometry::layout() const {
    std::lock_guard lock(mutex_);
    return layout_;
}

DisplayID GnomeDisplayGeometry::idOf(const MonitorSpec& spec) {
    std::lock_guard lock(mutex_);
    auto [entry, added] = ids_.try_emplace(spec, nextID_);
    if (added) ++nextID_;
    return entry->second;
}

std::optional<MonitorSpec> GnomeDisplayGeometry::specOf(DisplayID display) const {
    std::lock_guard lock(mutex_);
    for (const auto& [spec, id] : ids_) {
        if (id == display) return spec;
    }
    return std::nullopt;
}

Rect GnomeDisplayGeometry::bounds(DisplayID display) const {
    std::lock_guard lock(mutex_);
    for (const auto& [spec, id] : ids_) {
        if (id == display) return layout_.globalRect(spec);
    }
    return {};
}

DisplayID GnomeDisplayGeometry::mainDisplayID() const {
    std::lock_guard lock(mutex_);
    const LogicalMonitor* primary = layout_.primary();
    if (!primary || primary->monitors.empty()) return 0;
    auto found = ids_.find(primary->monitors.front());
    return found == ids_.end() ? 0 : found->second;
}

bool GnomeDisplayGeometry::configure(DisplayID display, std::optional<double> scale,
                                     std::optional<Point> origin) {
    auto spec = specOf(display);
    // Fresh, so that mutter does not refuse a configuration based on an old serial.
    auto layout = read();
    if (!spec || !layout || !layout->logicalMonitorOf(*spec)) return false;
    MonitorPlacement placement;
    placement.scale = scale;
    if (origin) {
        const LogicalMonitor* primary = layout->primary();
        placement.x = primary->x + static_cast<int>(origin->x);
        placement.y = primary->y + static_cast<int>(origin->y);
    }
    auto arguments = layout->applyArguments({{*spec, placement}});
    auto reply = bus_->call(mutter::displayConfig(), "ApplyMonitorsConfig", arguments.get());
    if (!reply.ok()) {
        logger()->info("{}", "mutter refused to configure " + spec->connector + ": " + reply.error);
        refresh();
        return false;
    }
    refresh();
    if (appliedHandler_) appliedHandler_();
    return true;
}

bool GnomeDisplayGeometry::configureOrigin(DisplayID display, int32_t x, int32_t y) {
    return configure(display, std::nullopt, Point{static_cast<double>(x), static_cast<double>(y)});
}

DisplayGeometry::CallbackToken GnomeDisplayGeometry::addReconfigurationCallback(
    ReconfigurationCallback callback) {
    return callbacks_.add(std::move(callback));
}

void GnomeDisplayGeometry::removeReconfigurationCallback(CallbackToken token) {
    callbacks_.remove(token);
}

void GnomeDisplayGeometry::setAppliedHandler(std::function<void()> handler) {
    appliedHandler_ = std::move(handler);
}

void GnomeDisplayGeometry::monitorsChanged() {
    MonitorLayout before = layout();
    if (!refresh()) return;
    std::vector<std::pair<DisplayID, uint32_t>> changed;
    for (const auto& [spec, flags] : before.changesTo(layout()))
        changed.emplace_back(idOf(spec), flags);
    callbacks_.deliver(std::move(changed));
}

}  // namespace panelora
