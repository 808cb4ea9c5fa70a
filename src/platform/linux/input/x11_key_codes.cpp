#include "platform/linux/input/x11_key_codes.h"

#include <array>

namespace panelora::x11keys {
namespace {

struct Row {
    uint16_t mac;    // kVK_* value
    uint16_t evdev;  // KEY_* value of <linux/input-event-codes.h>
};

// Grouped as the keyboard is; names are the evdev ones.
constexpr Row kRows[] = {
    // letters
    {0, 30},   // A
    {11, 48},  // B
    {8, 46},   // C
    {2, 32},   // D
    {14, 18},  // E
    {3, 33},   // F
    {5, 34},   // G
    {4, 35},   // H
    {34, 23},  // I
    {38, 36},  // J
    {40, 37},  // K
    {37, 38},  // L
    {46, 50},  // M
    {45, 49},  // N
    {31, 24},  // O
    {35, 25},  // P
    {12, 16},  // Q
    {15, 19},  // R
    {1, 31},   // S
    {17, 20},  // T
    {32, 22},  // U
    {9, 47},   // V
    {13, 17},  // W
    {7, 45},   // X
    {16, 21},  // Y
    {6, 44},   // Z
    // digits row
    {18, 2},   // 1
    {19, 3},   // 2
    {20, 4},   // 3
    {21, 5},   // 4
    {23, 6},   // 5
    {22, 7},   // 6
    {26, 8},   // 7
    {28, 9},   // 8
    {25, 10},  // 9
    {29, 11},  // 0
    // editing and punctuation
    {36, 28},  // ENTER (Return)
    {53, 1},   // ESC
    {51, 14},  // BACKSPACE (Delete)
    {48, 15},  // TAB
    {49, 57},  // SPACE
    {27, 12},  // MINUS
    {24, 13},  // EQUAL
    {33, 26},  // LEFTBRACE
    {30, 27},  // RIGHTBRACE
    {42, 43},  // BACKSLASH
    {41, 39},  // SEMICOLON
    {39, 40},  // APOSTROPHE
    {50, 41},  // GRAVE
    {43, 51},  // COMMA
    {47, 52},  // DOT
    {44, 53},  // SLASH
    {10, 86},  // 102ND (non-US backslash, ISO section key)
    // function keys
    {122, 59},  // F1
    {120, 60},  // F2
    {99, 61},   // F3
    {118, 62},  // F4
    {96, 63},   // F5
    {97, 64},   // F6
    {98, 65},   // F7
    {100, 66},  // F8
    {101, 67},  // F9
    {109, 68},  // F10
    {103, 87},  // F11
    {111, 88},  // F12
    // navigation
    {114, 110},  // INSERT (Help on Mac keyboards)
    {115, 102},  // HOME
    {116, 104},  // PAGEUP
    {117, 111},  // DELETE (forward delete)
    {119, 107},  // END
    {121, 109},  // PAGEDOWN
    {124, 106},  // RIGHT
    {123, 105},  // LEFT
    {125, 108},  // DOWN
    {126, 103},  // UP
    // keypad
    {71, 69},   // NUMLOCK (keypad Clear)
    {75, 98},   // KPSLASH
    {67, 55},   // KPASTERISK
    {78, 74},   // KPMINUS
    {69, 78},   // KPPLUS
    {76, 96},   // KPENTER
    {83, 79},   // KP1
    {84, 80},   // KP2
    {85, 81},   // KP3
    {86, 75},   // KP4
    {87, 76},   // KP5
    {88, 77},   // KP6
    {89, 71},   // KP7
    {91, 72},   // KP8
    {92, 73},   // KP9
    {82, 82},   // KP0
    {65, 83},   // KPDOT
    {81, 117},  // KPEQUAL
    // modifiers
    {59, 29},   // LEFTCTRL
    {62, 97},   // RIGHTCTRL
    {56, 42},   // LEFTSHIFT
    {60, 54},   // RIGHTSHIFT
    {58, 56},   // LEFTALT (Option)
    {61, 100},  // RIGHTALT
    {55, 125},  // LEFTMETA (Command)
    {54, 126},  // RIGHTMETA
    {57, 58},   // CAPSLOCK
};

// Indexed by macOS key code (all are below 128); 0 = no key.
constexpr std::array<uint16_t, 128> buildTable() {
    std::array<uint16_t, 128> table{};
    for (const Row& row : kRows)
        table[row.mac] = row.evdev;
    return table;
}

constexpr auto kTable = buildTable();

}  // namespace

std::optional<uint16_t> evdevCode(uint16_t macKeyCode) {
    if (macKeyCode >= kTable.size() || kTable[macKeyCode] == 0) return std::nullopt;
    return kTable[macKeyCode];
}

std::optional<uint8_t> xKeyCode(uint16_t macKeyCode) {
    auto code = evdevCode(macKeyCode);
    // X keycodes are 8…255.
    if (!code || *code + 8 > 255) return std::nullopt;
    return static_cast<uint8_t>(*code + 8);
}

}  // namespace panelora::x11keys
