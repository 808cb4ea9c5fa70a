// Helpers for the X11 input system tests: a test connection, windows that record input, bounded
// event waits, and spare RandR outputs enabled and removed the way xrandr does it.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace panelora::test {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay(const std::string& name);

// Waits up to `timeout` for an event matching `match`; other events are dropped.
std::optional<XEvent> waitForEvent(Display* d, const std::function<bool(const XEvent&)>& match,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(3));
// Every event that arrives within `quiet` of the previous one (bounded by `limit`).
std::vector<XEvent> drainEvents(Display* d,
                                std::chrono::milliseconds quiet = std::chrono::milliseconds(150),
                                std::chrono::milliseconds limit = std::chrono::seconds(2));

// An override-redirect top-level window at root (x, y), mapped, raised and focused, selecting
// button, motion and key events.
class TestWindow {
  public:
    TestWindow(Display* d, int x, int y, int width, int height);
    ~TestWindow();
    Window id() const { return window_; }

  private:
    Display* d_;
    Window window_;
};

struct CrtcPlacement {
    RRCrtc crtc = 0;
    int x = 0, y = 0, width = 0, height = 0;
};
// Where RandR shows the output now; nothing when it is disabled.
std::optional<CrtcPlacement> placementOf(Display* d, RROutput output);
RROutput outputNamed(Display* d, const std::string& name);
RROutput primaryOutput(Display* d);

// Moves an enabled output's CRTC to root (x, y) with raw RandR calls, growing the screen first
// when needed (as `xrandr --output … --pos` does).
bool moveOutputRaw(Display* d, RROutput output, int x, int y);

// Enables a spare output with a width × height mode at root (x, y); the destructor disables it
// and removes the mode.
class SpareOutput {
  public:
    static std::unique_ptr<SpareOutput> enable(Display* d, const std::string& outputName, int width,
                                               int height, int x, int y);
    ~SpareOutput();
    RROutput output() const { return output_; }

  private:
    SpareOutput() = default;
    Display* d_ = nullptr;
    RROutput output_ = 0;
    RRCrtc crtc_ = 0;
    RRMode mode_ = 0;
};

// Back to the server's starting state: only the primary output, at (0, 0), screen its size.
void resetScreen(Display* d);

}  // namespace panelora::test
