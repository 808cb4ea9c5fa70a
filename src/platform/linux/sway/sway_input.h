// SwayEventPoster: the EventPoster backend on wlroots' virtual pointer and the virtual keyboard,
// over a Wayland connection of its own whose events a thread of it dispatches.
//
// The devices live as long as the poster (the platform): with no real devices, sway changes the
// seat's capabilities whenever a virtual device comes or goes, and clients then drop their
// pointer or keyboard. One pointer mapped to no output holds the pointer capability from the
// start; each of our outputs gets a pointer mapped to it on first use, to which absolute motion
// goes in the output's own logical pixels (a touch at the far edge kept on the last pixel).
// Buttons are evdev's (BTN_LEFT, BTN_RIGHT); sway counts multi-clicks itself.
//
// Scroll: smooth pixel scrolling (finger source) with Wayland's signs, on the pointer that moved
// last. Keys: the evdev code of the macOS key code with a US keymap made by xkbcommon; the
// modifiers are worked out from the keys with an xkb state of our own (wlroots takes them from
// the client), and the event's flags are brought about around a press as on GNOME. A repeat
// goes out as release and press.
//
// Threads: postMouse/postScroll on one thread, postKey on another; one mutex serialises the
// requests and the bookkeeping.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "input/cursor_source.h"
#include "input/event_poster.h"
#include "platform/linux/sway/sway_layout.h"
#include "platform/linux/sway/wayland_link.h"

struct xkb_context;
struct xkb_keymap;
struct xkb_state;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_v1;

namespace panelora {

class SwayEventPoster final : public EventPoster {
  public:
    // Nothing, with `why`, when the compositor offers no virtual pointer (version 2) or keyboard.
    static std::shared_ptr<SwayEventPoster> create(std::shared_ptr<SwayLayout> layout,
                                                   const std::string& waylandDisplay,
                                                   std::string* why);
    ~SwayEventPoster() override;
    SwayEventPoster(const SwayEventPoster&) = delete;
    SwayEventPoster& operator=(const SwayEventPoster&) = delete;

    bool postMouse(MouseEventType type, DisplayID display, Point global, MouseButton button,
                   std::optional<int64_t> clickState) override;
    bool postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) override;
    void postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) override;
    void resetState() override {}

    // Releases every key and button this poster holds down (also done by the destructor).
    void releaseHeld();
    std::set<uint32_t> heldKeys() const;
    // Where this poster last put the pointer, in global points.
    std::optional<Point> lastPosition() const;

  private:
    explicit SwayEventPoster(std::shared_ptr<SwayLayout> layout) : layout_(std::move(layout)) {}
    void sendKey(uint32_t key, bool down);  // under mutex_
    void button(uint32_t code, bool down);  // under mutex_

    const std::shared_ptr<SwayLayout> layout_;
    std::unique_ptr<WaylandLink> link_;

    mutable std::mutex mutex_;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    xkb_context* xkbContext_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    xkb_state* xkbState_ = nullptr;
    uint32_t sentModifiers_[4] = {};
    zwlr_virtual_pointer_v1* plainPointer_ = nullptr;
    std::map<std::string, zwlr_virtual_pointer_v1*> pointers_;  // by output name
    zwlr_virtual_pointer_v1* lastPointer_ = nullptr;
    std::optional<Point> lastPosition_;
    std::set<uint32_t> heldKeys_;
    std::set<uint32_t> heldButtons_;
    bool capsLocked_ = false;
};

// Where the pointer is, as far as Panelora knows: wlroots tells clients neither the pointer's
// position nor its image, so this is where the poster last put it, and no image.
class SwayCursorSource final : public CursorSource {
  public:
    explicit SwayCursorSource(std::shared_ptr<SwayEventPoster> poster)
        : poster_(std::move(poster)) {}
    std::optional<Point> location() override { return poster_->lastPosition(); }
    std::optional<PlatformCursor> currentSystemCursor() override { return std::nullopt; }
    std::optional<PlatformCursor> arrowCursor() override { return std::nullopt; }

  private:
    const std::shared_ptr<SwayEventPoster> poster_;
};

}  // namespace panelora
