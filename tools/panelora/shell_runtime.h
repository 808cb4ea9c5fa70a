// The toolkit-free half of the program: the single-instance hand-over, the desktop's platform, the
// Controller and its environment, the stop signals and the one quit path. main.cpp adds the Qt
// tray (X11 and Qt headers do not mix in one file, so this half keeps the X11 ones).
//
// Main queue only, except create() and finish(), which run on the main thread before and after
// its loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/controller.h"
#include "app/permissions.h"
#include "support/serial_queue.h"

namespace panelora {

// True when an X display can be opened at $DISPLAY.
bool displayReachable();

class ShellRuntime {
  public:
    // Asks a running copy to quit and takes its place (a failure is told on standard error and
    // the program goes on), chooses the desktop (`desktopName`: "auto" for GNOME on Wayland, else
    // the X11 server at `display`, empty: $DISPLAY; or the one desktop it names) and makes the
    // Controller on `mainQueue`, and starts taking quit requests and stop signals. `stopLoop`
    // ends the main loop; it is called on the main queue once quitting is done.
    static std::unique_ptr<ShellRuntime> create(const std::string& display,
                                                const std::string& desktopName,
                                                std::shared_ptr<SerialQueue> mainQueue,
                                                std::function<void()> stopLoop);
    ~ShellRuntime();

    const std::shared_ptr<Controller>& controller() const;
    // The desktop chooser, which is the permissions backend too (linux_desktop.h).
    std::shared_ptr<PermissionsBackend> permissions() const;

    // Prints the status lines on standard output (headless mode).
    void printStatusLines();

    // Ends the session and the watch loop, waits (on the main queue, at most a few seconds) for
    // both to be over, then ends the main loop. Later calls do nothing.
    void quit();

    // After the loop: stops the signal watcher, removes the platform's backends and, last, gives
    // up the single-instance name. The exit status: 0 when quitting finished in time.
    int finish();

    struct State;

  private:
    explicit ShellRuntime(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace panelora
