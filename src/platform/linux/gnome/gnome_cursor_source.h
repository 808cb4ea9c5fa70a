// GnomeCursorSource: the CursorSource backend on the cursor metadata of the virtual monitors'
// streams.
//
// location(): while the pointer is on a virtual monitor, its position there in global points
// (stream pixels to layout units). Mutter tells a stream nothing about a pointer elsewhere, only
// that it left; then location() is the last point seen on the monitor moved just past its
// nearest edge, so that the cursor tracker sees the pointer leave. Nothing before any monitor
// saw the pointer.
// currentSystemCursor(): the latest image mutter sent (it sends one only when the pointer's image
// changes, and misses changes while a stream is paused); the theme's arrow until then.
// arrowCursor(): the theme's arrow at the monitor's scale
// (cursor_theme.h). Sizes and hot spots are in the virtual display's points (the stream
// profile's), so that the tablet draws the cursor at the size it has in the picture.
//
// Threads: every call reads the monitors' cursor state under their own mutexes; png() encodes
// without touching shared state.
#pragma once

#include <memory>

#include "input/cursor_source.h"
#include "platform/linux/gnome/gnome_display_geometry.h"
#include "platform/linux/gnome/virtual_monitor.h"

namespace panelora {

class GnomeCursorSource final : public CursorSource {
  public:
    GnomeCursorSource(std::shared_ptr<VirtualMonitors> monitors,
                      std::shared_ptr<GnomeDisplayGeometry> geometry);

    std::optional<Point> location() override;
    std::optional<PlatformCursor> currentSystemCursor() override;
    std::optional<PlatformCursor> arrowCursor() override;

    // A PlatformCursor of a bitmap in stream pixels on a monitor with `pointsPerPixel`.
    static PlatformCursor makeCursor(std::shared_ptr<const CursorBitmap> bitmap,
                                     double pointsPerPixel);

  private:
    // The monitor the pointer is on, else the one that saw it last (the newest first).
    std::shared_ptr<VirtualMonitor> pointerMonitor() const;

    const std::shared_ptr<VirtualMonitors> monitors_;
    const std::shared_ptr<GnomeDisplayGeometry> geometry_;
};

}  // namespace panelora
