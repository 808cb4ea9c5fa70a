#include "platform/linux/sway/sway_input.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "platform/linux/keys/evdev_key_codes.h"
#include "platform/linux/keys/modified_key.h"
#include "support/log.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace panelora {
namespace {

constexpr uint32_t kButtonLeft = 0x110, kButtonRight = 0x111;  // BTN_LEFT, BTN_RIGHT
using evdevkeys::kCapsLock;
constexpr uint32_t kSubpixels = 16;  // absolute motion in sixteenths of a logical pixel

uint32_t now() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The keymap as the protocol hands it over: a sealed memfd with the text and its final NUL.
int keymapFile(const char* text, size_t size) {
    const int fd = memfd_create("panelora-keymap", MFD_CLOEXEC);
    if (fd < 0) return -1;
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, text + written, size - written);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        written += static_cast<size_t>(n);
    }
    return fd;
}

}  // namespace

std::shared_ptr<SwayEventPoster> SwayEventPoster::create(std::shared_ptr<SwayLayout> layout,
                                                         const std::string& waylandDisplay,
                                                         std::string* why) {
    std::shared_ptr<SwayEventPoster> poster(new SwayEventPoster(std::move(layout)));
    poster->link_ = WaylandLink::connect(waylandDisplay, why);
    if (!poster->link_) return nullptr;
    WaylandLink& link = *poster->link_;
    if (!link.seat() || !link.pointers() || link.pointersVersion() < 2 || !link.keyboards()) {
        if (why) *why = "the compositor offers no virtual pointer (version 2) or keyboard";
        return nullptr;
    }
    poster->xkbContext_ = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    poster->keymap_ = poster->xkbContext_ ? xkb_keymap_new_from_names(poster->xkbContext_, &names,
                                                                      XKB_KEYMAP_COMPILE_NO_FLAGS)
                                          : nullptr;
    char* text = poster->keymap_
                     ? xkb_keymap_get_as_string(poster->keymap_, XKB_KEYMAP_FORMAT_TEXT_V1)
                     : nullptr;
    const int fd = text ? keymapFile(text, std::strlen(text) + 1) : -1;
    if (fd < 0) {
        std::free(text);
        if (why) *why = "xkbcommon could not make a US keymap";
        return nullptr;
    }
    poster->xkbState_ = xkb_state_new(poster->keymap_);
    poster->keyboard_ =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(link.keyboards(), link.seat());
    zwp_virtual_keyboard_v1_keymap(poster->keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<uint32_t>(std::strlen(text) + 1));
    close(fd);
    std::free(text);
    poster->plainPointer_ =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(link.pointers(), link.seat());
    poster->lastPointer_ = poster->plainPointer_;
    if (wl_display_roundtrip(link.display()) < 0) {
        if (why) *why = "the compositor refused a virtual keyboard or pointer";
        return nullptr;
    }
    link.startEventThread();
    return poster;
}

SwayEventPoster::~SwayEventPoster() {
    releaseHeld();
    if (link_) {
        std::lock_guard lock(mutex_);
        for (auto& [name, pointer] : pointers_)
            zwlr_virtual_pointer_v1_destroy(pointer);
        if (plainPointer_) zwlr_virtual_pointer_v1_destroy(plainPointer_);
        if (keyboard_) zwp_virtual_keyboard_v1_destroy(keyboard_);
        link_->flush();
    }
    link_.reset();  // joins its thread before the xkb objects go
    if (xkbState_) xkb_state_unref(xkbState_);
    if (keymap_) xkb_keymap_unref(keymap_);
    if (xkbContext_) xkb_context_unref(xkbContext_);
}

