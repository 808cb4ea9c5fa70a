#include "platform/linux/desktop/desktops.h"

#include <cstdlib>
#include <vector>

#include "support/log.h"

#if PANELORA_WITH_GNOME
#include "platform/linux/gnome/gnome_platform.h"
#endif
#if PANELORA_WITH_X11
#include "platform/linux/x11/x11_platform.h"
#endif
#if PANELORA_WITH_SWAY
#include "platform/linux/sway/sway_platform.h"
#endif

namespace panelora {
namespace {

[[maybe_unused]] auto logger() {
    return log::get("app");
}

#if PANELORA_WITH_GNOME
std::unique_ptr<DesktopPlatform> createGnome(const DesktopOptions& options, std::string* missing) {
    GnomePlatform::Options gnome{options.gnome.busAddress, options.gnome.pipewireRemote,
                                 options.encoders};
    std::string why;
    if (auto platform = GnomePlatform::create(gnome, &why)) return platform;
    if (missing) *missing = "this Wayland desktop offers no GNOME screen cast";
    logger()->info("{}", "the GNOME backend is not available: " + why);
    return nullptr;
}
#endif

#if PANELORA_WITH_SWAY
std::unique_ptr<DesktopPlatform> createSway(const DesktopOptions& options, std::string* missing) {
    SwayPlatform::Options sway;
    sway.ipcSocket = options.sway.ipcSocket;
    sway.waylandDisplay = options.sway.waylandDisplay;
    sway.encoders = options.encoders;
    std::string why;
    if (auto platform = SwayPlatform::create(sway, &why)) return platform;
    if (missing) {
        *missing = SwayIpc::connect(sway.ipcSocket, nullptr)
                       ? "this sway offers no screen copy or virtual input"
                       : "no sway answers on its IPC socket";
    }
    logger()->info("{}", "the sway backend is not available: " + why);
    return nullptr;
}
#endif

#if PANELORA_WITH_X11
std::unique_ptr<DesktopPlatform> createX11(const DesktopOptions& options, std::string* missing) {
    const std::string display = x11DisplayText(options.x11.display);
    X11Platform::Options x11;
    x11.displayName = options.x11.display;
    x11.encoders = options.encoders;
    std::string why;
    if (auto platform = X11Platform::create(x11, &why)) {
        if (platform->virtualDisplays().available(&why)) return platform;
        if (missing) {
            *missing = "the X server at " + display +
                       " cannot add a display (no spare output and no RandR 1.5)";
        }
    } else {
        if (missing) *missing = "no usable X server at " + display;
    }
    logger()->info("{}", "the X11 backend is not available: " + why);
    return nullptr;
}
#endif

std::vector<Desktop> makeTable() {
    std::vector<Desktop> table;
#if PANELORA_WITH_GNOME
    table.push_back(Desktop{.name = "gnome",
                            .applies = waylandSession,
                            .notHere = "no GNOME on Wayland",
                            .create = createGnome,
                            .remedy = "log in to GNOME on Wayland"});
#endif
#if PANELORA_WITH_SWAY
    table.push_back(Desktop{.name = "sway",
                            .applies = swaySession,
                            .notHere = "no sway",
                            .create = createSway,
                            .remedy = "log in to sway"});
#endif
#if PANELORA_WITH_X11
    table.push_back(Desktop{.name = "x11",
                            .applies = {},  // always tried: the probe is the server itself
                            .notHere = {},
                            .create = createX11,
                            .remedy = "run Xorg 1.18 or later (RandR 1.5)"});
#endif
    return table;
}

}  // namespace

bool waylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display && *display) || (type && std::string_view(type) == "wayland");
}

std::span<const Desktop> desktops() {
    static const std::vector<Desktop> table = makeTable();
    return table;
}

const Desktop* findDesktop(std::string_view name, std::span<const Desktop> table) {
    for (const Desktop& desktop : table) {
        if (desktop.name == name) return &desktop;
    }
    return nullptr;
}

std::string desktopChoices(std::span<const Desktop> table) {
    std::string choices(automaticDesktop);
    for (const Desktop& desktop : table) {
        choices += ", ";
        choices += desktop.name;
    }
    return choices;
}

}  // namespace panelora
