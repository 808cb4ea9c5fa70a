#include "platform/linux/x11/x11_event_poster.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/keys/evdev_key_codes.h"
#include "support/log.h"

namespace panelora {

// The server's keymap as this poster needs it: the X keycode of every macOS key code, the keys
// that produce each modifier the key events can ask for, and which X modifier bit each key sets.
struct X11EventPoster::ModifierKeys {
    std::array<uint8_t, 128> keycodeOfMac{};  // 0: no key
    int xtestKeyboard = -1;                   // XInput device id of the XTest keyboard
    bool repeatWasEnabled = false;            // its RepeatKeys control before this poster
    struct Entry {
        uint64_t flag;     // EventFlags bit
        unsigned keycode;  // the left-hand key pressed to produce it
        unsigned mask;     // its X modifier bit (ShiftMask, ControlMask, Mod1Mask, Mod4Mask…)
    };
    std::array<Entry, 4> entries;
    std::map<unsigned, unsigned> maskOfKey;  // X keycode -> modifier bits, from the modifier map

    unsigned maskOf(unsigned keycode) const {
        auto found = maskOfKey.find(keycode);
        return found == maskOfKey.end() ? 0 : found->second;
    }
};

namespace {

constexpr unsigned kLeftButton = 1;
constexpr unsigned kRightButton = 3;
constexpr unsigned kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

// macOS key codes of the left-hand modifier keys and of Caps Lock.
constexpr uint16_t kMacShift = 56, kMacControl = 59, kMacOption = 58, kMacCommand = 55;
constexpr uint16_t kMacCapsLock = 57;

struct KeyboardDeleter {
    void operator()(XkbDescPtr p) const { XkbFreeKeyboard(p, 0, True); }
};

// X keycodes by XKB key name, from the server's keymap.
std::map<std::string, unsigned> keycodesByName(Display* display) {
    std::map<std::string, unsigned> byName;
    std::unique_ptr<XkbDescRec, KeyboardDeleter> desc(XkbGetMap(display, 0, XkbUseCoreKbd));
    if (!desc || XkbGetNames(display, XkbKeyNamesMask, desc.get()) != Success || !desc->names ||
        !desc->names->keys) {
        return byName;
    }
    for (unsigned code = desc->min_key_code; code <= desc->max_key_code; ++code) {
        const char* name = desc->names->keys[code].name;
        std::string key(name, strnlen(name, XkbKeyNameLength));
        if (!key.empty()) byName.emplace(std::move(key), code);  // first keycode wins
    }
    return byName;
}

void key(Display* display, unsigned keycode, bool down) {
    XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
}

// The XInput id of the server's XTest keyboard (the device XTest key events come from).
int xtestKeyboardId(Display* display) {
    int opcode, event, error;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) return -1;
    int major = 2, minor = 0;
    if (XIQueryVersion(display, &major, &minor) != Success) return -1;
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
    if (!devices) return -1;
    int id = -1;
    for (int i = 0; i < count && id < 0; ++i) {
        if (devices[i].use == XISlaveKeyboard && devices[i].name &&
            std::strstr(devices[i].name, "XTEST")) {
            id = devices[i].deviceid;
        }
    }
    XIFreeDeviceInfo(devices);
    return id;
}

// Whether the device's XKB RepeatKeys control is on.
bool repeatKeysEnabled(Display* display, int device) {
    std::unique_ptr<XkbDescRec, KeyboardDeleter> desc(XkbAllocKeyboard());
    if (!desc) return false;
    desc->device_spec = static_cast<unsigned short>(device);
    if (XkbGetControls(display, XkbControlsEnabledMask, desc.get()) != Success || !desc->ctrls) {
        return false;
    }
    return (desc->ctrls->enabled_ctrls & XkbRepeatKeysMask) != 0;
}

}  // namespace

X11EventPoster::X11EventPoster(std::shared_ptr<X11ConnectionPool> pool,
                               std::shared_ptr<const X11DisplayGeometry> geometry)
    : pool_(std::move(pool)), geometry_(std::move(geometry)) {}

X11EventPoster::~X11EventPoster() {
    releaseHeld();
    // Give the XTest keyboard its own repeat back: other XTest users (on-screen keyboards,
    // remote desktops) rely on it after we are gone.
    if (modifierKeys_ && modifierKeys_->repeatWasEnabled) {
        if (auto lease = pool_->acquire(); lease && !lease->broken()) {
            XkbChangeEnabledControls(lease.display(),
                                     static_cast<unsigned>(modifierKeys_->xtestKeyboard),
                                     XkbRepeatKeysMask, XkbRepeatKeysMask);
            XSync(lease.display(), False);
        }
    }
}

