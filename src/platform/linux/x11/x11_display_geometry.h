// X11DisplayGeometry: the DisplayGeometry backend on RandR, and the translation between the core's
// global points and X root-window pixels that the other X11 input backends use.
//
// Coordinates. The core's global space has its origin at the main display's top-left corner;
// X11's root window has its origin at the screen's top-left and no negative coordinates. The main
// display is the primary output (XRRGetOutputPrimary), or, without one, the output at root (0, 0),
// or else the first enabled output. With P the main display's CRTC position and s the integer
// scale factor (device pixels per point, 1 unless the desktop scales):
//     root pixel = P + global point × s        global point = (root pixel − P) / s
// P is read again after every arrangement change, so global coordinates stay relative to the main
// display whatever RandR does with the root window.
//
// configureOrigin(display, x, y) moves that display's CRTC to P + (x, y) × s and keeps the others
// where they are; as root coordinates cannot be negative, the whole arrangement is then shifted
// so that the bounding box of all CRTCs starts at root (0, 0) (a display placed left of or above
// the main display pushes the main display right or down in the root window, which the global
// space does not see) and the screen is resized to that bounding box. All of it happens inside
// one server grab; a refused request puts the CRTCs and screen size back as they were.
//
// Display IDs: real outputs are named by their output XID, virtual displays by the ID the x11
// display registry gives them (x11_display_registry.h).
//
// Threads: bounds(), mainDisplayID() and the translations read a snapshot of the outputs under a
// mutex and make no X request, except when a display is not in the snapshot (a display created a
// moment ago), which refreshes it first. A watcher thread with its own connection listens for
// RandR notifications, refreshes the snapshot, and posts one callback per changed display to the
// main queue; it is joined by the destructor. configureOrigin() refreshes the snapshot itself
// before returning, so bounds() sees the move at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "display/display_geometry.h"
#include "display/reconfiguration_callbacks.h"
#include "platform/linux/x11/x11_connection_pool.h"
#include "support/geometry.h"

namespace panelora {

class X11DisplayGeometry final : public DisplayGeometry {
  public:
    // `scale`: device pixels per point, at least 1. Nothing when the display cannot be opened or
    // has no RandR 1.3; `why` then says so.
    static std::shared_ptr<X11DisplayGeometry> create(std::shared_ptr<X11ConnectionPool> pool,
                                                      int scale, std::string* why = nullptr);
    ~X11DisplayGeometry() override;

    Rect bounds(DisplayID display) const override;
    DisplayID mainDisplayID() const override;
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override;
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override;
    void removeReconfigurationCallback(CallbackToken token) override;

    // Called once, on the watcher thread, when its connection breaks: the X server has gone
    // away. Set it before the server can go (right after create()).
    void setOnServerGone(std::function<void()> handler);

    // Global points to the root-window pixel that contains the point.
    struct RootPixel {
        int x = 0;
        int y = 0;
    };
    // With `keepOn`, a known display, the pixel is clamped into that display's pixels: a point on
    // its right or bottom edge would otherwise belong to the neighbour.
    RootPixel toRoot(Point global, DisplayID keepOn = 0) const;
    Point toGlobal(int rootX, int rootY) const;
    int scale() const { return scale_; }

    // One enabled output as the snapshot holds it.
    struct Output {
        DisplayID id = 0;
        unsigned long output = 0;  // RROutput
        unsigned long crtc = 0;    // RRCrtc
        int x = 0, y = 0;          // root pixels
        int width = 0, height = 0;
    };
    struct Layout {
        std::vector<Output> outputs;
        DisplayID mainID = 0;
        int originX = 0, originY = 0;  // the main display's CRTC position in root pixels
        // The server's time of the last configuration change, read before the outputs: a reader
        // that was overtaken by a newer change must not publish its older picture.
        unsigned long stamp = 0;
    };
    // Reads the arrangement from the server now and makes it the snapshot.
    void refresh() const;

    // What a watcher pass reports for two snapshots: (display, flags), one per changed display.
    static std::vector<std::pair<DisplayID, uint32_t>> changes(const Layout& before,
                                                               const Layout& after, int scale);

  private:
    X11DisplayGeometry(std::shared_ptr<X11ConnectionPool> pool, int scale);
    std::optional<Layout> readLayout(Display* display) const;
    Layout snapshot() const;
    void publish(Layout layout) const;
    static Rect globalRect(const Layout& layout, const Output& output, int scale);
    bool moveMonitor(const std::function<bool(int, int)>& mover, DisplayID display, int32_t x,
                     int32_t y);
    bool startWatcher(std::string* why);
    void watch(Layout initial);

    const std::shared_ptr<X11ConnectionPool> pool_;
    const int scale_;

    mutable std::mutex layoutMutex_;
    mutable Layout layout_;           // guarded by layoutMutex_
    mutable bool published_ = false;  // guarded by layoutMutex_

    ReconfigurationCallbacks callbacks_;
    mutable std::mutex goneMutex_;
    std::function<void()> onServerGone_;  // guarded by goneMutex_

    std::unique_ptr<X11Connection> watcherConnection_;  // used only by watcherThread_
    int randrEventBase_ = 0;
    int wakeFd_ = -1;  // eventfd that ends the watcher
    std::thread watcherThread_;
};

}  // namespace panelora
