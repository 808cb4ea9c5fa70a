#include "platform/linux/gnome/gnome_cursor_source.h"

#include <algorithm>

#include "platform/linux/gnome/cursor_theme.h"
#include "platform/linux/pixels/cursor_png.h"

namespace panelora {

GnomeCursorSource::GnomeCursorSource(std::shared_ptr<VirtualMonitors> monitors,
                                     std::shared_ptr<GnomeDisplayGeometry> geometry)
    : monitors_(std::move(monitors)), geometry_(std::move(geometry)) {}

std::shared_ptr<VirtualMonitor> GnomeCursorSource::pointerMonitor() const {
    std::shared_ptr<VirtualMonitor> seen;
    for (const auto& monitor : monitors_->all()) {
        auto cursor = monitor->cursor();
        if (cursor.onMonitor && cursor.position) return monitor;
        if (!seen && cursor.lastSeen) seen = monitor;
    }
    return seen;
}

std::optional<Point> GnomeCursorSource::location() {
    auto monitor = pointerMonitor();
    if (!monitor) return std::nullopt;
    const Rect bounds = geometry_->bounds(monitor->id());
    if (bounds.isEmpty()) return std::nullopt;
    const auto cursor = monitor->cursor();
    const Point pixel = cursor.position ? *cursor.position : *cursor.lastSeen;
    // Stream pixels to layout units (equal unless the layout is logical and scaled).
    Point local{pixel.x * bounds.width / monitor->pixelWidth(),
                pixel.y * bounds.height / monitor->pixelHeight()};
    if (!cursor.position) {
        // Off the monitor: just past the edge it was nearest to.
        const double left = local.x, right = bounds.width - local.x;
        const double top = local.y, bottom = bounds.height - local.y;
        const double nearest = std::min({left, right, top, bottom});
        if (nearest == left) {
            local.x = -1;
        } else if (nearest == right) {
            local.x = bounds.width + 1;
        } else if (nearest == top) {
            local.y = -1;
        } else {
            local.y = bounds.height + 1;
        }
    }
    return Point{bounds.minX() + local.x, bounds.minY() + local.y};
}

std::optional<PlatformCursor> GnomeCursorSource::currentSystemCursor() {
    auto monitor = pointerMonitor();
    if (!monitor) return std::nullopt;
    auto bitmap = monitor->cursor().bitmap;
    if (!bitmap || bitmap->pixels.empty()) bitmap = gnome::themeArrow(monitor->scale());
    return makeCursor(std::move(bitmap), monitor->pointsPerPixel());
}

std::optional<PlatformCursor> GnomeCursorSource::arrowCursor() {
    auto monitors = monitors_->all();
    auto monitor = pointerMonitor();
    if (!monitor && !monitors.empty()) monitor = monitors.front();
    if (!monitor) return std::nullopt;
    return makeCursor(gnome::themeArrow(monitor->scale()), monitor->pointsPerPixel());
}

PlatformCursor GnomeCursorSource::makeCursor(std::shared_ptr<const CursorBitmap> bitmap,
                                             double pointsPerPixel) {
    PlatformCursor cursor;
    cursor.width = bitmap->width * pointsPerPixel;
    cursor.height = bitmap->height * pointsPerPixel;
    cursor.hotSpot = Point{bitmap->hotX * pointsPerPixel, bitmap->hotY * pointsPerPixel};
    cursor.png = [bitmap] {
        return cursorpng::encode(bitmap->pixels, bitmap->width, bitmap->height);
    };
    return cursor;
}

}  // namespace panelora
