// H264Encoder: paces captured frames into the platform's H.264 encoder and hands each compressed
// frame, in AVCC form with its parameter sets when it is a key frame, to `onOutput`.
//
// Owned by the session. encode() runs on the capture queue (and on "panelora.keyframe-fallback"
// for the key-frame fallback); outputs and frame completions arrive on the codec's output thread;
// requestKeyframe() comes from the reader thread and the output thread; invalidate() from the
// thread that ends the session. `lock` is never held across a codec call or `onOutput`.
//
// Frames reach the codec in the order they were admitted: one thread at a time hands the
// admitted frames over, and a thread that admits a frame while another is handing some leaves
// it to that one, so that encode() may return before its frame is inside the codec.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "protocol/stream_profile.h"
#include "support/clock.h"
#include "support/serial_queue.h"
#include "support/timer_source.h"
#include "video/image_buffer.h"

namespace panelora {

// The compression settings the encoder is created with.
struct VideoCodecSettings {
    int32_t width = 0;
    int32_t height = 0;
    bool realTime = false;
    bool highProfile = true;            // High profile, level chosen automatically
    bool allowFrameReordering = false;  // no B-frames
    double maxKeyFrameIntervalSeconds = 30;
    int64_t expectedFrameRate = 0;
    int64_t averageBitRate = 0;       // bits per second
    int64_t dataRateLimitBytes = 0;   // at most this many bytes …
    double dataRateLimitSeconds = 1;  // … in any window of this length
    bool prioritizeSpeedOverQuality = false;
    int32_t maxFrameDelayCount = 0;

    static VideoCodecSettings forProfile(const StreamProfile& profile);
};

// One compressed frame as the platform delivers it.
struct EncodedSample {
    bool notSync = false;       // true: depends on earlier frames
    std::vector<uint8_t> avcc;  // NAL units with 4-byte big-endian lengths
    std::optional<std::vector<uint8_t>> sps;
    std::optional<std::vector<uint8_t>> pps;
    int64_t ptsNanos = -1;  // negative: invalid
};

// Seam to the platform's encoder session.
class VideoCodec {
  public:
    // Called exactly once per accepted frame, on the codec's output thread: the sample, or
    // nothing when the codec failed to encode it.
    using Completion = std::function<void(std::optional<EncodedSample>)>;

    virtual ~VideoCodec() = default;
    // False when the codec refused the frame at once; the completion is then never called.
    // Must not wait for the codec's output thread: invalidate() may be called from a completion
    // and waits there for encode() calls of other threads to return.
    virtual bool encode(const ImageBufferRef& image, int64_t ptsNanos, bool forceKeyFrame,
                        Completion completion) = 0;
    // How many frames the codec works on at the same time. A frame given to a codec that is busy
    // with as many only waits inside it, aging, while a newer one may be captured meanwhile.
    virtual int64_t framesEncodedAtOnce() const { return 2; }
    // Ends the codec session; completions of frames still inside may or may not come. The codec
    // may be destroyed on its own output thread (the encoder's last owner letting go during a
    // completion). H264Encoder never calls encode() concurrently with or after invalidate().
    virtual void invalidate() = 0;
};

class VideoCodecFactory {
  public:
    virtual ~VideoCodecFactory() = default;
    // Nothing when no encoder session of these settings can be made.
    virtual std::unique_ptr<VideoCodec> create(const VideoCodecSettings& settings) = 0;
};

class H264Encoder : public std::enable_shared_from_this<H264Encoder> {
  public:
    struct Output {
        bool isKey = false;
        std::optional<std::vector<uint8_t>> sps;
        std::optional<std::vector<uint8_t>> pps;
        std::vector<uint8_t> avcc;
        uint64_t ptsMicros = 0;
        double encodeLatencyMs = 0;
    };

    // Nothing when the factory cannot create a codec for the profile. `fallbackQueue` defaults
    // to a new "panelora.keyframe-fallback" queue (tests pass a manual one).
    static std::shared_ptr<H264Encoder> create(VideoCodecFactory& factory,
                                               const StreamProfile& profile,
                                               const Clock& clock = Clock::system(),
                                               std::shared_ptr<SerialQueue> fallbackQueue = {});
    ~H264Encoder();

    // Set by the owner right after creation, before the first frame.
    std::function<void(const Output&)> onOutput;
    // Set by the owner before the first frame; called once when the codec refuses a frame (it
    // is broken and will refuse every later one), on the thread that handed that frame over:
    // the capture queue, or the codec's output thread when a waiting frame follows a finished
    // one.
    std::function<void()> onFailure;

    void encode(const ImageBufferRef& image, int64_t ptsNanos);
    void requestKeyframe();
    void invalidate();

    // Read and reset by the session's statistics while it holds its own lock.
    std::mutex lock;
    int64_t skipped = 0;  // guarded by lock

    // Frames inside the codec at most: two, or fewer when the codec encodes fewer at once, so
    // that under load the newest capture waits here (where a newer one replaces it) rather than
    // queued inside the codec.
    static constexpr int64_t maxInFlight = 2;
    static constexpr Duration kKeyframeFallbackDelay = std::chrono::milliseconds(150);

  private:
    H264Encoder(std::unique_ptr<VideoCodec> codec, const Clock& clock,
                std::shared_ptr<SerialQueue> fallbackQueue);
    struct Frame {
        ImageBufferRef buffer;
        int64_t ptsNanos = 0;
        bool forceKey = false;  // for frames admitted to the codec
    };
    bool admitLocked(const ImageBufferRef& image, int64_t ptsNanos);
    bool takeSlotLocked(const ImageBufferRef& image, int64_t ptsNanos);
    void handOver();
    void submit(std::shared_ptr<VideoCodec> codec, const Frame& frame);
    void finishFrame();
    void deliver(EncodedSample&& sample);
    void runFallback();

    const Clock& clock_;
    std::shared_ptr<SerialQueue> fallbackQueue_;
    const int64_t inFlightLimit_;

    // All guarded by `lock`.
    std::shared_ptr<VideoCodec> session_;
    bool forceKey_ = true;
    ImageBufferRef lastBuffer_;
    bool fallbackScheduled_ = false;
    bool failureReported_ = false;
    int64_t inFlight_ = 0;          // at most inFlightLimit_
    std::optional<Frame> pending_;  // waits for a free slot
    std::deque<Frame> admitted_;    // have a slot, in order, not yet handed to the codec
    bool handingOver_ = false;      // a thread is handing `admitted_` to the codec
    // Codec encode() calls running now; invalidate() waits for those of other threads.
    int64_t submitting_ = 0;  // guarded by lock
    std::condition_variable submitDone_;
};

}  // namespace panelora
