// GnomeEventPoster: the EventPoster backend on mutter's remote desktop (the session of the
// virtual monitor the events are for).
//
// Pointer: the global point goes to the display's virtual monitor, in that stream's coordinates,
// kept on the monitor's last pixel row and column, then the evdev button (BTN_LEFT, BTN_RIGHT).
// Mutter counts multi-clicks itself, so `clickState` is not used. A display that is not one of
// our virtual monitors gets nothing (mutter moves the pointer only through a stream).
//
// Scroll: smooth pixel scrolling (NotifyPointerAxis, finger source) with Wayland's signs: a
// positive vertical delta of the seam (content down) is a negative axis value. Nothing is carried
// from one call to the next, so resetState() has nothing to forget.
//
// Keys: the evdev code of the macOS key code (evdev_key_codes.h). Wayland clients repeat a held
// key themselves, so a repeat goes out as release and press, which restarts their own repeat delay.
// Before a press the modifiers this poster holds are brought to the event's flags (pressing the
// left Shift, Control, Alt or Super, or letting go of one it holds, and tapping Caps Lock when the
// lock it set differs) and put back after it. Everything held is released when the session
// changes and when the poster goes.
//
// Threads: postMouse/postScroll on one thread, postKey on another; the bookkeeping is guarded
// by a mutex that no D-Bus call runs under. The calls never wait for mutter.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "input/event_poster.h"
#include "platform/linux/gnome/gnome_display_geometry.h"
#include "platform/linux/gnome/virtual_monitor.h"

namespace panelora {

class GnomeEventPoster final : public EventPoster {
  public:
    GnomeEventPoster(std::shared_ptr<VirtualMonitors> monitors,
                     std::shared_ptr<GnomeDisplayGeometry> geometry);
    ~GnomeEventPoster() override;
    GnomeEventPoster(const GnomeEventPoster&) = delete;
    GnomeEventPoster& operator=(const GnomeEventPoster&) = delete;

    bool postMouse(MouseEventType type, DisplayID display, Point global, MouseButton button,
                   std::optional<int64_t> clickState) override;
    bool postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) override;
    void postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) override;
    void resetState() override {}

    // Releases every key and button this poster holds down (also done by the destructor).
    void releaseHeld();

    // evdev codes held now (tests).
    std::set<uint32_t> heldKeys() const;

  private:
    // The session events go to now; a new one forgets what the old one held.
    std::shared_ptr<MutterSession> currentSession();

    const std::shared_ptr<VirtualMonitors> monitors_;
    const std::shared_ptr<GnomeDisplayGeometry> geometry_;

    mutable std::mutex mutex_;
    std::weak_ptr<MutterSession> session_;  // guarded by mutex_
    std::set<uint32_t> heldKeys_;           // guarded by mutex_
    std::set<int32_t> heldButtons_;         // guarded by mutex_
    bool capsLocked_ = false;               // guarded by mutex_: the lock as this poster set it
};

}  // namespace panelora
