// macOS virtual key codes (what the key injector posts) to Linux evdev key codes, which an X
// server with the evdev keymap numbers as X keycode = evdev code + 8, and to XKB key names
// ("AC01", "LWIN"), which name the same physical keys in every keycode set (servers without
// evdev input, such as Xvfb or Xorg with no input device, use the older xfree86 numbering). The
// table covers every key code that KeyInjectorCore::usageKeyCodes() produces.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace panelora::evdevkeys {

// The evdev code for a macOS virtual key code; nothing for a code without a key here.
std::optional<uint16_t> evdevCode(uint16_t macKeyCode);

// The XKB name of the key (at most four characters, "AC01" for A).
std::optional<std::string_view> xkbKeyName(uint16_t macKeyCode);

// The X keycode (evdev + 8) for a macOS virtual key code.
std::optional<uint8_t> xKeyCode(uint16_t macKeyCode);

// True for the modifier keys' own codes, 54 to 62 (Command, Shift, Caps Lock, Option, Control and
// their right-hand twins).
constexpr bool isModifierKey(uint16_t macKeyCode) {
    return macKeyCode >= 54 && macKeyCode <= 62;
}

}  // namespace panelora::evdevkeys
