#include "platform/linux/gnome/gnome_platform.h"

#include "platform/linux/gnome/mutter_names.h"

#include <mutex>
#include <string_view>

namespace panelora {

std::unique_ptr<GnomePlatform> GnomePlatform::create(const Options& options, std::string* why) {
    auto bus = SessionBus::connect(options.busAddress, why);
    if (!bus) return nullptr;
    if (!bus->hasOwner(mutter::screenCastService)) {
        if (why) *why = "no GNOME screen cast (org.gnome.Mutter.ScreenCast) on the session bus";
        return nullptr;
    }
    auto geometry = GnomeDisplayGeometry::create(bus, why);
    if (!geometry) return nullptr;
    std::unique_ptr<GnomePlatform> platform(new GnomePlatform(options, bus, std::move(geometry)));
    platform->installed_.emplace(platform->seams().input);
    return platform;
}

GnomePlatform::GnomePlatform(const Options& options, std::shared_ptr<SessionBus> bus,
                             std::shared_ptr<GnomeDisplayGeometry> geometry)
    : bus_(std::move(bus)),
      geometry_(std::move(geometry)),
      monitors_(std::make_shared<VirtualMonitors>()),
      virtualDisplays_(bus_, geometry_, monitors_, options.pipewireRemote),
      capture_(monitors_),
      codecs_(options.encoders),
      poster_(std::make_shared<GnomeEventPoster>(monitors_, geometry_)),
      cursor_(std::make_shared<GnomeCursorSource>(monitors_, geometry_)) {
    // Mutter 43 sometimes stops recording a virtual stream when the monitors change under it;
    // resuming the stream attaches the recording again. Done after our own changes (a display
    // moved): pausing for every change would drop pointer motion and cursor images meanwhile.
    geometry_->setAppliedHandler([monitors = monitors_] {
        for (const auto& monitor : monitors->all())
            monitor->restartStream();
    });
}

GnomePlatform::~GnomePlatform() = default;

DesktopSeams GnomePlatform::seams() {
    return DesktopSeams{&virtualDisplays_, &capture_, &codecs_, {poster_, geometry_, cursor_}};
}

void GnomePlatform::setOnGone(std::function<void(std::string what)> handler) {
    auto once = std::make_shared<std::once_flag>();
    goneWatch_ = bus_->subscribe(
        "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
        [handler = std::move(handler), once](const glib::Variant& parameters) {
            const char *name = "", *before = "", *after = "";
            g_variant_get(parameters.get(), "(&s&s&s)", &name, &before, &after);
            if (std::string_view(name) == mutter::screenCastService && *after == '\0') {
                std::call_once(*once, handler, "GNOME's compositor");
            }
        });
}

bool GnomePlatform::captureAllowed(DesktopProblem& problem) {
    if (bus_->connected() && bus_->hasOwner(mutter::screenCastService)) {
        problem = {};
        return true;
    }
    problem = {"GNOME's screen cast has gone away", "mutter offers no screen cast any more",
               "Log in to GNOME on Wayland again, then restart Panelora."};
    return false;
}

bool GnomePlatform::inputAllowed(DesktopProblem& problem) {
    if (bus_->connected() && bus_->hasOwner(mutter::remoteDesktopService)) {
        problem = {};
        return true;
    }
    problem = {"", "mutter offers no remote desktop",
               "Use GNOME on Wayland with mutter's remote desktop (GNOME 3.28 or later)."};
    return false;
}

}  // namespace panelora
