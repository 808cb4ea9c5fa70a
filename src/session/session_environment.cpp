#include "session/session_environment.h"

#include "input/cursor_tracker.h"
#include "input/key_injector.h"
#include "input/pointer_injector.h"
#include "support/main_queue.h"

namespace panelora {
namespace {

class ProcessInput final : public SessionInput {
  public:
    void resetInjectionState() override { panelora::resetInjectionState(); }
    void injectTouch(uint8_t phase, DisplayID display, float x, float y) override {
        panelora::injectTouch(phase, display, x, y);
    }
    void injectScroll(float dx, float dy) override { panelora::injectScroll(dx, dy); }
    void injectKey(const KeyEvent& event) override { KeyInjectorCore::shared()->inject(event); }
    void releaseHeldButton() override { panelora::releaseHeldButton(); }
    void releaseAllKeys() override { KeyInjectorCore::shared()->releaseAll(); }
};

class NoActivity final : public ProcessActivity {
  public:
    std::shared_ptr<void> begin(const char*) override { return nullptr; }
};

class TrackerAdapter final : public SessionCursorTracker {
  public:
    explicit TrackerAdapter(std::shared_ptr<CursorTracker> tracker)
        : tracker_(std::move(tracker)) {}
    void start() override { tracker_->start(); }
    void stop() override { tracker_->stop(); }

  private:
    std::shared_ptr<CursorTracker> tracker_;
};

class ArrangementAdapter final : public SessionArrangement {
  public:
    explicit ArrangementAdapter(std::shared_ptr<DisplayArrangement> arrangement)
        : arrangement_(std::move(arrangement)) {}
    void start() override { arrangement_->start(); }
    void move(DisplayArrangement::Side side) override { arrangement_->move(side); }
    void unregister() override { arrangement_->unregister(); }

  private:
    std::shared_ptr<DisplayArrangement> arrangement_;
};

}  // namespace

std::shared_ptr<SessionInput> SessionEnvironment::processInput() {
    return std::make_shared<ProcessInput>();
}

std::shared_ptr<ProcessActivity> SessionEnvironment::noActivity() {
    return std::make_shared<NoActivity>();
}

std::shared_ptr<SerialQueue> SessionEnvironment::realQueue(const char* label,
                                                           QueuePriority priority) {
    return SerialQueue::create(label, priority);
}

SessionEnvironment SessionEnvironment::standard(VirtualDisplayBackend& displays,
                                                CaptureBackend& capture,
                                                VideoCodecFactory& codecs) {
    SessionEnvironment env;
    env.displays = &displays;
    env.capture = &capture;
    env.codecs = &codecs;
    env.input = processInput();
    env.makeCursorTracker = [](DisplayID display, int64_t logicalWidth, PacketSender send) {
        auto tracker = CursorTracker::create(
            display, logicalWidth,
            [send = std::move(send)](Wire::PacketType type, std::span<const uint8_t> payload) {
                send(type, std::vector<uint8_t>(payload.begin(), payload.end()));
            });
        return std::make_shared<TrackerAdapter>(std::move(tracker));
    };
    env.makeArrangement = [](DisplayID display) {
        return std::make_shared<ArrangementAdapter>(DisplayArrangement::create(display));
    };
    env.activity = noActivity();
    env.mainQueue = panelora::mainQueue();
    env.makeQueue = &SessionEnvironment::realQueue;
    // One for the process, so that releases keep their order; never destroyed, since a release
    // may still run at exit.
    static const auto* release = new std::shared_ptr<SerialQueue>(
        SerialQueue::create("panelora.display.release", QueuePriority::userInitiated));
    env.displayRelease = *release;
    return env;
}

}  // namespace panelora
