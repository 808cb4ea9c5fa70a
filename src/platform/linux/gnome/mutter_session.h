// MutterSession: one remote-desktop session of mutter, its linked screen-cast session and one
// virtual-monitor stream in it, on the platform's bus connection.
//
//   auto session = MutterSession::start(bus, &why);  // blocks until mutter names the node
//   connect a PipeWire consumer to session->nodeId() (pipewire_stream.h): the monitor appears
//   session->pointerMotionAbsolute(x, y); …; session->stop();   // the monitor goes away
//
// The stream records in metadata cursor mode: frames carry no pointer, and every buffer says
// where the pointer is and, when it changed, what it looks like.
//
// Threads: the notify calls are safe from any thread and do not wait for mutter (the messages of
// one thread stay in order). stop() is idempotent and safe from any thread. The closed handler
// runs once, on the bus thread, when mutter ends the session by itself (at once when it already
// has); never after stop() has returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/dbus/session_bus.h"

namespace panelora {

class MutterSession : public std::enable_shared_from_this<MutterSession> {
  public:
    // evdev button codes (linux/input-event-codes.h).
    static constexpr int32_t buttonLeft = 0x110;
    static constexpr int32_t buttonRight = 0x111;
    // Scroll sources of NotifyPointerAxis.
    static constexpr uint32_t axisSourceFinger = 4;

    static std::shared_ptr<MutterSession> start(std::shared_ptr<SessionBus> bus, std::string* why);
    ~MutterSession();
    MutterSession(const MutterSession&) = delete;
    MutterSession& operator=(const MutterSession&) = delete;

    uint32_t nodeId() const { return nodeId_; }
    const std::string& streamPath() const { return streamPath_; }

    // Absolute pointer position in the stream's coordinates (the monitor's layout units from its
    // top-left corner); mutter keeps the pointer on the monitor.
    void pointerMotionAbsolute(double x, double y);
    // Relative motion in layout units; it can take the pointer off the monitor.
    void pointerMotionRelative(double dx, double dy);
    void pointerButton(int32_t evdevButton, bool pressed);
    // Smooth scrolling in pixels, Wayland's signs (positive dy scrolls towards the end).
    void pointerAxis(double dx, double dy, uint32_t flags = axisSourceFinger);
    void keyboardKeycode(uint32_t evdevKey, bool pressed);

    void setClosedHandler(std::function<void()> handler);
    void stop();
    bool stopped() const { return stopped_.load(); }

  private:
    explicit MutterSession(std::shared_ptr<SessionBus> bus);
    void notify(const char* method, GVariant* arguments);

    const std::shared_ptr<SessionBus> bus_;
    std::string remoteDesktopPath_;
    std::string screenCastPath_;
    std::string streamPath_;
    uint32_t nodeId_ = 0;
    std::atomic<bool> stopped_{false};

    std::mutex mutex_;
    std::function<void()> onClosed_;                         // guarded by mutex_
    bool closed_ = false;                                    // guarded by mutex_
    std::unique_ptr<SessionBus::Subscription> closedWatch_;  // guarded by mutex_
};

}  // namespace panelora
