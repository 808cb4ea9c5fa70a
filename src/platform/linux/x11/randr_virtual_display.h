// The X11 virtual display: a spare RandR output (DUMMYn of the dummy driver, VIRTUALn of the
// modesetting and intel drivers) given a mode of the display's size, enabled to the right of the
// primary output, with the screen grown around it. Destroying the display disables the output,
// removes its mode and shrinks the screen back. An output once used keeps an output property
// that marks it as ours, so that it is found spare again although some drivers report it as
// connected from then on.
//
// Without a spare output (modesetting, amdgpu, nvidia…) the display is a RandR 1.5 monitor over an
// enlarged screen instead (randr_monitor_display.h); a spare output stays the first choice, as to
// the desktop it is a real display.
//
// Each display object opens its own X connection and guards it with its own mutex, so creation,
// applySettings and destruction may come from different threads. DisplayIDs are described in
// x11_display_registry.h.
#pragma once

#include <X11/Xlib.h>

#include <string>

#include "video/virtual_display.h"

namespace panelora {

class X11VirtualDisplayBackend final : public VirtualDisplayBackend {
  public:
    // How a display is made: a spare output when there is one, else a monitor (automatic), or
    // only one of the two.
    enum class Route { automatic, spareOutput, monitor };

    // `displayName` as XOpenDisplay takes it; empty: $DISPLAY. `scale`: device pixels per point
    // (X11 has no per-display HiDPI, so a display of W × H points is made W·s × H·s pixels);
    // 0: desktopScaleFactor() of the server at each creation.
    explicit X11VirtualDisplayBackend(std::string displayName = {}, int scale = 0,
                                      Route route = Route::automatic);

    // Also disables and deletes whatever a crashed earlier run left behind (outputs running a
    // "panelora-" mode, "PANELORA-" monitors, that no live display owns). Nothing, with one log
    // line, when the server cannot be reached, lacks RandR 1.2, or has no spare output and no
    // RandR 1.5.
    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override;

    // True when create() would find a way to show a display (a spare output, one of this
    // process's displays already having one, or RandR 1.5 for a monitor); else false, with `why`.
    bool available(std::string* why = nullptr) const;

  private:
    std::string displayName_;
    int scale_;
    Route route_;
};

}  // namespace panelora
