#include "platform/linux/keys/evdev_key_codes.h"

#include <array>

namespace panelora::evdevkeys {
namespace {

struct Row {
    uint16_t mac;      // kVK_* value
    uint16_t evdev;    // KEY_* value of <linux/input-event-codes.h>
    const char* name;  // the XKB key name, the same in the evdev and the older xfree86 keycodes
};

// Grouped as the keyboard is; names are the evdev ones.
constexpr Row kRows[] = {
    // letters
    {0, 30, "AC01"},   // A
    {11, 48, "AB05"},  // B
    {8, 46, "AB03"},   // C
    {2, 32, "AC03"},   // D
    {14, 18, "AD03"},  // E
    {3, 33, "AC04"},   // F
    {5, 34, "AC05"},   // G
    {4, 35, "AC06"},   // H
    {34, 23, "AD08"},  // I
    {38, 36, "AC07"},  // J
    {40, 37, "AC08"},  // K
    {37, 38, "AC09"},  // L
    {46, 50, "AB07"},  // M
    {45, 49, "AB06"},  // N
    {31, 24, "AD09"},  // O
    {35, 25, "AD10"},  // P
    {12, 16, "AD01"},  // Q
    {15, 19, "AD04"},  // R
    {1, 31, "AC02"},   // S
    {17, 20, "AD05"},  // T
    {32, 22, "AD07"},  // U
    {9, 47, "AB04"},   // V
    {13, 17, "AD02"},  // W
    {7, 45, "AB02"},   // X
    {16, 21, "AD06"},  // Y
    {6, 44, "AB01"},   // Z
    // digits row
    {18, 2, "AE01"},   // 1
    {19, 3, "AE02"},   // 2
    {20, 4, "AE03"},   // 3
    {21, 5, "AE04"},   // 4
    {23, 6, "AE05"},   // 5
    {22, 7, "AE06"},   // 6
    {26, 8, "AE07"},   // 7
    {28, 9, "AE08"},   // 8
    {25, 10, "AE09"},  // 9
    {29, 11, "AE10"},  // 0
    // editing and punctuation
    {36, 28, "RTRN"},  // ENTER (Return)
    {53, 1, "ESC"},    // ESC
    {51, 14, "BKSP"},  // BACKSPACE (Delete)
    {48, 15, "TAB"},   // TAB
    {49, 57, "SPCE"},  // SPACE
    {27, 12, "AE11"},  // MINUS
    {24, 13, "AE12"},  // EQUAL
    {33, 26, "AD11"},  // LEFTBRACE
    {30, 27, "AD12"},  // RIGHTBRACE
    {42, 43, "BKSL"},  // BACKSLASH
    {41, 39, "AC10"},  // SEMICOLON
    {39, 40, "AC11"},  // APOSTROPHE
    {50, 41, "TLDE"},  // GRAVE
    {43, 51, "AB08"},  // COMMA
    {47, 52, "AB09"},  // DOT
    {44, 53, "AB10"},  // SLASH
    {10, 86, "LSGT"},  // 102ND (non-US backslash, ISO section key)
    // function keys
    {122, 59, "FK01"},  // F1
    {120, 60, "FK02"},  // F2
    {99, 61, "FK03"},   // F3
    {118, 62, "FK04"},  // F4
    {96, 63, "FK05"},   // F5
    {97, 64, "FK06"},   // F6
    {98, 65, "FK07"},   // F7
    {100, 66, "FK08"},  // F8
    {101, 67, "FK09"},  // F9
    {109, 68, "FK10"},  // F10
    {103, 87, "FK11"},  // F11
    {111, 88, "FK12"},  // F12
    // navigation
    {114, 110, "INS"},   // INSERT (Help on Mac keyboards)
    {115, 102, "HOME"},  // HOME
    {116, 104, "PGUP"},  // PAGEUP
    {117, 111, "DELE"},  // DELETE (forward delete)
    {119, 107, "END"},   // END
    {121, 109, "PGDN"},  // PAGEDOWN
    {124, 106, "RGHT"},  // RIGHT
    {123, 105, "LEFT"},  // LEFT
    {125, 108, "DOWN"},  // DOWN
    {126, 103, "UP"},    // UP
    // keypad
    {71, 69, "NMLK"},   // NUMLOCK (keypad Clear)
    {75, 98, "KPDV"},   // KPSLASH
    {67, 55, "KPMU"},   // KPASTERISK
    {78, 74, "KPSU"},   // KPMINUS
    {69, 78, "KPAD"},   // KPPLUS
    {76, 96, "KPEN"},   // KPENTER
    {83, 79, "KP1"},    // KP1
    {84, 80, "KP2"},    // KP2
    {85, 81, "KP3"},    // KP3
    {86, 75, "KP4"},    // KP4
    {87, 76, "KP5"},    // KP5
    {88, 77, "KP6"},    // KP6
    {89, 71, "KP7"},    // KP7
    {91, 72, "KP8"},    // KP8
    {92, 73, "KP9"},    // KP9
    {82, 82, "KP0"},    // KP0
    {65, 83, "KPDL"},   // KPDOT
    {81, 117, "KPEQ"},  // KPEQUAL
    // modifiers
    {59, 29, "LCTL"},   // LEFTCTRL
    {62, 97, "RCTL"},   // RIGHTCTRL
    {56, 42, "LFSH"},   // LEFTSHIFT
    {60, 54, "RTSH"},   // RIGHTSHIFT
    {58, 56, "LALT"},   // LEFTALT (Option)
    {61, 100, "RALT"},  // RIGHTALT
    {55, 125, "LWIN"},  // LEFTMETA (Command)
    {54, 126, "RWIN"},  // RIGHTMETA
    {57, 58, "CAPS"},   // CAPSLOCK
};

// Indexed by macOS key code (all are below 128); 0 = no key.
constexpr std::array<uint16_t, 128> buildTable() {
    std::array<uint16_t, 128> table{};
    for (const Row& row : kRows)
        table[row.mac] = row.evdev;
    return table;
}

constexpr auto kTable = buildTable();

constexpr std::array<const char*, 128> buildNames() {
    std::array<const char*, 128> table{};
    for (const Row& row : kRows)
        table[row.mac] = row.name;
    return table;
}

constexpr auto kNames = buildNames();

}  // namespace

std::optional<uint16_t> evdevCode(uint16_t macKeyCode) {
    if (macKeyCode >= kTable.size() || kTable[macKeyCode] == 0) return std::nullopt;
    return kTable[macKeyCode];
}

std::optional<std::string_view> xkbKeyName(uint16_t macKeyCode) {
    if (macKeyCode >= kNames.size() || kNames[macKeyCode] == nullptr) return std::nullopt;
    return std::string_view(kNames[macKeyCode]);
}

std::optional<uint8_t> xKeyCode(uint16_t macKeyCode) {
    auto code = evdevCode(macKeyCode);
    // X keycodes are 8…255.
    if (!code || *code + 8 > 255) return std::nullopt;
    return static_cast<uint8_t>(*code + 8);
}

}  // namespace panelora::evdevkeys
