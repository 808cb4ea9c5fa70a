// WaylandLink: one client connection to the compositor with the globals the sway backends use:
// wl_shm, the first wl_seat, the outputs by name (wl_output 4), the screen copy manager, the
// virtual pointer and keyboard managers, and wl_compositor with the idle inhibit manager.
//
// Threads: either one thread runs everything (the capture: dispatchUntil() on its own thread),
// or startEventThread() dispatches on a thread of the link and other threads only send requests
// (the poster). output() reads the outputs under a mutex.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_seat;
struct wl_output;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct wl_compositor;
struct zwp_idle_inhibit_manager_v1;

namespace panelora {

class WaylandLink {
  public:
    // `display` as WAYLAND_DISPLAY takes it (a name in $XDG_RUNTIME_DIR or a path); empty: the
    // environment's. Nothing, with `why`, when the compositor cannot be reached.
    static std::unique_ptr<WaylandLink> connect(const std::string& display, std::string* why);
    ~WaylandLink();
    WaylandLink(const WaylandLink&) = delete;
    WaylandLink& operator=(const WaylandLink&) = delete;

    wl_display* display() const { return display_; }
    wl_shm* shm() const { return shm_; }
    wl_seat* seat() const { return seat_; }
    zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
    uint32_t screencopyVersion() const { return screencopyVersion_; }
    zwlr_virtual_pointer_manager_v1* pointers() const { return pointers_; }
    uint32_t pointersVersion() const { return pointersVersion_; }
    zwp_virtual_keyboard_manager_v1* keyboards() const { return keyboards_; }
    wl_compositor* compositor() const { return compositor_; }
    zwp_idle_inhibit_manager_v1* idleInhibitors() const { return idleInhibitors_; }

    // The output called `name` (sway's "HEADLESS-2"); null when there is none (yet).
    wl_output* output(const std::string& name) const;

    // Dispatches events until `done()` is true (true), or the connection broke or `stopFd`
    // became readable (false). On the one thread that uses this link.
    bool dispatchUntil(const std::function<bool()>& done, int stopFd);
    // Dispatches on a thread of its own until the link goes; sends from other threads are fine.
    void startEventThread();
    // Sends what was queued; false when the connection broke.
    bool flush();

    struct Output {
        uint32_t global = 0;
        wl_output* output = nullptr;
        std::string name;
        bool named = false;
    };
    struct Listeners;

  private:
    WaylandLink() = default;

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwlr_screencopy_manager_v1* screencopy_ = nullptr;
    uint32_t screencopyVersion_ = 0;
    zwlr_virtual_pointer_manager_v1* pointers_ = nullptr;
    uint32_t pointersVersion_ = 0;
    zwp_virtual_keyboard_manager_v1* keyboards_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    zwp_idle_inhibit_manager_v1* idleInhibitors_ = nullptr;

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Output>> outputs_;  // guarded by mutex_ (added on the dispatcher)

    int stopFd_ = -1;  // the event thread's
    std::thread events_;
};

}  // namespace panelora
