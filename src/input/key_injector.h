// KeyInjectorCore: key events from the tablet become keyboard events on the computer, with the
// auto-repeat generated here (0.4 s delay, then every 35 ms) since synthetic key-downs do not
// repeat by themselves.
//
// One process-wide instance, shared(), lives from first use to the end of the process; its sink
// posts through the EventPoster given to installInjectionBackends(). inject() is called on the
// session's reader thread and releaseAll() at each session's end; all state is touched only on
// the instance's serial queue, so it needs no lock. Repeat timers hold the instance weakly.
// Instances must be owned by a std::shared_ptr (make_shared or shared()).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>

#include "protocol/wire.h"
#include "support/serial_queue.h"
#include "support/timer_source.h"

namespace panelora {

class KeyInjectorCore : public std::enable_shared_from_this<KeyInjectorCore> {
  public:
    // Posts one keyboard event: macOS virtual key code, down/up, EventFlags, auto-repeat mark.
    using Sink = std::function<void(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat)>;

    static constexpr double repeatDelay = 0.4;       // seconds from a press to its first repeat
    static constexpr double repeatInterval = 0.035;  // seconds between repeats

    KeyInjectorCore(Sink sink, std::shared_ptr<SerialQueue> queue);
    ~KeyInjectorCore();
    KeyInjectorCore(const KeyInjectorCore&) = delete;
    KeyInjectorCore& operator=(const KeyInjectorCore&) = delete;

    // The process's instance on the queue "panelora.keys", created on first use (thread-safe).
    static std::shared_ptr<KeyInjectorCore> shared();

    // HID keyboard usage (page 7) -> macOS virtual key code: 102 rows.
    static const std::unordered_map<uint16_t, uint16_t>& usageKeyCodes();
    // Modifier key code -> EventFlags mask: 9 rows.
    static const std::unordered_map<uint16_t, uint64_t>& modifierKeyFlags();
    // The EventFlags for the low five bits of a key event's modifier byte.
    static uint64_t flags(KeyEvent::Modifiers modifiers);

    // Any thread. Drops usages without a key code; otherwise applies the event on the queue.
    void inject(const KeyEvent& event);
    // Any thread. Releases every held key on the queue (key-ups with flags 0) and stops repeats.
    void releaseAll();

    // Any thread. With it on, the Command keys and the Command flag reach the system as Control
    // (shortcuts there are Ctrl+letter where the Mac's are Command+letter); Option stays as it
    // is. A change waits until no key is held, so that a key is released as what it was pressed.
    void setCommandActsAsControl(bool on);
    // The Command → Control rewrite of one event.
    static void commandAsControl(uint16_t& keyCode, uint64_t& flags);

    // On the queue.
    void apply(const KeyEvent& event, uint16_t keyCode);
    void startRepeat(uint16_t keyCode);
    void stopRepeat(uint16_t keyCode);

    // On the queue (tests read them after running it).
    const std::set<uint16_t>& held() const { return held_; }
    bool commandActsAsControl() const { return commandAsControl_; }
    uint64_t currentFlags() const { return currentFlags_; }
    size_t repeatTimerCount() const { return repeatTimers_.size(); }
    const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

  private:
    void post(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat);
    void applyWantedSetting();

    const std::shared_ptr<SerialQueue> queue_;
    const Sink sink_;
    std::map<uint16_t, std::shared_ptr<TimerSource>> repeatTimers_;
    std::set<uint16_t> held_;
    uint64_t currentFlags_ = 0;
    bool commandAsControl_ = false;
    bool commandAsControlWanted_ = false;
};

}  // namespace panelora
