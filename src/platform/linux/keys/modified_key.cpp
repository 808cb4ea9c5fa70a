#include "platform/linux/keys/modified_key.h"

#include <vector>

#include "input/event_poster.h"

namespace panelora::evdevkeys {
namespace {

// evdev codes of the keys that make each modifier flag (left-hand key first).
struct ModifierKeys {
    uint64_t flag;
    std::vector<uint32_t> keys;
};
const std::vector<ModifierKeys>& modifierKeys() {
    static const std::vector<ModifierKeys> table{
        {EventFlags::shift, {42, 54}},      // KEY_LEFTSHIFT, KEY_RIGHTSHIFT
        {EventFlags::control, {29, 97}},    // KEY_LEFTCTRL, KEY_RIGHTCTRL
        {EventFlags::option, {56, 100}},    // KEY_LEFTALT, KEY_RIGHTALT
        {EventFlags::command, {125, 126}},  // KEY_LEFTMETA, KEY_RIGHTMETA
    };
    return table;
}

}  // namespace

void typeWithModifiers(uint32_t key, uint64_t flags, const std::set<uint32_t>& held,
                       bool capsLocked, bool releaseFirst,
                       const std::function<void(uint32_t key, bool down)>& send) {
    std::vector<uint32_t> pressedForKey, releasedForKey;
    for (const auto& modifier : modifierKeys()) {
        const bool want = (flags & modifier.flag) != 0;
        std::vector<uint32_t> holding;
        for (uint32_t k : modifier.keys) {
            if (held.contains(k)) holding.push_back(k);
        }
        if (want && holding.empty()) {
            pressedForKey.push_back(modifier.keys.front());
        } else if (!want) {
            releasedForKey.insert(releasedForKey.end(), holding.begin(), holding.end());
        }
    }
    const bool toggleCaps = ((flags & EventFlags::capsLock) != 0) != capsLocked;
    auto tapCaps = [&] {
        send(kCapsLock, true);
        send(kCapsLock, false);
    };
    for (uint32_t k : pressedForKey)
        send(k, true);
    for (uint32_t k : releasedForKey)
        send(k, false);
    if (toggleCaps) tapCaps();
    if (releaseFirst) send(key, false);
    send(key, true);
    if (toggleCaps) tapCaps();
    for (auto k = pressedForKey.rbegin(); k != pressedForKey.rend(); ++k)
        send(*k, false);
    for (uint32_t k : releasedForKey)
        send(k, true);
}

}  // namespace panelora::evdevkeys
