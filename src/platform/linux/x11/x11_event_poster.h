// X11EventPoster: the EventPoster backend on XTest.
//
// Pointer: an XTest motion to the root pixel of the global point (X11DisplayGeometry::toRoot),
// kept within the touched display's pixels, then the button (1 left, 3 right). X has no click-state
// field: toolkits count double clicks from the timing and distance of the presses themselves, so
// `clickState` is accepted and not used.
//
// Scroll: X wheels are buttons that click (4 up, 5 down, 6 left, 7 right). The pixel deltas are
// summed per axis and every `pixelsPerClick` pixels become one click; the rest is carried to the
// next call. 40 pixels: toolkits scroll about three lines, some 40 to 60 pixels, per click, so a
// swipe on the tablet moves the content about as far as the finger went; fewer pixels per click
// makes slow swipes jumpy. Signs follow the Mac: a positive vertical delta scrolls the content
// down (towards the top of the document), which is what X's button 4 ("wheel up") does; a
// positive horizontal delta moves the content right (towards the left edge), X's button 6.
//
// Keys: the macOS key code becomes the X keycode of the key with the same XKB name in the
// server's keymap, or evdev code + 8 when the keymap has no such name (evdev_key_codes.h). Before a
// press the server's modifier state (XkbGetState) is brought to the event's flags by pressing the
// left Shift, Control, Alt (Option) or Super (Command) key, or by releasing a modifier key that
// this poster holds, and by tapping Caps Lock when the lock differs; after the press the changed
// modifiers are put back. Releases are sent as they are.
// A repeat is sent as a release and a press of the held key: the server drops a second press of a
// key that the XTest device holds (no matter what its auto-repeat settings say), and a release
// directly followed by a press is what X's own auto-repeat delivers to clients that did not ask
// for detectable auto-repeat. The server would also repeat a held XTest key by itself after its
// repeat delay; the poster turns RepeatKeys off on the XTest keyboard device alone (not on real
// keyboards) from its first key event until it is destroyed, so the core's repeats are the only
// ones. The modifier keys' own events
// are sent as plain presses and releases. Every key and button this poster pressed is tracked, and
// the destructor releases what is still down, so nothing stays held on the server when the poster
// goes.
//
// Threads: postMouse/postScroll on one thread, postKey on another, each leasing its own X
// connection from the pool; the small bookkeeping is guarded by a mutex that no X call runs under.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "input/event_poster.h"
#include "platform/linux/x11/x11_connection_pool.h"
#include "platform/linux/x11/x11_display_geometry.h"

namespace panelora {

class X11EventPoster final : public EventPoster {
  public:
    static constexpr int pixelsPerClick = 40;
    // A call never sends more clicks than this per axis; the rest is dropped, not carried (a
    // broken delta must not keep the server busy for minutes).
    static constexpr int maxClicksPerCall = 200;

    X11EventPoster(std::shared_ptr<X11ConnectionPool> pool,
                   std::shared_ptr<const X11DisplayGeometry> geometry);
    ~X11EventPoster() override;
    X11EventPoster(const X11EventPoster&) = delete;
    X11EventPoster& operator=(const X11EventPoster&) = delete;

    bool postMouse(MouseEventType type, DisplayID display, Point global, MouseButton button,
                   std::optional<int64_t> clickState) override;
    bool postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) override;
    void postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) override;
    // Forgets the carried scroll fractions.
    void resetState() override;

    // Releases every key and button this poster holds down (also done by the destructor).
    void releaseHeld();

    // X keycodes and buttons held by this poster now (tests).
    std::set<unsigned> heldKeys() const;
    std::set<unsigned> heldButtons() const;
    // The carried pixels per axis (tests).
    int64_t scrollRemainderVertical() const;
    int64_t scrollRemainderHorizontal() const;

  private:
    struct ModifierKeys;
    const ModifierKeys& modifierKeys(Display* display);

    const std::shared_ptr<X11ConnectionPool> pool_;
    const std::shared_ptr<const X11DisplayGeometry> geometry_;

    mutable std::mutex mutex_;
    std::set<unsigned> heldKeys_;                 // guarded by mutex_
    std::set<unsigned> heldButtons_;              // guarded by mutex_
    int64_t remainderVertical_ = 0;               // guarded by mutex_
    int64_t remainderHorizontal_ = 0;             // guarded by mutex_
    std::unique_ptr<ModifierKeys> modifierKeys_;  // read once from the keymap; postKey thread
};

}  // namespace panelora
