// X11CursorSource: the CursorSource backend on XQueryPointer, XFixes and Xcursor.
//
// location() is the pointer's root position (whole pixels: X has no sub-pixel pointer) in global
// points (X11DisplayGeometry::toGlobal). currentSystemCursor() is the cursor image the server
// shows now (XFixesGetCursorImage), whichever client set it. arrowCursor() is "left_ptr" of the
// user's cursor theme at its default size when libXcursor finds one, else a built-in 12 × 19
// arrow with its hot spot at the tip. Sizes and hot spots are pixels divided by the scale factor;
// png() encodes the pixels with straight alpha (cursor_png.h).
//
// Threads: every call leases its own X connection, so location() (cursor queue) and the image
// calls (main queue) run at the same time without sharing one. png() makes no X call.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "input/cursor_source.h"
#include "platform/linux/pixels/cursor_png.h"
#include "platform/linux/x11/x11_connection_pool.h"
#include "platform/linux/x11/x11_display_geometry.h"

namespace panelora {

class X11CursorSource final : public CursorSource {
  public:
    X11CursorSource(std::shared_ptr<X11ConnectionPool> pool,
                    std::shared_ptr<const X11DisplayGeometry> geometry);

    std::optional<Point> location() override;
    std::optional<PlatformCursor> currentSystemCursor() override;
    std::optional<PlatformCursor> arrowCursor() override;

    using Image = cursorpng::Image;
    // A PlatformCursor for an image at `scale` pixels per point.
    static PlatformCursor makeCursor(Image image, int scale);

  private:
    const std::shared_ptr<X11ConnectionPool> pool_;
    const std::shared_ptr<const X11DisplayGeometry> geometry_;

    std::mutex mutex_;
    std::optional<Image> arrow_;  // loaded once; guarded by mutex_
};

}  // namespace panelora
