#include <gtest/gtest.h>

#include <map>
#include <set>

#include "input/key_injector.h"
#include "platform/linux/input/x11_key_codes.h"

namespace panelora {
namespace {

TEST(X11KeyCodes, EveryKeyCodeOfTheUsageTableHasAnXKey) {
    const auto& table = KeyInjectorCore::usageKeyCodes();
    ASSERT_EQ(table.size(), 102u);
    std::map<uint16_t, uint16_t> evdevOfMac;
    for (const auto& [usage, macKeyCode] : table) {
        auto evdev = x11keys::evdevCode(macKeyCode);
        ASSERT_TRUE(evdev.has_value()) << "usage " << usage << ", key code " << macKeyCode;
        auto x = x11keys::xKeyCode(macKeyCode);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, *evdev + 8);
        auto name = x11keys::xkbKeyName(macKeyCode);
        ASSERT_TRUE(name.has_value()) << "key code " << macKeyCode;
        EXPECT_TRUE(!name->empty() && name->size() <= 4) << *name;
        evdevOfMac[macKeyCode] = *evdev;
    }
    // Two different keys never land on one X key.
    std::set<uint16_t> distinct;
    for (const auto& [mac, evdev] : evdevOfMac) {
        EXPECT_TRUE(distinct.insert(evdev).second) << "key code " << mac << " reuses " << evdev;
    }
}

TEST(X11KeyCodes, KeysLandOnTheirEvdevKeys) {
    // macOS key code -> X keycode of the evdev keymap (xkbcomp's <AC01> = 38 for A, …).
    const std::pair<uint16_t, unsigned> cases[] = {
        {0, 38},     // A, <AC01>
        {6, 52},     // Z, <AB01>
        {18, 10},    // 1, <AE01>
        {29, 19},    // 0, <AE10>
        {36, 36},    // Return
        {51, 22},    // Backspace
        {53, 9},     // Escape
        {49, 65},    // Space
        {50, 49},    // grave, <TLDE>
        {10, 94},    // ISO section, <LSGT>
        {122, 67},   // F1
        {111, 96},   // F12
        {115, 110},  // Home
        {117, 119},  // forward Delete
        {123, 113},  // Left
        {126, 111},  // Up
        {71, 77},    // keypad Clear -> Num Lock
        {83, 87},    // keypad 1
        {92, 81},    // keypad 9
        {76, 104},   // keypad Enter
        {81, 125},   // keypad equals
        {56, 50},    // Shift_L
        {60, 62},    // Shift_R
        {59, 37},    // Control_L
        {58, 64},    // Alt_L (Option)
        {61, 108},   // Alt_R
        {55, 133},   // Super_L (Command)
        {54, 134},   // Super_R
        {57, 66},    // Caps Lock
    };
    for (auto [mac, x] : cases) {
        auto code = x11keys::xKeyCode(mac);
        ASSERT_TRUE(code.has_value()) << mac;
        EXPECT_EQ(*code, x) << "key code " << mac;
    }
}

TEST(X11KeyCodes, CodesWithoutAKeyHaveNone) {
    for (uint16_t mac :
         {52, 66, 68, 70, 72, 73, 74, 77, 79, 80, 90, 93, 94, 95, 127, 128, 1000, 65535}) {
        EXPECT_FALSE(x11keys::xKeyCode(mac).has_value()) << mac;
    }
}

TEST(X11KeyCodes, ModifierKeysAreFiftyFourToSixtyTwo) {
    for (const auto& [code, mask] : KeyInjectorCore::modifierKeyFlags()) {
        EXPECT_TRUE(x11keys::isModifierKey(code)) << code;
    }
    EXPECT_FALSE(x11keys::isModifierKey(53));
    EXPECT_FALSE(x11keys::isModifierKey(63));
}

}  // namespace
}  // namespace panelora
