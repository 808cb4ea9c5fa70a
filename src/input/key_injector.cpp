#include "input/key_injector.h"

#include <array>
#include <chrono>
#include <utility>

#include "input/event_poster.h"
#include "input/pointer_injector.h"

namespace panelora {

namespace {

constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

// Literal usage -> key code pairs (94), in usage order; the modifier usages are added after.
constexpr std::array<std::pair<uint16_t, uint16_t>, 94> kUsagePairs{{
    // a to z
    {4, 0},
    {5, 11},
    {6, 8},
    {7, 2},
    {8, 14},
    {9, 3},
    {10, 5},
    {11, 4},
    {12, 34},
    {13, 38},
    {14, 40},
    {15, 37},
    {16, 46},
    {17, 45},
    {18, 31},
    {19, 35},
    {20, 12},
    {21, 15},
    {22, 1},
    {23, 17},
    {24, 32},
    {25, 9},
    {26, 13},
    {27, 7},
    {28, 16},
    {29, 6},
    // 1 to 9, 0
    {30, 18},
    {31, 19},
    {32, 20},
    {33, 21},
    {34, 23},
    {35, 22},
    {36, 26},
    {37, 28},
    {38, 25},
    {39, 29},
    // Return, Escape, Delete, Tab, Space, - = [ ] backslash
    {40, 36},
    {41, 53},
    {42, 51},
    {43, 48},
    {44, 49},
    {45, 27},
    {46, 24},
    {47, 33},
    {48, 30},
    {49, 42},
    // ; ' ` , . / Caps Lock
    {51, 41},
    {52, 39},
    {53, 50},
    {54, 43},
    {55, 47},
    {56, 44},
    {57, 57},
    // F1 to F12
    {58, 122},
    {59, 120},
    {60, 99},
    {61, 118},
    {62, 96},
    {63, 97},
    {64, 98},
    {65, 100},
    {66, 101},
    {67, 109},
    {68, 103},
    {69, 111},
    // Insert, Home, Page Up, Delete Forward, End, Page Down, Right, Left, Down, Up
    {73, 114},
    {74, 115},
    {75, 116},
    {76, 117},
    {77, 119},
    {78, 121},
    {79, 124},
    {80, 123},
    {81, 125},
    {82, 126},
    // keypad Clear, /, *, -, +, Enter
    {83, 71},
    {84, 75},
    {85, 67},
    {86, 78},
    {87, 69},
    {88, 76},
    // keypad 1 to 9, 0, period
    {89, 83},
    {90, 84},
    {91, 85},
    {92, 86},
    {93, 87},
    {94, 88},
    {95, 89},
    {96, 91},
    {97, 92},
    {98, 82},
    {99, 65},
    // non-US backslash, keypad equals
    {100, 10},
    {103, 81},
}};

// Left Control, Left Shift, Left Alt, Left GUI, Right Control, Right Shift, Right Alt, Right GUI.
constexpr std::array<std::pair<uint16_t, uint16_t>, 8> kModifierUsages{{
    {224, 59},
    {225, 56},
    {226, 58},
    {227, 55},
    {228, 62},
    {229, 60},
    {230, 61},
    {231, 54},
}};

}  // namespace

KeyInjectorCore::KeyInjectorCore(Sink sink, std::shared_ptr<SerialQueue> queue)
    : queue_(std::move(queue)), sink_(std::move(sink)) {}

KeyInjectorCore::~KeyInjectorCore() {
    for (auto& [code, timer] : repeatTimers_)
        timer->cancel();
}

std::shared_ptr<KeyInjectorCore> KeyInjectorCore::shared() {
    // The poster is looked up per event, so the instance may be made before the backends are
    // installed. Never destroyed: the queue's thread would otherwise be joined at exit.
    static auto* instance = new std::shared_ptr<KeyInjectorCore>(std::make_shared<KeyInjectorCore>(
        [](uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) {
            if (auto poster = installedInjectionBackends().poster)
                poster->postKey(keyCode, isDown, flags, isRepeat);
        },
        SerialQueue::create("panelora.keys", QueuePriority::userInteractive)));
    return *instance;
}

const std::unordered_map<uint16_t, uint16_t>& KeyInjectorCore::usageKeyCodes() {
    static const auto* table = [] {
        auto* map =
            new std::unordered_map<uint16_t, uint16_t>(kUsagePairs.begin(), kUsagePairs.end());
        for (auto [usage, code] : kModifierUsages)
            (*map)[usage] = code;
        return map;
    }();
    return *table;
}

const std::unordered_map<uint16_t, uint64_t>& KeyInjectorCore::modifierKeyFlags() {
    static const auto* table = new std::unordered_map<uint16_t, uint64_t>{
        {59, EventFlags::control}, {62, EventFlags::control}, {56, EventFlags::shift},
        {60, EventFlags::shift},   {58, EventFlags::option},  {61, EventFlags::option},
        {55, EventFlags::command}, {54, EventFlags::command}, {57, EventFlags::capsLock},
    };
    return *table;
}

uint64_t KeyInjectorCore::flags(KeyEvent::Modifiers modifiers) {
    uint64_t result = 0;
    if (modifiers.contains(KeyEvent::Modifiers::shift)) result |= EventFlags::shift;
    if (modifiers.contains(KeyEvent::Modifiers::control)) result |= EventFlags::control;
    if (modifiers.contains(KeyEvent::Modifiers::option)) result |= EventFlags::option;
    if (modifiers.contains(KeyEvent::Modifiers::command)) result |= EventFlags::command;
    if (modifiers.contains(KeyEvent::Modifiers::capsLock)) result |= EventFlags::capsLock;
    return result;
}

void KeyInjectorCore::inject(const KeyEvent& event) {
    const auto& table = usageKeyCodes();
    auto it = table.find(event.usage);
    if (it == table.end()) return;
    uint16_t keyCode = it->second;
    queue_->post([self = shared_from_this(), event, keyCode] { self->apply(event, keyCode); });
}

void KeyInjectorCore::apply(const KeyEvent& event, uint16_t keyCode) {
    uint64_t eventFlags = flags(event.modifiers);
    const auto& modifiers = modifierKeyFlags();
    auto modifier = modifiers.find(keyCode);
    bool isModifier = modifier != modifiers.end();
    // A modifier's own press carries its flag and its own release does not, whatever the
    // tablet's modifier byte said.
    if (isModifier) {
        if (event.isDown)
            eventFlags |= modifier->second;
        else
            eventFlags &= ~modifier->second;
    }
    currentFlags_ = eventFlags;
    post(keyCode, event.isDown, eventFlags, false);
    if (event.isDown) {
        held_.insert(keyCode);
    } else {
        held_.erase(keyCode);
        applyWantedSetting();
    }
    if (isModifier) return;  // modifiers, Caps Lock included, never repeat
    if (event.isDown)
        startRepeat(keyCode);
    else
        stopRepeat(keyCode);
}

void KeyInjectorCore::startRepeat(uint16_t keyCode) {
    stopRepeat(keyCode);
    std::weak_ptr<KeyInjectorCore> weak = weak_from_this();
    auto timer = TimerSource::create(queue_, [weak, keyCode] {
        if (auto self = weak.lock()) {
            self->post(keyCode, true, self->currentFlags_, true);
        }
    });
    timer->schedule(seconds(repeatDelay), seconds(repeatInterval), Duration::zero());
    repeatTimers_[keyCode] = timer;
    timer->resume();
}

void KeyInjectorCore::stopRepeat(uint16_t keyCode) {
    auto it = repeatTimers_.find(keyCode);
    if (it == repeatTimers_.end()) return;
    auto timer = std::move(it->second);
    repeatTimers_.erase(it);
    timer->cancel();
}

void KeyInjectorCore::releaseAll() {
    queue_->post([self = shared_from_this()] {
        for (auto& [code, timer] : self->repeatTimers_)
            timer->cancel();
        self->repeatTimers_.clear();
        for (uint16_t code : self->held_)
            self->post(code, false, 0, false);
        self->held_.clear();
        self->currentFlags_ = 0;
        self->applyWantedSetting();
    });
}

void KeyInjectorCore::setCommandActsAsControl(bool on) {
    queue_->post([self = shared_from_this(), on] {
        self->commandAsControlWanted_ = on;
        self->applyWantedSetting();
    });
}

void KeyInjectorCore::applyWantedSetting() {
    if (held_.empty()) commandAsControl_ = commandAsControlWanted_;
}

void KeyInjectorCore::commandAsControl(uint16_t& keyCode, uint64_t& flags) {
    constexpr uint16_t command = 55, rightCommand = 54, control = 59, rightControl = 62;
    if (keyCode == command) keyCode = control;
    if (keyCode == rightCommand) keyCode = rightControl;
    if (flags & EventFlags::command) flags = (flags & ~EventFlags::command) | EventFlags::control;
}

void KeyInjectorCore::post(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) {
    if (!sink_) return;
    if (commandAsControl_) commandAsControl(keyCode, flags);
    sink_(keyCode, isDown, flags, isRepeat);
}

}  // namespace panelora
