// GnomePlatform: the GNOME desktop, every backend of the process for GNOME on Wayland, made and
// installed together over one private session-bus connection (SessionBus) and the PipeWire daemon.
//
//   std::string why;
//   auto platform = GnomePlatform::create({}, &why);  // the environment's bus and PipeWire
//   if (!platform) { show why; }
//   auto session = Session::create(fd, platform->sessionEnvironment());
//
// It owns the display geometry, the list of live virtual monitors, the virtual display and
// capture backends, the libav codec factory, the event poster and the cursor source; creating it
// installs the input backends into the core (SeamInstallation), and destroying it uninstalls them
// again if they are still its own. Destroying it closes the
// bus connection, which ends whatever mutter sessions are left.
//
// Lifetime and threads as X11Platform's (x11/x11_platform.h): it must outlive every session made
// from its environment; only one platform should be installed at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/linux/desktop/desktop_platform.h"
#include "platform/linux/gnome/gnome_cursor_source.h"
#include "platform/linux/gnome/gnome_display_geometry.h"
#include "platform/linux/gnome/gnome_event_poster.h"
#include "platform/linux/gnome/gnome_screen_capture.h"
#include "platform/linux/gnome/gnome_virtual_display.h"

namespace panelora {

class GnomePlatform final : public DesktopPlatform {
  public:
    struct Options {
        std::string busAddress;      // empty: the session bus of the environment
        std::string pipewireRemote;  // the daemon's socket path; empty: the environment's
        LibavVideoCodecFactory::Encoders encoders = LibavVideoCodecFactory::Encoders::automatic;
    };

    // Nothing, with `why`, when no session bus answers or mutter offers no screen cast there.
    static std::unique_ptr<GnomePlatform> create(const Options& options,
                                                 std::string* why = nullptr);
    ~GnomePlatform() override;
    GnomePlatform(const GnomePlatform&) = delete;
    GnomePlatform& operator=(const GnomePlatform&) = delete;

    DesktopSeams seams() override;
    std::string description() const override { return "GNOME on Wayland"; }
    LibavVideoCodecFactory& codecs() override { return codecs_; }
    // Mutter still offers its screen cast (its remote desktop) on the bus.
    bool captureAllowed(DesktopProblem& problem) override;
    bool inputAllowed(DesktopProblem& problem) override;
    // Called once when mutter leaves the bus (its screen cast has no owner any more), with
    // "GNOME's compositor".
    void setOnGone(std::function<void(std::string what)> handler) override;

    const std::shared_ptr<SessionBus>& bus() const { return bus_; }
    const std::shared_ptr<GnomeDisplayGeometry>& geometry() const { return geometry_; }
    const std::shared_ptr<VirtualMonitors>& monitors() const { return monitors_; }
    GnomeVirtualDisplayBackend& virtualDisplays() { return virtualDisplays_; }
    GnomeCaptureBackend& capture() { return capture_; }
    const std::shared_ptr<GnomeEventPoster>& poster() const { return poster_; }
    const std::shared_ptr<GnomeCursorSource>& cursor() const { return cursor_; }

  private:
    GnomePlatform(const Options& options, std::shared_ptr<SessionBus> bus,
                  std::shared_ptr<GnomeDisplayGeometry> geometry);

    const std::shared_ptr<SessionBus> bus_;
    const std::shared_ptr<GnomeDisplayGeometry> geometry_;
    const std::shared_ptr<VirtualMonitors> monitors_;
    GnomeVirtualDisplayBackend virtualDisplays_;
    GnomeCaptureBackend capture_;
    LibavVideoCodecFactory codecs_;
    const std::shared_ptr<GnomeEventPoster> poster_;
    const std::shared_ptr<GnomeCursorSource> cursor_;
    std::unique_ptr<SessionBus::Subscription> goneWatch_;
    std::optional<SeamInstallation> installed_;  // last: uninstalled before the backends go
};

}  // namespace panelora
