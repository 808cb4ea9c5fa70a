// The X11 virtual display: a spare RandR output (DUMMYn of the dummy driver, VIRTUALn of the
// modesetting and intel drivers) given a mode of the display's size, enabled to the right of the
// primary output, with the screen grown around it. Destroying the display disables the output,
// removes its mode and shrinks the screen back. An output once used keeps an output property
// that marks it as ours, so that it is found spare again although some drivers report it as
// connected from then on.
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
    // `displayName` as XOpenDisplay takes it; empty: $DISPLAY. `scale`: device pixels per point
    // (X11 has no per-display HiDPI, so a display of W × H points is made W·s × H·s pixels);
    // 0: desktopScaleFactor() of the server at each creation.
    explicit X11VirtualDisplayBackend(std::string displayName = {}, int scale = 0);

    // Also disables and deletes whatever a crashed earlier run left behind (outputs running a
    // "panelora-" mode that no display of this process owns). Nothing, with one log line, when
    // the server cannot be reached, lacks RandR 1.2 or has no spare output.
    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override;

    // True when create() would find an output to show a display on (or one of this process's
    // displays already has one); else false, with `why`.
    bool spareOutputAvailable(std::string* why = nullptr) const;

  private:
    std::string displayName_;
    int scale_;
};

}  // namespace panelora
