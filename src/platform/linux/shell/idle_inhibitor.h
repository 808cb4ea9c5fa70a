// The process activity of a streaming session on Linux: while it is held, the desktop neither
// blanks the screen nor locks itself for idleness (the user works on the tablet, which the
// desktop does not count as activity).
//
// It asks the desktop over the session D-Bus: org.freedesktop.ScreenSaver.Inhibit (GNOME, KDE,
// Xfce, Cinnamon, MATE…), else org.gnome.SessionManager.Inhibit with the idle flag. Without
// either, on an X server it suspends the X screen saver (and DPMS) for as long as its own
// connection lives. Each inhibition ends when its token is destroyed; the desktop also ends it
// when our bus connection or X connection closes, so a crash leaves nothing behind.
//
// begin() blocks for the calls (at most a couple of seconds against a hung service) and runs on
// the session's start thread; a token may be destroyed on any thread.
#pragma once

#include <memory>
#include <string>

#include "session/session_environment.h"

namespace panelora {

class IdleInhibitor final : public ProcessActivity {
  public:
    // `displayName` for the X fallback (empty: $DISPLAY; none when there is no X server).
    explicit IdleInhibitor(std::string displayName);

    std::shared_ptr<void> begin(const char* reason) override;

    // The application name given to the desktop.
    static constexpr const char* applicationName = "Panelora";

  private:
    const std::string displayName_;
};

}  // namespace panelora
