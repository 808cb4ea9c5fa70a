// The GNOME virtual display: a virtual monitor of mutter, made through a screen-cast session
// (RecordVirtual) whose PipeWire consumer fixes its size at the stream's encoded size, with the
// scale that makes it look like the profile's point size where mutter has that scale (else the
// nearest one it has, which the log names). Mutter places it right of the primary monitor.
// Destroying the display stops the stream and the session, and mutter removes the monitor.
//
// create() only checks that mutter offers screen casts; applySettings() makes the monitor and
// blocks until mutter shows it (a few seconds at most). Creation, applySettings and destruction
// may come from different threads, one at a time.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/dbus/session_bus.h"
#include "platform/linux/gnome/gnome_display_geometry.h"
#include "platform/linux/gnome/virtual_monitor.h"
#include "video/virtual_display.h"

namespace panelora {

class GnomeVirtualDisplayBackend final : public VirtualDisplayBackend {
  public:
    // `pipewireRemote`: the PipeWire daemon's socket path; empty: the environment's default.
    GnomeVirtualDisplayBackend(std::shared_ptr<SessionBus> bus,
                               std::shared_ptr<GnomeDisplayGeometry> geometry,
                               std::shared_ptr<VirtualMonitors> monitors,
                               std::string pipewireRemote);

    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override;

  private:
    const std::shared_ptr<SessionBus> bus_;
    const std::shared_ptr<GnomeDisplayGeometry> geometry_;
    const std::shared_ptr<VirtualMonitors> monitors_;
    const std::string pipewireRemote_;
};

// The scale to give a monitor of `pixelWidth` device pixels that should look `pointWidth` wide:
// the supported scale nearest to their ratio.
double scaleForLooksLike(int pixelWidth, int pointWidth, const std::vector<double>& supported);

}  // namespace panelora
