#include "video/screen_capturer.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <thread>

namespace panelora {
namespace {

// Streams being stopped on detached threads. The process-wide record lets exit wait (briefly)
// for stops still running, so that no stop is cut off half-way by static destruction. Each
// thread holds the state shared, so it never outlives what it touches.
struct PendingStops {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;  // guarded by mutex
};

class PendingStopsAtExit {
  public:
    PendingStopsAtExit() : state(std::make_shared<PendingStops>()) {}
    ~PendingStopsAtExit() {
        std::unique_lock guard(state->mutex);
        state->idle.wait_for(guard, std::chrono::seconds(2), [&] { return state->running == 0; });
    }
    const std::shared_ptr<PendingStops> state;
};

std::shared_ptr<PendingStops> pendingStops() {
    static PendingStopsAtExit record;
    return record.state;
}

// Stops the stream without making the caller wait: stop() may block while the platform winds
// the capture down, and the caller may be the capture queue or a platform callback. The thread
// owns the stream; the stream's callbacks hold the capturer weakly.
void stopDetached(std::unique_ptr<CaptureStream> stream) {
    auto record = pendingStops();
    {
        std::lock_guard guard(record->mutex);
        ++record->running;
    }
    std::thread([record, stream = std::move(stream)]() mutable {
        stream->stop();
        stream.reset();
        std::lock_guard guard(record->mutex);
        if (--record->running == 0) record->idle.notify_all();
    }).detach();
}

ScreenCapturer::CaptureError platformError(std::string message) {
    return {ScreenCapturer::CaptureError::Kind::platform, std::move(message)};
}

}  // namespace

std::string ScreenCapturer::CaptureError::description() const {
    switch (kind) {
        case Kind::displayNotFound:
            return "Virtual display didn't appear (is Screen Recording allowed for Panelora?)";
        case Kind::platform:
            return platformMessage;
        case Kind::cancelled:
            return "The capture was stopped while it was starting";
    }
    return platformMessage;
}

std::shared_ptr<ScreenCapturer> ScreenCapturer::create(CaptureBackend& backend,
                                                       FrameCallback onFrame, const Clock& clock) {
    return std::shared_ptr<ScreenCapturer>(new ScreenCapturer(backend, std::move(onFrame), clock));
}

ScreenCapturer::ScreenCapturer(CaptureBackend& backend, FrameCallback onFrame, const Clock& clock)
    : backend_(backend), onFrame_(std::move(onFrame)), clock_(clock) {}

ScreenCapturer::~ScreenCapturer() {
    stopCapture();
}

CaptureConfiguration ScreenCapturer::configurationFor(const StreamProfile& profile,
                                                      bool showsCursor) {
    CaptureConfiguration configuration;
    configuration.width = profile.width;
    configuration.height = profile.height;
    configuration.fps = static_cast<int32_t>(
        std::clamp<int64_t>(profile.fps, 1, std::numeric_limits<int32_t>::max()));
    configuration.pixelFormat = kPixelFormat420v;
    configuration.queueDepth = 4;
    configuration.showsCursor = showsCursor;
    return configuration;
}

std::optional<ScreenCapturer::CaptureError> ScreenCapturer::start(DisplayID displayID,
                                                                  const StreamProfile& profile,
                                                                  bool showsCursor) {
    const StopToken stop = stopSource_.token();
    const CaptureError cancelled{CaptureError::Kind::cancelled, {}};

    // A fresh virtual display takes a moment to become capturable: look for it up to 15 times,
    // 0.3 s apart. An error of the query itself (no permission) is final.
    for (int attempt = 0;; ++attempt) {
        if (stop.stopRequested()) return cancelled;
        std::string why;
        const std::vector<DisplayID> displays = backend_.shareableDisplays(&why);
        if (!why.empty()) return platformError(why);
        if (std::find(displays.begin(), displays.end(), displayID) != displays.end()) break;
        if (!clock_.sleepFor(kDisplayRetryDelay, stop)) return cancelled;
        if (attempt == kDisplayAttempts - 1) return CaptureError{};
    }

    auto queue = SerialQueue::create("panelora.capture", QueuePriority::userInteractive);
    {
        std::lock_guard guard(mutex_);
        if (stopped_) return cancelled;
        queue_ = queue;
    }

    std::weak_ptr<ScreenCapturer> weak = weak_from_this();
    CaptureBackend::Callbacks callbacks;
    callbacks.onSample = [weak](const CaptureSample& sample) {
        if (auto self = weak.lock()) self->handleSample(sample);
    };
    callbacks.onStopped = [weak] {
        auto self = weak.lock();
        if (self && self->onStopped) self->onStopped();
    };

    std::string why;
    std::unique_ptr<CaptureStream> stream = backend_.startStream(
        displayID, configurationFor(profile, showsCursor), queue, std::move(callbacks), &why);
    if (!stream)
        return platformError(why.empty() ? "The screen capture could not be started" : why);

    {
        std::lock_guard guard(mutex_);
        if (!stopped_) {
            stream_ = std::move(stream);
            return std::nullopt;
        }
    }
    // stopCapture() ran while the stream was starting and found nothing to stop; this stream
    // would otherwise run on with nobody left to stop it. We are on the start thread, not the
    // capture queue, so stopping it here and now is safe.
    stream->stop();
    return cancelled;
}

void ScreenCapturer::stopCapture() {
    std::unique_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(mutex_);
        stopped_ = true;
        stream = std::move(stream_);
    }
    // Wakes a start() that is waiting for the display.
    stopSource_.requestStop();
    if (stream) stopDetached(std::move(stream));
}

void ScreenCapturer::handleSample(const CaptureSample& sample) {
    // Only complete frames carry new content; idle, blank and the like repeat the last one.
    if (!sample.isScreen) return;
    if (sample.status != FrameStatus::complete) return;
    if (!sample.image || sample.image->width() < 1 || sample.image->height() < 1) return;
    onFrame_(sample.image, sample.ptsNanos);
}

}  // namespace panelora