bool X11EventPoster::postMouse(MouseEventType type, DisplayID display, Point global, MouseButton,
                               std::optional<int64_t>) {
    auto lease = pool_->acquire();
    if (!lease || lease->broken()) return false;
    Display* d = lease.display();
    auto pixel = geometry_->toRoot(global, display);
    XTestFakeMotionEvent(d, DefaultScreen(d), pixel.x, pixel.y, CurrentTime);
    unsigned button = 0;
    bool press = false;
    switch (type) {
        case MouseEventType::leftMouseDown:
            button = kLeftButton, press = true;
            break;
        case MouseEventType::leftMouseUp:
            button = kLeftButton;
            break;
        case MouseEventType::rightMouseDown:
            button = kRightButton, press = true;
            break;
        case MouseEventType::rightMouseUp:
            button = kRightButton;
            break;
        case MouseEventType::mouseMoved:
        case MouseEventType::leftMouseDragged:
            break;
    }
    if (button != 0) {
        XTestFakeButtonEvent(d, button, press ? True : False, CurrentTime);
        std::lock_guard lock(mutex_);
        if (press) {
            heldButtons_.insert(button);
        } else {
            heldButtons_.erase(button);
        }
    }
    XSync(d, False);  // processed before the next post, which may lease another connection
    return !lease->broken();
}

bool X11EventPoster::postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) {
    int64_t vertical, horizontal;
    {
        std::lock_guard lock(mutex_);
        auto clicks = [](int64_t& remainder, int32_t delta) {
            remainder += delta;
            int64_t whole = remainder / pixelsPerClick;  // towards zero: the rest keeps its sign
            remainder -= whole * pixelsPerClick;
            return std::clamp<int64_t>(whole, -maxClicksPerCall, maxClicksPerCall);
        };
        vertical = clicks(remainderVertical_, wheel1Vertical);
        horizontal = clicks(remainderHorizontal_, wheel2Horizontal);
    }
    if (vertical == 0 && horizontal == 0) return true;  // carried, nothing to send yet
    auto lease = pool_->acquire();
    if (!lease || lease->broken()) return false;
    Display* d = lease.display();
    auto send = [d](int64_t count, unsigned positiveButton, unsigned negativeButton) {
        unsigned button = count > 0 ? positiveButton : negativeButton;
        for (int64_t i = 0; i < std::abs(count); ++i) {
            XTestFakeButtonEvent(d, button, True, CurrentTime);
            XTestFakeButtonEvent(d, button, False, CurrentTime);
        }
    };
    send(vertical, kWheelUp, kWheelDown);
    send(horizontal, kWheelLeft, kWheelRight);
    XSync(d, False);  // processed before the next post, which may lease another connection
    return !lease->broken();
}

const X11EventPoster::ModifierKeys& X11EventPoster::modifierKeys(Display* display) {
    if (modifierKeys_) return *modifierKeys_;
    auto keys = std::make_unique<ModifierKeys>();
    // By key name where the keymap has it (any keycode set), else by the evdev numbering.
    const auto byName = keycodesByName(display);
    for (uint16_t mac = 0; mac < keys->keycodeOfMac.size(); ++mac) {
        unsigned code = evdevkeys::xKeyCode(mac).value_or(0);
        if (auto name = evdevkeys::xkbKeyName(mac)) {
            if (auto found = byName.find(std::string(*name)); found != byName.end()) {
                code = found->second;
            }
        }
        keys->keycodeOfMac[mac] = static_cast<uint8_t>(code <= 255 ? code : 0);
    }
    auto xKey = [&keys](uint16_t mac) -> unsigned { return keys->keycodeOfMac[mac]; };
    // The server would repeat a key the XTest keyboard holds by itself, on top of the repeats
    // the key injector makes. Only that device's RepeatKeys is turned off (real keyboards keep
    // theirs), and turned back on when this poster goes.
    keys->xtestKeyboard = xtestKeyboardId(display);
    if (keys->xtestKeyboard >= 0 && repeatKeysEnabled(display, keys->xtestKeyboard)) {
        keys->repeatWasEnabled = true;
        XkbChangeEnabledControls(display, static_cast<unsigned>(keys->xtestKeyboard),
                                 XkbRepeatKeysMask, 0);
    }
    keys->entries = {{
        {EventFlags::shift, xKey(kMacShift), ShiftMask},
        {EventFlags::control, xKey(kMacControl), ControlMask},
        {EventFlags::option, xKey(kMacOption), Mod1Mask},
        {EventFlags::command, xKey(kMacCommand), Mod4Mask},
    }};
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int i = 0; i < map->max_keypermod; ++i) {
                KeyCode code = map->modifiermap[modifier * map->max_keypermod + i];
                if (code != 0) keys->maskOfKey[code] |= 1u << modifier;
            }
        }
        XFreeModifiermap(map);
        // The keymap decides which bit each key sets (Super is Mod4 on most, not all, keymaps).
        for (auto& entry : keys->entries) {
            if (unsigned mask = keys->maskOf(entry.keycode)) entry.mask = mask;
        }
    }
    modifierKeys_ = std::move(keys);
    return *modifierKeys_;
}

