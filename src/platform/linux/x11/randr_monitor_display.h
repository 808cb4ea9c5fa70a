// The X11 virtual display on a server without a spare output (modesetting, amdgpu, nvidia): the
// screen (the root window) is enlarged beyond the physical outputs and a RandR 1.5 monitor named
// "PANELORA-<pid>-<n>" is set over the new area. No CRTC scans it out, but the server draws
// windows there, so it can be captured; window managers that read RandR 1.5 monitors (i3,
// openbox) treat it as a head. RandR confines the pointer to CRTC areas, so every enabled CRTC
// gets a panning area equal to its mode (it never pans) with the whole screen as tracking area.
//
// Placement: right of the primary output, top aligned. As root coordinates cannot be negative,
// a display left of it moves the existing outputs right by its width. Removal puts the screen
// size, the panning and the output positions back as they were; if something else changed the
// outputs meanwhile, only our monitor and panning go and the screen shrinks to the outputs.
//
// A monitor lying outside the screen (something shrank it) is not reported as a display
// (x11_display_registry.cpp), so the capture stops and the session ends instead of reading
// outside the root window.
#pragma once

#include <memory>

#include "platform/linux/xlib/x11_connection.h"
#include "video/virtual_display.h"

namespace panelora::x11 {

// True when the server can carry a monitor display (RandR 1.5); else false with `why`.
bool monitorRouteAvailable(Display* display, std::string* why = nullptr);

// Deletes "PANELORA-" monitors that no live display owns, with the panning and output shift
// that came with them.
void cleanUpLeftoverMonitors(X11Connection& connection);

// `scale`: device pixels per point; 0: desktopScaleFactor() at applySettings.
std::unique_ptr<PlatformVirtualDisplay> makeMonitorDisplay(
    std::unique_ptr<X11Connection> connection, int scale);

// The window manager's name when it is GNOME's (mutter, GNOME Shell, GNOME Flashback), which
// builds its monitors from outputs: windows go onto a monitor display but do not maximize there.
std::string gnomeWindowManager(Display* display);

}  // namespace panelora::x11
