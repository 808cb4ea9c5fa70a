#include "video/h264_encoder.h"

#include <algorithm>
#include <limits>

namespace panelora {
namespace {

// The encoders whose codec encode() the current thread is inside, outermost first. A completion
// that the codec runs inline may lead to invalidate() on the same thread, which must not wait for
// its own caller.
thread_local std::vector<const H264Encoder*> submittingHere;

int64_t submitDepthHere(const H264Encoder* encoder) {
    return std::count(submittingHere.begin(), submittingHere.end(), encoder);
}

bool fitsInt32(int64_t value) {
    return value >= 1 && value <= std::numeric_limits<int32_t>::max();
}

}  // namespace

VideoCodecSettings VideoCodecSettings::forProfile(const StreamProfile& profile) {
    VideoCodecSettings settings;
    settings.width = static_cast<int32_t>(
        std::clamp<int64_t>(profile.width, 0, std::numeric_limits<int32_t>::max()));
    settings.height = static_cast<int32_t>(
        std::clamp<int64_t>(profile.height, 0, std::numeric_limits<int32_t>::max()));
    settings.realTime = false;
    settings.highProfile = true;
    settings.allowFrameReordering = false;
    settings.maxKeyFrameIntervalSeconds = 30;
    settings.expectedFrameRate = profile.fps;
    settings.averageBitRate = profile.bitrate;
    // At most twice the average rate in any one-second window.
    settings.dataRateLimitBytes = profile.bitrate * 2 / 8;
    settings.dataRateLimitSeconds = 1;
    settings.prioritizeSpeedOverQuality = profile.fps > 60;
    settings.maxFrameDelayCount = 0;
    return settings;
}

std::shared_ptr<H264Encoder> H264Encoder::create(VideoCodecFactory& factory,
                                                 const StreamProfile& profile, const Clock& clock,
                                                 std::shared_ptr<SerialQueue> fallbackQueue) {
    if (!fitsInt32(profile.width) || !fitsInt32(profile.height)) return nullptr;
    std::unique_ptr<VideoCodec> codec = factory.create(VideoCodecSettings::forProfile(profile));
    if (!codec) return nullptr;
    if (!fallbackQueue) {
        fallbackQueue =
            SerialQueue::create("slatecast.keyframe-fallback", QueuePriority::userInteractive);
    }
    return std::shared_ptr<H264Encoder>(
        new H264Encoder(std::move(codec), clock, std::move(fallbackQueue)));
}

H264Encoder::H264Encoder(std::unique_ptr<VideoCodec> codec, const Clock& clock,
                         std::shared_ptr<SerialQueue> fallbackQueue)
    : clock_(clock),
      fallbackQueue_(std::move(fallbackQueue)),
      inFlightLimit_(std::clamp<int64_t>(codec->framesEncodedAtOnce(), 1, maxInFlight)),
      session_(std::move(codec)) {}

// The codec goes with the last reference; completions and the fallback hold us weakly and find
// nothing. A session that was never invalidated is ended here.
H264Encoder::~H264Encoder() {
    if (session_) session_->invalidate();
}

void H264Encoder::encode(const ImageBufferRef& image, int64_t ptsNanos) {
    if (!image) return;
    std::shared_ptr<VideoCodec> codec;
    bool key = false;
    {
        std::lock_guard guard(lock);
        lastBuffer_ = image;
        if (!session_) return;
        if (inFlight_ >= inFlightLimit_) {
            // The newest frame waits; an older waiting frame is lost.
            if (pending_) skipped += 1;
            pending_ = Pending{image, ptsNanos};
            return;
        }
        inFlight_ += 1;
        key = forceKey_;
        forceKey_ = false;
        codec = session_;
        submitting_ += 1;
    }
    submit(std::move(codec), image, ptsNanos, key);
}

// Called with `lock` released, after the caller counted the call in `submitting_` and took a slot.
void H264Encoder::submit(std::shared_ptr<VideoCodec> codec, const ImageBufferRef& image,
                         int64_t ptsNanos, bool forceKey) {
    std::weak_ptr<H264Encoder> weak = weak_from_this();
    submittingHere.push_back(this);
    const bool accepted =
        codec->encode(image, ptsNanos, forceKey, [weak](std::optional<EncodedSample> sample) {
            auto self = weak.lock();
            if (!self) return;
            if (sample) self->deliver(std::move(*sample));
            // A failed frame frees its slot all the same.
            self->finishFrame();
        });
    submittingHere.erase(std::find(submittingHere.begin(), submittingHere.end(), this));
    bool reportFailure = false;
    {
        std::lock_guard guard(lock);
        submitting_ -= 1;
        // A refused frame never completes, so its slot is freed now, or the encoder would stall
        // for good after two refusals. If it was to be the key frame, the next frame is.
        if (!accepted && forceKey) forceKey_ = true;
        if (!accepted && !failureReported_) {
            failureReported_ = true;
            reportFailure = true;
        }
    }
    submitDone_.notify_all();
    if (!accepted) finishFrame();
    // A codec refuses frames only once it is broken: every later frame would be refused too and
    // the picture would freeze for good. The owner ends the stream instead.
    if (reportFailure && onFailure) onFailure();
}

void H264Encoder::finishFrame() {
    std::optional<Pending> next;
    std::shared_ptr<VideoCodec> codec;
    bool key = false;
    {
        std::lock_guard guard(lock);
        inFlight_ = std::max<int64_t>(inFlight_ - 1, 0);
        if (inFlight_ < inFlightLimit_ && pending_ && session_) {
            next = std::move(pending_);
            pending_.reset();
            inFlight_ += 1;
            key = forceKey_;
            forceKey_ = false;
            codec = session_;
            submitting_ += 1;
        }
    }
    if (next) submit(std::move(codec), next->buffer, next->ptsNanos, key);
}

void H264Encoder::deliver(EncodedSample&& sample) {
    if (sample.avcc.empty()) return;
    Output output;
    output.isKey = !sample.notSync;
    if (output.isKey) {
        output.sps = std::move(sample.sps);
        output.pps = std::move(sample.pps);
    }
    output.avcc = std::move(sample.avcc);
    // Same as seconds × 1e6 truncated, without the rounding of a double.
    output.ptsMicros = sample.ptsNanos > 0 ? static_cast<uint64_t>(sample.ptsNanos / 1000) : 0;
    if (sample.ptsNanos >= 0) {
        const double latencyMs = static_cast<double>(clock_.uptimeNanos() - sample.ptsNanos) / 1e6;
        output.encodeLatencyMs = latencyMs > 0 ? latencyMs : 0;
    }
    // No lock is held: the handler may call requestKeyframe().
    if (onOutput) onOutput(output);
}

void H264Encoder::requestKeyframe() {
    {
        std::lock_guard guard(lock);
        forceKey_ = true;
        // A fallback already waiting will see the flag; without a frame there is nothing to
        // re-encode and the first captured frame is the key frame anyway.
        if (fallbackScheduled_ || !lastBuffer_) return;
        fallbackScheduled_ = true;
    }
    std::weak_ptr<H264Encoder> weak = weak_from_this();
    fallbackQueue_->postAfter(kKeyframeFallbackDelay, [weak] {
        if (auto self = weak.lock()) self->runFallback();
    });
}

// On a static screen no new frame comes to carry the requested key frame: re-encode the last one.
void H264Encoder::runFallback() {
    ImageBufferRef buffer;
    {
        std::lock_guard guard(lock);
        fallbackScheduled_ = false;
        // A frame submitted since the request already was the key frame.
        if (!forceKey_) return;
        buffer = lastBuffer_;
    }
    if (buffer) encode(buffer, clock_.uptimeNanos());
}

void H264Encoder::invalidate() {
    std::shared_ptr<VideoCodec> codec;
    {
        std::unique_lock guard(lock);
        codec = std::move(session_);
        session_.reset();
        lastBuffer_.reset();
        pending_.reset();
        inFlight_ = 0;
        // Let encode() calls already inside the codec return, so that the codec never sees one
        // after (or during) its invalidation. Calls further up this thread's own stack cannot
        // return before we do and are not waited for.
        const int64_t own = submitDepthHere(this);
        submitDone_.wait(guard, [&] { return submitting_ <= own; });
    }
    if (codec) codec->invalidate();
}

}  // namespace panelora
