// The permissions seam on Linux/X11. There is no privacy prompt: capturing is possible when the X
// server can be reached and its root window read (not so on a Wayland session without X access),
// and injecting input when the server has the XTEST extension. The settings shortcuts open the
// desktop's own settings program, when one is installed. The texts say in Linux words what the
// last probes found missing (linuxPermissionTexts).
//
// Main queue only (the Controller's probes and the menu's shortcuts).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/permissions.h"

namespace panelora {

class X11Connection;

// Something the desktop lacks, in Linux words: the status line while nothing can stream (capture
// only), what is missing and what to do about it, one line each. All empty: nothing is missing.
struct DesktopProblem {
    std::string status;
    std::string missing;
    std::string remedy;
};

namespace LinuxTexts {
inline constexpr const char* needsDesktop =
    "Panelora needs GNOME on Wayland, sway, or an X11 desktop with RandR 1.5";
inline constexpr const char* settingsButton = "Open Settings\u2026";
}  // namespace LinuxTexts

// The status and the menu's advice for what capture and input lack.
PermissionTexts linuxPermissionTexts(const DesktopProblem& capture, const DesktopProblem& input);

class LinuxPermissions final : public PermissionsBackend {
  public:
    struct Options {
        std::string displayName;  // as XOpenDisplay takes it; empty: $DISPLAY
        // Finds a program on PATH (findOnPath) and starts a command detached (spawnDetached);
        // tests replace them.
        std::function<std::optional<std::string>(std::string_view program)> find;
        std::function<bool(const std::vector<std::string>& argv)> spawn;
        // The desktop's names, most preferred first ($XDG_CURRENT_DESKTOP split at ':').
        std::vector<std::string> desktops;
    };

    explicit LinuxPermissions(Options options);
    ~LinuxPermissions() override;

    // A 1×1 read of the root window succeeds.
    bool screenRecordingPreflight() override;
    // XTEST is present. There is nothing to prompt for.
    bool accessibilityTrusted(bool prompt) override;
    // No system request on Linux.
    void requestScreenRecording() override {}
    // Runs settingsCommand(url, …) detached; does nothing, quietly, without one.
    void openURL(const std::string& url) override;
    // What the last probes found missing.
    PermissionTexts texts() override;
    const DesktopProblem& captureProblem() const { return captureProblem_; }
    const DesktopProblem& inputProblem() const { return inputProblem_; }

  private:
    X11Connection* connection();

    std::string displayText() const;

    Options options_;
    std::unique_ptr<X11Connection> connection_;
    DesktopProblem captureProblem_;
    DesktopProblem inputProblem_;
};

// The desktops of $XDG_CURRENT_DESKTOP, in order.
std::vector<std::string> currentDesktops();

// The settings program for a settings address (Permissions::settingsAddress): the display
// settings for the Displays pane, the desktop's settings for the two privacy panes (X11 has no
// per-application privacy switches). Programs of the running desktop come first, then the others
// in a fixed order; the first one `find` locates wins, with its absolute path as argv[0].
// Nothing for other addresses or when none is installed.
std::optional<std::vector<std::string>> settingsCommand(
    std::string_view address, const std::vector<std::string>& desktops,
    const std::function<std::optional<std::string>(std::string_view)>& find);

}  // namespace panelora