bool SwayEventPoster::postMouse(MouseEventType type, DisplayID display, Point global, MouseButton,
                                std::optional<int64_t>) {
    const std::string name = layout_->outputName(display);
    const Rect bounds = name.empty() ? Rect{} : layout_->bounds(display);
    if (bounds.isEmpty() || !std::isfinite(global.x) || !std::isfinite(global.y)) return false;
    wl_output* output = link_->output(name);
    if (!output) return false;
    // Kept on the output: its last row and column are the furthest a touch at the edge goes.
    const double x = std::clamp(global.x - bounds.minX(), 0.0, bounds.width - 1);
    const double y = std::clamp(global.y - bounds.minY(), 0.0, bounds.height - 1);

    std::lock_guard lock(mutex_);
    auto& pointer = pointers_[name];
    if (!pointer) {
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(
            link_->pointers(), link_->seat(), output);
    }
    lastPointer_ = pointer;
    const auto extentX = static_cast<uint32_t>(bounds.width) * kSubpixels;
    const auto extentY = static_cast<uint32_t>(bounds.height) * kSubpixels;
    zwlr_virtual_pointer_v1_motion_absolute(
        pointer, now(), static_cast<uint32_t>(std::lround(x * kSubpixels)),
        static_cast<uint32_t>(std::lround(y * kSubpixels)), extentX, extentY);
    zwlr_virtual_pointer_v1_frame(pointer);
    lastPosition_ = Point{bounds.minX() + x, bounds.minY() + y};
    switch (type) {
        case MouseEventType::leftMouseDown:
            button(kButtonLeft, true);
            break;
        case MouseEventType::leftMouseUp:
            button(kButtonLeft, false);
            break;
        case MouseEventType::rightMouseDown:
            button(kButtonRight, true);
            break;
        case MouseEventType::rightMouseUp:
            button(kButtonRight, false);
            break;
        case MouseEventType::mouseMoved:
        case MouseEventType::leftMouseDragged:
            break;
    }
    link_->flush();
    return true;
}

void SwayEventPoster::button(uint32_t code, bool down) {
    zwlr_virtual_pointer_v1_button(
        lastPointer_, now(), code,
        down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(lastPointer_);
    if (down) {
        heldButtons_.insert(code);
    } else {
        heldButtons_.erase(code);
    }
}

bool SwayEventPoster::postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) {
    std::lock_guard lock(mutex_);
    auto* pointer = lastPointer_;
    const uint32_t time = now();
    zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_FINGER);
    if (wheel1Vertical != 0) {
        zwlr_virtual_pointer_v1_axis(pointer, time, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                     wl_fixed_from_int(-wheel1Vertical));
    }
    if (wheel2Horizontal != 0) {
        zwlr_virtual_pointer_v1_axis(pointer, time, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                                     wl_fixed_from_int(-wheel2Horizontal));
    }
    zwlr_virtual_pointer_v1_frame(pointer);
    return link_->flush();
}

void SwayEventPoster::sendKey(uint32_t key, bool down) {
    zwp_virtual_keyboard_v1_key(
        keyboard_, now(), key,
        down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(xkbState_, key + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    const uint32_t modifiers[4] = {
        xkb_state_serialize_mods(xkbState_, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(xkbState_, XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(xkbState_, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(xkbState_, XKB_STATE_LAYOUT_EFFECTIVE)};
    if (std::memcmp(modifiers, sentModifiers_, sizeof(modifiers)) != 0) {
        zwp_virtual_keyboard_v1_modifiers(keyboard_, modifiers[0], modifiers[1], modifiers[2],
                                          modifiers[3]);
        std::memcpy(sentModifiers_, modifiers, sizeof(modifiers));
    }
    if (down) {
        heldKeys_.insert(key);
    } else {
        heldKeys_.erase(key);
    }
}

void SwayEventPoster::postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) {
    auto code = evdevkeys::evdevCode(keyCode);
    if (!code) {
        log::get("sway")->debug("no evdev key for key code {}", keyCode);
        return;
    }
    const uint32_t key = *code;
    std::lock_guard lock(mutex_);
    const std::set<uint32_t> held = heldKeys_;
    const bool caps = capsLocked_;
    if (isDown && key == kCapsLock) capsLocked_ = !capsLocked_;
    // Releases, and the modifier keys' own events, go out as they are.
    if (!isDown || evdevkeys::isModifierKey(keyCode)) {
        if (isDown && held.contains(key)) sendKey(key, false);
        sendKey(key, isDown);
        link_->flush();
        return;
    }
    evdevkeys::typeWithModifiers(key, flags, held, caps, isRepeat || held.contains(key),
                                 [&](uint32_t k, bool down) { sendKey(k, down); });
    link_->flush();
}

void SwayEventPoster::releaseHeld() {
    std::lock_guard lock(mutex_);
    if (!link_ || !keyboard_) return;
    for (uint32_t k : std::set<uint32_t>(heldKeys_))
        sendKey(k, false);
    for (uint32_t b : std::set<uint32_t>(heldButtons_))
        button(b, false);
    link_->flush();
}

std::set<uint32_t> SwayEventPoster::heldKeys() const {
    std::lock_guard lock(mutex_);
    return heldKeys_;
}

std::optional<Point> SwayEventPoster::lastPosition() const {
    std::lock_guard lock(mutex_);
    return lastPosition_;
}

}  // namespace panelora
