// Helpers of the X11 system tests: a test's own X connection, RandR state, drawing, and a sink
// that collects captured frames.
#pragma once

#include <gtest/gtest.h>  // before X11: Xlib defines None, Bool and Status as macros

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/geometry.h"
#include "video/image_buffer.h"
#include "video/screen_capturer.h"
#include "xorg_server.h"

namespace panelora::test {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// The shared server, or a skip of the calling test.
#define PANELORA_REQUIRE_XORG(server)                                              \
    ::panelora::test::XorgServer* server = ::panelora::test::XorgServer::shared(); \
    if (!server) GTEST_SKIP() << ::panelora::test::XorgServer::sharedSkipReason()

inline DisplayPtr openDisplay(const XorgServer& server) {
    return DisplayPtr(XOpenDisplay(server.displayName().c_str()));
}

struct ScreenSize {
    int width = 0, height = 0;
    bool operator==(const ScreenSize&) const = default;
};

inline ScreenSize screenSize(Display* d) {
    Window root;
    int x, y;
    unsigned w = 0, h = 0, border, depth;
    XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &w, &h, &border, &depth);
    return {static_cast<int>(w), static_cast<int>(h)};
}

// Names of every RandR mode on the server.
inline std::vector<std::string> modeNames(Display* d) {
    std::vector<std::string> names;
    XRRScreenResources* r = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    for (int i = 0; i < r->nmode; ++i)
        names.emplace_back(r->modes[i].name, r->modes[i].nameLength);
    XRRFreeScreenResources(r);
    return names;
}

inline bool hasModeWithPrefix(Display* d, const std::string& prefix) {
    for (const auto& name : modeNames(d)) {
        if (name.starts_with(prefix)) return true;
    }
    return false;
}

// Fills a rectangle of the root window with an RGB colour (24-bit TrueColor).
inline void fillRoot(Display* d, int x, int y, int w, int h, uint32_t rgb) {
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, rgb);
    XSetSubwindowMode(d, gc, IncludeInferiors);
    XFillRectangle(d, DefaultRootWindow(d), gc, x, y, static_cast<unsigned>(w),
                   static_cast<unsigned>(h));
    XFreeGC(d, gc);
    XSync(d, False);
}

// Collects the frames a capture delivers.
class FrameSink {
  public:
    void add(const CaptureSample& sample) {
        std::lock_guard lock(mutex_);
        samples_.push_back(sample);
        changed_.notify_all();
    }
    // Waits until at least `count` samples arrived; false on timeout.
    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return samples_.size() >= count; });
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }
    CaptureSample at(size_t i) {
        std::lock_guard lock(mutex_);
        return samples_.at(i);
    }
    CaptureSample last() {
        std::lock_guard lock(mutex_);
        return samples_.back();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CaptureSample> samples_;
};

struct Yuv {
    int y, u, v;
};

inline Yuv nv12At(const ImageBuffer& image, int x, int y) {
    const uint8_t* luma = image.planeData(0) + static_cast<size_t>(y) * image.planeStride(0) + x;
    const uint8_t* chroma = image.planeData(1) + static_cast<size_t>(y / 2) * image.planeStride(1) +
                            static_cast<size_t>(x / 2) * 2;
    return {luma[0], chroma[0], chroma[1]};
}

}  // namespace panelora::test
