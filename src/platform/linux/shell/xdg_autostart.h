// Launch at login on a freedesktop desktop: an autostart entry
// $XDG_CONFIG_HOME/autostart/app.panelora.Panelora.desktop (XDG_CONFIG_HOME defaulting to
// ~/.config) that runs this very program. The file is the registration: it is enabled while it
// exists and is not switched off (Hidden=true, or X-GNOME-Autostart-enabled=false, which the
// desktops' session settings write).
//
// Main queue only (the menu's toggle); every call goes to the disk.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/launch_at_login.h"

namespace panelora {

class XdgAutostart final : public LoginItemBackend {
  public:
    // `executable`: the program the entry starts; empty means it could not be found, and
    // registering then fails.
    XdgAutostart(std::filesystem::path directory, std::string executable);

    // The user's autostart folder and /proc/self/exe.
    static std::shared_ptr<XdgAutostart> forCurrentUser();

    const std::filesystem::path& entryPath() const { return entry_; }

    // Writes the entry atomically (a temporary file in the same folder, synced, renamed over),
    // creating the folder when needed.
    std::optional<std::string> registerApp() override;
    // Removes the entry; an entry that is not there is not a failure.
    std::optional<std::string> unregisterApp() override;
    Status status() override;

  private:
    std::filesystem::path directory_;
    std::filesystem::path entry_;
    std::string executable_;
};

// $XDG_CONFIG_HOME/autostart when XDG_CONFIG_HOME is an absolute path, else
// $HOME/.config/autostart; nothing without either.
std::optional<std::filesystem::path> autostartDirectory();

// The desktop entry that starts `executable`.
std::string autostartEntryText(const std::string& executable);

// `path` as one argument of a desktop entry's Exec key: quoted when it holds a reserved
// character, "%" doubled, then escaped as a string value.
std::string desktopExecArgument(const std::string& path);

}  // namespace panelora
