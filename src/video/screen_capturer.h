// ScreenCapturer: waits for the virtual display to become capturable, then captures it at the
// stream's encoded size and rate and hands every complete frame to `onFrame`.
//
// Owned by the session. start() blocks on the session's start thread; frames arrive on the
// serial queue "panelora.capture"; `onStopped` may come from any thread. stopCapture() is safe
// from any thread, also while start() is still running: a capture that finishes starting after
// it is stopped at once and start() fails with `cancelled`.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/stream_profile.h"
#include "support/clock.h"
#include "support/geometry.h"
#include "support/serial_queue.h"
#include "support/stop_signal.h"
#include "video/image_buffer.h"

namespace panelora {

// Status of one delivered sample; only `complete` frames carry new content.
enum class FrameStatus {
    complete = 0,
    idle = 1,
    blank = 2,
    suspended = 3,
    started = 4,
    stopped = 5
};

struct CaptureSample {
    bool isScreen = true;               // other sample types (audio) are ignored
    std::optional<FrameStatus> status;  // absent: the platform attached no status
    ImageBufferRef image;               // may be empty
    int64_t ptsNanos = -1;              // host uptime clock; negative: invalid
};

struct CaptureConfiguration {
    int64_t width = 0;
    int64_t height = 0;
    int32_t fps = 0;           // minimum frame interval 1/fps
    uint32_t pixelFormat = 0;  // four-character code, '420v'
    int32_t queueDepth = 0;
    bool showsCursor = true;

    // What a backend can make: a picture of 2 to 16384 pixels a side, a positive rate, and
    // NV12 (given as '420v', or 0 for the default).
    bool isSupported() const;
};

inline constexpr uint32_t kPixelFormat420v = 0x34323076;  // '420v'

inline bool CaptureConfiguration::isSupported() const {
    return width >= 2 && height >= 2 && width <= 16384 && height <= 16384 && fps > 0 &&
           (pixelFormat == 0 || pixelFormat == kPixelFormat420v);
}

// A running platform capture. stop() may block briefly; it is called off the capture queue.
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    virtual void stop() = 0;
};

// Seam to the platform's capture.
class CaptureBackend {
  public:
    struct Callbacks {
        std::function<void(const CaptureSample&)> onSample;  // on the given queue
        std::function<void()> onStopped;                     // any thread
    };

    virtual ~CaptureBackend() = default;
    // The displays that can be captured now; nothing, with `why`, when the platform's query
    // failed.
    virtual std::vector<DisplayID> shareableDisplays(std::string* why) = 0;
    // Starts capturing; samples go to callbacks.onSample on `queue`. Nothing, with `why`, on
    // failure.
    virtual std::unique_ptr<CaptureStream> startStream(DisplayID display,
                                                       const CaptureConfiguration& configuration,
                                                       std::shared_ptr<SerialQueue> queue,
                                                       Callbacks callbacks, std::string* why) = 0;
};

class ScreenCapturer : public std::enable_shared_from_this<ScreenCapturer> {
  public:
    struct CaptureError {
        enum class Kind { displayNotFound, platform, cancelled };
        Kind kind = Kind::displayNotFound;
        std::string platformMessage;
        // "Virtual display didn't appear (is Screen Recording allowed for Panelora?)" for
        // displayNotFound; the platform's own text otherwise.
        std::string description() const;
    };

    using FrameCallback = std::function<void(const ImageBufferRef& image, int64_t ptsNanos)>;

    // The backend must outlive the capturer. Platform callbacks hold the capturer weakly.
    static std::shared_ptr<ScreenCapturer> create(CaptureBackend& backend, FrameCallback onFrame,
                                                  const Clock& clock = Clock::system());
    ~ScreenCapturer();

    // Set once by the owner before start(); called when the platform stops the capture.
    std::function<void()> onStopped;

    static CaptureConfiguration configurationFor(const StreamProfile& profile, bool showsCursor);

    // Blocks until frames flow or the start fails.
    std::optional<CaptureError> start(DisplayID displayID, const StreamProfile& profile,
                                      bool showsCursor);

    // Stops the capture (now, or as soon as a running start() has it); idempotent.
    void stopCapture();

    static constexpr int kDisplayAttempts = 15;
    static constexpr Duration kDisplayRetryDelay = std::chrono::milliseconds(300);

  private:
    ScreenCapturer(CaptureBackend& backend, FrameCallback onFrame, const Clock& clock);
    void handleSample(const CaptureSample& sample);

    CaptureBackend& backend_;
    const FrameCallback onFrame_;
    const Clock& clock_;
    StopSource stopSource_;
    std::shared_ptr<SerialQueue> queue_;

    std::mutex mutex_;
    std::unique_ptr<CaptureStream> stream_;  // guarded by mutex_
    bool stopped_ = false;                   // guarded by mutex_
};

}  // namespace panelora
