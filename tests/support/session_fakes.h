// Everything a Session reaches outside itself, faked and recorded, and the environment that
// wires them in: the statistics, the key-frame fallback and the main queue run on a manual clock,
// the send queue on a real thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media_fakes.h"
#include "session/session_environment.h"
#include "support/manual_clock.h"

namespace panelora::test {

// Records every call as a line: "touch 0 100 0.500000 0.250000", "key 4 down 1", …
class RecordingInput final : public SessionInput {
  public:
    void resetInjectionState() override { record("reset"); }
    void injectTouch(uint8_t phase, DisplayID display, float x, float y) override {
        record("touch " + std::to_string(phase) + " " + std::to_string(display) + " " +
               std::to_string(x) + " " + std::to_string(y));
    }
    void injectScroll(float dx, float dy) override {
        record("scroll " + std::to_string(dx) + " " + std::to_string(dy));
    }
    void injectKey(const KeyEvent& e) override {
        record("key " + std::to_string(e.usage) + (e.isDown ? " down " : " up ") +
               std::to_string(e.modifiers.rawValue));
    }
    void releaseAllKeys() override { record("releaseAll"); }
    void releaseHeldButton() override { record("releaseHeldButton"); }

    std::vector<std::string> calls() {
        std::lock_guard lock(mutex);
        return log;
    }
    void record(std::string call) {
        std::lock_guard lock(mutex);
        log.push_back(std::move(call));
    }

    std::mutex mutex;
    std::vector<std::string> log;
};

struct FakeTracker final : SessionCursorTracker {
    void start() override { ++started; }
    void stop() override { ++stopped; }
    std::atomic<int> started{0};
    std::atomic<int> stopped{0};
};

struct FakeArrangement final : SessionArrangement {
    void start() override { calls.push_back("start"); }
    void move(DisplayArrangement::Side side) override {
        calls.push_back(side == DisplayArrangement::Side::left ? "move left" : "move right");
    }
    void unregister() override { calls.push_back("unregister"); }
    std::vector<std::string> calls;  // main queue only
};

struct SessionFakes {
    ManualClock clock;
    FakeDisplays displays;
    FakeCapture capture{&displays};
    FakeCodecs codecs;
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
    std::shared_ptr<SerialQueue> mainQueue = clock.makeQueue("main");
    std::shared_ptr<FakeTracker> tracker;          // the last one made
    std::shared_ptr<FakeArrangement> arrangement;  // the last one made

    SessionEnvironment environment() {
        SessionEnvironment env;
        env.displays = &displays;
        env.capture = &capture;
        env.codecs = &codecs;
        env.input = input;
        env.makeCursorTracker = [this](DisplayID, int64_t, SessionEnvironment::PacketSender) {
            return tracker = std::make_shared<FakeTracker>();
        };
        env.makeArrangement = [this](DisplayID) {
            return arrangement = std::make_shared<FakeArrangement>();
        };
        env.activity = SessionEnvironment::noActivity();
        env.clock = &clock;
        env.mainQueue = mainQueue;
        env.makeQueue = [this](const char* label, QueuePriority priority) {
            if (std::string(label) == "panelora.send") return SerialQueue::create(label, priority);
            return clock.makeQueue(label);
        };
        env.helloTimeout = std::chrono::milliseconds(100);
        return env;
    }
};

}  // namespace panelora::test
