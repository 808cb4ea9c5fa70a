// Helpers of the X11 system tests: a test's own X connection, RandR state and drawing.
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
#include "frame_sink.h"
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

}  // namespace panelora::test
