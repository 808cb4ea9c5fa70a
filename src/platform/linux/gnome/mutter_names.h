// Mutter's D-Bus names: services, objects and interfaces of the screen cast, the remote desktop
// and the display configuration.
#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/dbus/session_bus.h"

namespace panelora::mutter {

inline constexpr const char* screenCastService = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* screenCastSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* screenCastStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
inline constexpr const char* remoteDesktopService = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* remoteDesktopSessionInterface =
    "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr const char* displayConfigService = "org.gnome.Mutter.DisplayConfig";

// RecordVirtual's "cursor-mode": 0 hidden, 1 embedded, 2 metadata.
inline constexpr uint32_t cursorModeMetadata = 2;

inline SessionBus::Target screenCast() {
    return {screenCastService, "/org/gnome/Mutter/ScreenCast", screenCastService};
}
inline SessionBus::Target screenCastSession(const std::string& path) {
    return {screenCastService, path, screenCastSessionInterface};
}
inline SessionBus::Target remoteDesktop() {
    return {remoteDesktopService, "/org/gnome/Mutter/RemoteDesktop", remoteDesktopService};
}
inline SessionBus::Target remoteDesktopSession(const std::string& path) {
    return {remoteDesktopService, path, remoteDesktopSessionInterface};
}
inline SessionBus::Target displayConfig() {
    return {displayConfigService, "/org/gnome/Mutter/DisplayConfig", displayConfigService};
}

}  // namespace panelora::mutter
