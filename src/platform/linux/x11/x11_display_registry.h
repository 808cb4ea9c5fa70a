// Which RandR output a DisplayID names, for every X11 backend (capture, pointer injection,
// cursor, arrangement).
//
// IDs: a real output's DisplayID is its RandR output XID. A virtual display made by
// X11VirtualDisplayBackend gets the XID of the first mode it created: outputs are reused from
// one display to the next, mode XIDs are not, so each creation has a new ID. The displays of
// this process are kept in a process-wide registry; a display of another process is still found
// from its "panelora-" mode. Coordinates are root-window pixels (X11 has no points).
//
// All functions take the caller's own Display* and make X requests on it: call them on the
// thread (or under the lock) that owns that connection. The registry itself is thread-safe.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/geometry.h"

namespace panelora::x11 {

// Name prefix of every mode that a virtual display creates; leftovers are found by it.
inline constexpr std::string_view kModePrefix = "panelora-";
// Name prefix of the RandR 1.5 monitor of a virtual display on an enlarged screen.
inline constexpr std::string_view kMonitorPrefix = "PANELORA-";
// The names carry the process ID after the prefix ("<pid>-<n>"): true when the ID `text` starts
// with is another process, still running, whose display is alive and not left over.
bool isAnotherLiveProcess(std::string_view text);

struct OutputPlacement {
    DisplayID id = 0;
    RROutput output = 0;
    RRCrtc crtc = 0;
    RRMode mode = 0;
    std::string name;  // the output's name ("DUMMY1", "HDMI-1")
    Rect bounds;       // the CRTC's rectangle in root-window pixels
    bool isVirtual = false;
    bool isMonitor = false;  // a RandR monitor without a CRTC (output and crtc are 0)
};

// The outputs that show a picture now (a CRTC with a mode), in RandR order, then the virtual
// displays made as "PANELORA-" monitors that lie inside the screen.
std::vector<OutputPlacement> enabledOutputs(Display* display);

// The enabled output a DisplayID names, or nothing (unknown, disabled or released).
std::optional<OutputPlacement> findDisplay(Display* display, DisplayID id);

// The display's rectangle in root-window pixels, or nothing.
std::optional<Rect> displayBounds(Display* display, DisplayID id);

// The process-wide registry of virtual displays, maintained by the virtual display backend.
void registerVirtualDisplay(DisplayID id, RROutput output, RRMode mode);
void unregisterVirtualDisplay(DisplayID id);
// True when a live virtual display of this process runs `mode`.
bool isRegisteredMode(RRMode mode);

// A monitor display's ID: its name's atom, tagged so that it never equals an output's XID.
DisplayID monitorDisplayID(Atom name);
// Moves a monitor display so that its top-left corner is at root (x, y); false when refused.
using MonitorMover = std::function<bool(int rootX, int rootY)>;
void registerMonitorDisplay(DisplayID id, MonitorMover mover);
// The mover of a live monitor display of this process, or nothing.
std::shared_ptr<MonitorMover> monitorMover(DisplayID id);
bool isRegisteredDisplay(DisplayID id);

}  // namespace panelora::x11
