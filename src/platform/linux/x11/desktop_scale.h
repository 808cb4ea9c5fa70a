// The desktop's scale on X11, the one source of it for every X11 backend part (virtual display
// size, input coordinates, cursor size): X11 has no per-display HiDPI, so the whole desktop has one
// integer factor of device pixels per point.
#pragma once

#include <X11/Xlib.h>

namespace panelora {

// GDK_SCALE when set to an integer 1…8, else the server's Xft.dpi resource ÷ 96 rounded down
// (192 on a GNOME or Cinnamon HiDPI desktop gives 2), else 1. The resources are those the
// connection read when it was opened.
int desktopScaleFactor(Display* display);

}  // namespace panelora
