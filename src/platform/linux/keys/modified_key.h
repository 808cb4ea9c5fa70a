// One key typed with exactly the modifiers of its event, as evdev key events: what every Linux
// desktop's poster sends for a key press that is not itself a modifier.
#pragma once

#include <cstdint>
#include <functional>
#include <set>

namespace panelora::evdevkeys {

inline constexpr uint32_t kCapsLock = 58;  // KEY_CAPSLOCK

// Presses the modifiers `flags` (EventFlags) asks for and `held` lacks, releases held ones it does
// not ask for, taps Caps Lock when its state differs from `capsLocked`, then sends `key` (released
// first when `releaseFirst`: a repeat, or a key still down) and puts every modifier back.
void typeWithModifiers(uint32_t key, uint64_t flags, const std::set<uint32_t>& held,
                       bool capsLocked, bool releaseFirst,
                       const std::function<void(uint32_t key, bool down)>& send);

}  // namespace panelora::evdevkeys
