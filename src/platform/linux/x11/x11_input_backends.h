// The X11 backends of the input and display seams, made together for one X display (X11Platform
// installs them into the core).
//
//   std::string why;
//   auto backends = createX11InputBackends({.displayName = ""}, &why);  // "" = $DISPLAY
//   if (!backends) { log why; }
//
// The three share one connection pool and the geometry's translation between global points and
// root pixels. Install once at start-up, before any session runs.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "input/pointer_injector.h"
#include "platform/linux/x11/x11_cursor_source.h"
#include "platform/linux/x11/x11_display_geometry.h"
#include "platform/linux/x11/x11_event_poster.h"

namespace panelora {

struct X11InputOptions {
    std::string displayName;  // empty: $DISPLAY
    // Device pixels per point. 0: desktopScaleFactor() of the server.
    int scale = 0;
};

struct X11InputBackends {
    std::shared_ptr<X11DisplayGeometry> geometry;
    std::shared_ptr<X11EventPoster> poster;
    std::shared_ptr<X11CursorSource> cursor;

    InputBackends forInjection() const { return InputBackends{poster, geometry, cursor}; }
};

// Nothing when the display cannot be opened or lacks RandR 1.3 or XTest; `why` says which.
std::optional<X11InputBackends> createX11InputBackends(const X11InputOptions& options,
                                                       std::string* why = nullptr);

}  // namespace panelora
