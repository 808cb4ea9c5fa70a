#include "input/key_injector.h"
#include "platform/linux/keys/evdev_key_codes.h"
#include "test_prelude.h"

namespace panelora {
namespace {

TEST(X11KeyCodes, EveryKeyCodeOfTheUsageTableHasAnXKey) {
    const auto& table = KeyInjectorCore::usageKeyCodes();
    ASSERT_EQ(table.size(), 102u);
    std::map<uint16_t, uint16_t> evdevOfMac;
    for (const auto& [usage, macKeyCode] : table) {
        auto evdev = evdevkeys::evdevCode(macKeyCode);
        ASSERT_TRUE(evdev.has_value()) << "usage " << usage << ", key code " << macKeyCode;
        auto x = evdevkeys::xKeyCode(macKeyCode);
        ASSERT_TRUE(x.has_value());
        EXPECT_EQ(*x, *evdev + 8);
        auto name = evdevkeys::xkbKeyName(macKeyCode);
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

// Codes of no key have no X key; the modifier keys are 54 to 62.
TEST(X11KeyCodes, CodesWithoutAKeyHaveNoneAndTheModifiersAreKnown) {
    for (uint16_t mac :
         {52, 66, 68, 70, 72, 73, 74, 77, 79, 80, 90, 93, 94, 95, 127, 128, 1000, 65535})
        EXPECT_FALSE(evdevkeys::xKeyCode(mac).has_value()) << mac;
    for (const auto& [code, mask] : KeyInjectorCore::modifierKeyFlags())
        EXPECT_TRUE(evdevkeys::isModifierKey(code)) << code;
    EXPECT_FALSE(evdevkeys::isModifierKey(53) || evdevkeys::isModifierKey(63));
}

}  // namespace
}  // namespace panelora
