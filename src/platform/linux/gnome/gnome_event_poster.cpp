#include "platform/linux/gnome/gnome_event_poster.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/linux/keys/evdev_key_codes.h"
#include "platform/linux/keys/modified_key.h"
#include "support/log.h"

namespace panelora {
namespace {

using evdevkeys::kCapsLock;

}  // namespace

GnomeEventPoster::GnomeEventPoster(std::shared_ptr<VirtualMonitors> monitors,
                                   std::shared_ptr<GnomeDisplayGeometry> geometry)
    : monitors_(std::move(monitors)), geometry_(std::move(geometry)) {}

GnomeEventPoster::~GnomeEventPoster() {
    releaseHeld();
}

std::shared_ptr<MutterSession> GnomeEventPoster::currentSession() {
    std::shared_ptr<MutterSession> session;
    for (const auto& monitor : monitors_->all()) {
        if (!monitor->hasEnded()) {
            session = monitor->session();
            break;
        }
    }
    std::lock_guard lock(mutex_);
    if (session != session_.lock()) {
        // A new session has new virtual devices: nothing is held on them.
        session_ = session;
        heldKeys_.clear();
        heldButtons_.clear();
        capsLocked_ = false;
    }
    return session;
}

bool GnomeEventPoster::postMouse(MouseEventType type, DisplayID display, Point global, MouseButton,
                                 std::optional<int64_t>) {
    auto monitor = monitors_->find(display);
    const Rect bounds = monitor ? geometry_->bounds(display) : Rect{};
    if (!monitor || monitor->hasEnded() || bounds.isEmpty() || !std::isfinite(global.x) ||
        !std::isfinite(global.y)) {
        return false;
    }
    const std::shared_ptr<MutterSession>& session = monitor->session();
    currentSession();
    // Kept on the monitor: its last row and column are the furthest a touch at the edge goes.
    const double x = std::clamp(global.x - bounds.minX(), 0.0, bounds.width - 1);
    const double y = std::clamp(global.y - bounds.minY(), 0.0, bounds.height - 1);
    session->pointerMotionAbsolute(x, y);

    int32_t button = 0;
    bool press = false;
    switch (type) {
        case MouseEventType::leftMouseDown:
            button = MutterSession::buttonLeft, press = true;
            break;
        case MouseEventType::leftMouseUp:
            button = MutterSession::buttonLeft;
            break;
        case MouseEventType::rightMouseDown:
            button = MutterSession::buttonRight, press = true;
            break;
        case MouseEventType::rightMouseUp:
            button = MutterSession::buttonRight;
            break;
        case MouseEventType::mouseMoved:
        case MouseEventType::leftMouseDragged:
            break;
    }
    if (button != 0) {
        session->pointerButton(button, press);
        std::lock_guard lock(mutex_);
        if (press) {
            heldButtons_.insert(button);
        } else {
            heldButtons_.erase(button);
        }
    }
    return true;
}

bool GnomeEventPoster::postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) {
    auto session = currentSession();
    if (!session) return false;
    session->pointerAxis(-static_cast<double>(wheel2Horizontal),
                         -static_cast<double>(wheel1Vertical));
    return true;
}

void GnomeEventPoster::postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) {
    auto code = evdevkeys::evdevCode(keyCode);
    if (!code) {
        log::get("gnome")->debug("no evdev key for key code {}", keyCode);
        return;
    }
    auto session = currentSession();
    if (!session) return;
    const uint32_t key = *code;

    std::set<uint32_t> held;
    bool caps;
    {
        std::lock_guard lock(mutex_);
        held = heldKeys_;
        caps = capsLocked_;
        if (isDown) {
            heldKeys_.insert(key);
        } else {
            heldKeys_.erase(key);
        }
        if (isDown && key == kCapsLock) capsLocked_ = !capsLocked_;
    }

    // Releases, and the modifier keys' own events, go out as they are.
    if (!isDown || evdevkeys::isModifierKey(keyCode)) {
        session->keyboardKeycode(key, isDown);
        return;
    }

    // A repeat, or a press of a key still down, as release and press.
    evdevkeys::typeWithModifiers(key, flags, held, caps, isRepeat || held.contains(key),
                                 [&](uint32_t k, bool down) { session->keyboardKeycode(k, down); });
}

void GnomeEventPoster::releaseHeld() {
    std::set<uint32_t> keys;
    std::set<int32_t> buttons;
    std::shared_ptr<MutterSession> session;
    {
        std::lock_guard lock(mutex_);
        keys.swap(heldKeys_);
        buttons.swap(heldButtons_);
        session = session_.lock();
    }
    if (!session) return;
    for (uint32_t k : keys)
        session->keyboardKeycode(k, false);
    for (int32_t b : buttons)
        session->pointerButton(b, false);
}

std::set<uint32_t> GnomeEventPoster::heldKeys() const {
    std::lock_guard lock(mutex_);
    return heldKeys_;
}

}  // namespace panelora
