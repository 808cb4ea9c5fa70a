// Ordinary use of a desktop on a rectangle of the root window, for benchmarks: text typed into
// an editor with its caret blinking, and a list beside it that scrolls for one second in four.
// Each change is a small server-side drawing (text, fills, a copy of the list onto itself), so
// that a frame differs from the last in a few rows, as on a real desktop. Has a connection and
// a thread of its own; stops and frees everything in the destructor.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/geometry.h"
#include "x11_helpers.h"

namespace panelora::bench {

class DesktopActivity {
  public:
    // Changes are drawn on ticks at `fps`; a tick with nothing to change draws nothing.
    static std::unique_ptr<DesktopActivity> start(const std::string& displayName, Rect rect,
                                                  int fps);
    ~DesktopActivity();

    // Ticks that changed the picture, per second since the start.
    double framesPerSecond() const;

  private:
    DesktopActivity() = default;
    void run();
    bool type(int tick);
    bool blink(int tick);
    bool scroll(int tick);

    test::DisplayPtr display_;
    Window window_ = 0;
    GC gc_ = nullptr;
    Rect rect_;
    int fps_ = 60;
    // The editor (left two thirds) and the list (right third), in window coordinates.
    Rect editor_, list_;
    int caretX_ = 0, caretY_ = 0, typed_ = 0, scrolled_ = 0;
    bool caretShown_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> changes_{0};
    std::chrono::steady_clock::time_point startedAt_;
    std::thread thread_;
};

}  // namespace panelora::bench
