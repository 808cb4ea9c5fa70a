// The table of the Linux desktops this build has, in the order an automatic choice tries them:
// GNOME on Wayland first (an X server there is Xwayland, whose screen is not the desktop's), then
// sway (where $SWAYSOCK is set), then X11. A desktop is a folder of its own (x11/, gnome/, sway/)
// and one entry here, left out of the build by its CMake option (PANELORA_WITH_X11,
// PANELORA_WITH_GNOME, PANELORA_WITH_SWAY).
//
// The entries are made once and never change: safe to read from any thread. create() runs on the
// caller's thread (the main queue, through LinuxDesktop) and blocks while it probes.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/linux/codec/libav_video_codec.h"
#include "platform/linux/desktop/desktop_platform.h"

namespace panelora {

// What --desktop takes to try every desktop of the table in order.
inline constexpr std::string_view automaticDesktop = "auto";

// What each desktop is made with, a part per desktop; a desktop not in this build ignores its part.
struct DesktopOptions {
    struct X11 {
        std::string display;  // as XOpenDisplay takes it; empty: $DISPLAY
    } x11;
    struct Gnome {
        std::string busAddress;      // empty: the session bus of the environment
        std::string pipewireRemote;  // the daemon's socket path; empty: the environment's
    } gnome;
    struct Sway {
        std::string ipcSocket;       // empty: $SWAYSOCK
        std::string waylandDisplay;  // as WAYLAND_DISPLAY takes it; empty: the environment's
    } sway;
    LibavVideoCodecFactory::Encoders encoders = LibavVideoCodecFactory::Encoders::automatic;
};

struct Desktop {
    std::string_view name;  // what --desktop takes
    // Whether an automatic choice tries it here, without probing anything (empty: always); when
    // not, `notHere` is what is missing.
    std::function<bool()> applies;
    std::string_view notHere;
    // Probes the desktop and makes its platform (which installs its seams); else nothing, with
    // `why` saying in the user's words what is not there (the detail goes to the log).
    std::function<std::unique_ptr<DesktopPlatform>(const DesktopOptions& options, std::string* why)>
        create;
    // What the user can do about it, lower case, to be joined with the others' by ", or ".
    std::string_view remedy;
};

// This build's desktops, in the order an automatic choice tries them.
std::span<const Desktop> desktops();

// The entry called `name` in `table`; null when there is none.
const Desktop* findDesktop(std::string_view name, std::span<const Desktop> table = desktops());

// What --desktop takes in this build, for the help and the errors: "auto, gnome, x11".
std::string desktopChoices(std::span<const Desktop> table = desktops());

// True when this is a Wayland session ($WAYLAND_DISPLAY set, or $XDG_SESSION_TYPE "wayland").
bool waylandSession();

}  // namespace panelora
