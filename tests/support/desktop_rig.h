// One Linux desktop to run a suite on: its platform, made on the shared private server
// (XorgServer::shared() for "x11", GnomeSession::shared() for "gnome", SwaySession::shared() for
// "sway"), and windows that cover a
// display there and record what reaches them. Used from the test's thread.
//
//   std::string why;
//   auto rig = DesktopRig::make("gnome", &why);
//   if (!rig) GTEST_SKIP() << why;
//   auto window = rig->openWindow(display->displayID(), 0xFF0000);
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/desktop/desktop_platform.h"
#include "wayland_canvas.h"

namespace panelora::test {

// A window over a whole display, in its own coordinates (the display's points).
class RigWindow {
  public:
    // A button or key as Linux input codes name it, and where the pointer was for a button.
    using Input = WaylandCanvas::Key;
    struct Scrolled {
        double vertical = 0, horizontal = 0;  // positive towards the end, in the desktop's steps
    };

    virtual ~RigWindow() = default;
    virtual void fill(uint32_t rgb) = 0;
    // The pointer over the window: a square of `side` of `rgb`, its hot spot top-left.
    virtual void setPointer(int side, uint32_t rgb) = 0;
    virtual std::pair<int, int> size() const = 0;
    virtual std::vector<Input> buttons() = 0;
    virtual std::vector<Input> keys() = 0;
    virtual Scrolled scrolled() = 0;
    virtual bool pointerInside() = 0;
};

class DesktopRig {
  public:
    // "x11_monitor": X11 on a server whose every output is in use (xorg_busy_outputs.h).
    static std::vector<std::string> names() { return {"x11", "x11_monitor", "gnome", "sway"}; }
    // Nothing, with `why` to skip with, when the desktop cannot run here; a platform that fails
    // on a running desktop fails the calling test.
    static std::unique_ptr<DesktopRig> make(const std::string& name, std::string* why);

    virtual ~DesktopRig() = default;
    virtual DesktopPlatform& platform() = 0;
    // Nothing (and a failure) when it could not be shown.
    virtual std::unique_ptr<RigWindow> openWindow(DisplayID display, uint32_t rgb) = 0;
    // Takes the pointer off `display` onto the main display.
    virtual void movePointerOff(DisplayID display) = 0;
    // GNOME's geometry counts a display in the stream's pixels, X11's in the display's points.
    virtual bool boundsInPixels() const = 0;
    // The pixels one step of RigWindow::scrolled() stands for.
    virtual double scrollStep() const = 0;
    // The keys the platform's poster holds down now, as Linux input codes.
    virtual std::set<uint32_t> heldKeys() const = 0;
};

}  // namespace panelora::test