void X11EventPoster::postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool) {
    if (!evdevkeys::evdevCode(keyCode)) {
        log::get("x11input")->debug("no X key for key code {}", keyCode);
        return;
    }
    auto lease = pool_->acquire();
    if (!lease || lease->broken()) return;
    Display* d = lease.display();
    const ModifierKeys& modifiers = modifierKeys(d);
    const unsigned keycode = modifiers.keycodeOfMac[keyCode];
    if (keycode == 0) return;

    auto record = [this](unsigned k, bool down) {
        std::lock_guard lock(mutex_);
        if (down) {
            heldKeys_.insert(k);
        } else {
            heldKeys_.erase(k);
        }
    };

    // Releases, and the modifier keys' own events, go out as they are.
    if (!isDown || evdevkeys::isModifierKey(keyCode)) {
        key(d, keycode, isDown);
        record(keycode, isDown);
        XSync(d, False);  // processed before the next post, which may lease another connection
        return;
    }

    // A press or a repeat: bring the server's modifiers to `flags` around it.
    unsigned effective = 0, locked = 0;
    XkbStateRec state;
    if (XkbGetState(d, XkbUseCoreKbd, &state) == Success) {
        effective = state.mods;
        locked = state.locked_mods;
    }
    std::vector<unsigned> pressedForKey, releasedForKey;
    const std::set<unsigned> held = heldKeys();
    for (const auto& entry : modifiers.entries) {
        const bool want = (flags & entry.flag) != 0;
        const bool have = (effective & entry.mask) != 0;
        if (want && !have) {
            key(d, entry.keycode, true);
            pressedForKey.push_back(entry.keycode);
        } else if (!want && have) {
            // Only keys this poster pressed can be let go; a modifier the user holds on a real
            // keyboard stays in force.
            for (unsigned k : held) {
                if ((modifiers.maskOf(k) & entry.mask) != 0 && k != keycode) {
                    key(d, k, false);
                    releasedForKey.push_back(k);
                }
            }
        }
    }
    const bool toggleCaps = ((flags & EventFlags::capsLock) != 0) != ((locked & LockMask) != 0);
    const unsigned capsKey = modifiers.keycodeOfMac[kMacCapsLock];
    if (toggleCaps) {
        key(d, capsKey, true);
        key(d, capsKey, false);
    }

    // The server drops a second press of a key its XTest device holds, so a repeat (or a press
    // of a key still down) goes out as release and press: what X's own auto-repeat sends to
    // clients that did not ask for detectable auto-repeat.
    if (held.count(keycode) != 0) key(d, keycode, false);
    key(d, keycode, true);
    record(keycode, true);

    if (toggleCaps) {
        key(d, capsKey, true);
        key(d, capsKey, false);
    }
    for (auto k = pressedForKey.rbegin(); k != pressedForKey.rend(); ++k)
        key(d, *k, false);
    for (unsigned k : releasedForKey)
        key(d, k, true);
    XSync(d, False);  // processed before the next post, which may lease another connection
}

void X11EventPoster::releaseHeld() {
    std::set<unsigned> keys, buttons;
    {
        std::lock_guard lock(mutex_);
        keys.swap(heldKeys_);
        buttons.swap(heldButtons_);
    }
    if (keys.empty() && buttons.empty()) return;
    auto lease = pool_->acquire();
    if (!lease || lease->broken()) return;
    Display* d = lease.display();
    for (unsigned k : keys)
        key(d, k, false);
    for (unsigned b : buttons)
        XTestFakeButtonEvent(d, b, False, CurrentTime);
    XSync(d, False);
}

void X11EventPoster::resetState() {
    std::lock_guard lock(mutex_);
    remainderVertical_ = 0;
    remainderHorizontal_ = 0;
}

std::set<unsigned> X11EventPoster::heldKeys() const {
    std::lock_guard lock(mutex_);
    return heldKeys_;
}

std::set<unsigned> X11EventPoster::heldButtons() const {
    std::lock_guard lock(mutex_);
    return heldButtons_;
}

int64_t X11EventPoster::scrollRemainderVertical() const {
    std::lock_guard lock(mutex_);
    return remainderVertical_;
}

int64_t X11EventPoster::scrollRemainderHorizontal() const {
    std::lock_guard lock(mutex_);
    return remainderHorizontal_;
}

}  // namespace panelora
