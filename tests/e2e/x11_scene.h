// X11 content for end-to-end tests and benchmarks, on connections of their own: a test window
// that shows a known pattern and records the input it receives, an animator that keeps a
// display changing at a set rate at little CPU cost, and what RandR shows of this program's
// virtual displays.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/geometry.h"

namespace panelora::e2e {

// An XOpenDisplay connection; closed by the destructor.
struct XDisplayCloser {
    void operator()(Display* d) const {
        if (d) XCloseDisplay(d);
    }
};
using XDisplayPtr = std::unique_ptr<Display, XDisplayCloser>;
XDisplayPtr openDisplay(const std::string& name);

// The root-window rectangle of a display of this process, or nothing.
std::optional<Rect> rootBounds(Display* display, DisplayID id);

// What RandR shows of virtual displays: enabled outputs running a "panelora-" mode, and modes of
// that name that exist at all.
struct VirtualDisplayTraces {
    int outputs = 0;
    int modes = 0;
    std::vector<std::string> modeNames;  // "panelora-…" with their size
};
VirtualDisplayTraces virtualDisplayTraces(Display* display);

// A window without decorations (override-redirect) covering `rect` of the root window, filled
// with four solid quadrants: top-left red, top-right green, bottom-left blue, bottom-right white.
class PatternWindow {
  public:
    static constexpr uint32_t kQuadrantColours[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

    static std::unique_ptr<PatternWindow> create(const std::string& displayName, Rect rect);
    ~PatternWindow();

    Window window() const { return window_; }
    Display* display() const { return display_.get(); }
    // Gives the window the keyboard focus.
    void focus();

    // Waits for the next event of `type` on the window (ButtonPress, KeyPress, …).
    std::optional<XEvent> waitForEvent(int type, std::chrono::milliseconds timeout);

  private:
    PatternWindow() = default;
    void paint();

    XDisplayPtr display_;
    Window window_ = 0;
    Rect rect_;
};

// Keeps `rect` of the root window changing: `frames` pictures are rendered once into server-side
// pixmaps, then a thread copies them onto a window in turn at `fps` (XCopyArea, no pixels cross
// the connection). Stops and frees everything in the destructor.
class Animator {
  public:
    enum class Content {
        noise,  // random pixels: every frame costs the encoder the most bits
        scene,  // gradients, moving bars and a small noisy patch: a busy desktop
    };
    static std::unique_ptr<Animator> start(const std::string& displayName, Rect rect, int fps,
                                           Content content, int frames = 16);
    ~Animator();

    uint64_t framesShown() const { return shown_.load(); }
    // Pictures shown per second since the animation started.
    double framesPerSecond() const;

  private:
    Animator() = default;
    void run();

    XDisplayPtr display_;
    Window window_ = 0;
    GC gc_ = nullptr;
    std::vector<Pixmap> pixmaps_;
    Rect rect_;
    int fps_ = 60;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> shown_{0};
    std::chrono::steady_clock::time_point startedAt_;
    std::thread thread_;
};

}  // namespace panelora::e2e
