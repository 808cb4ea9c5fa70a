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
            SerialQueue::create("panelora.keyframe-fallback", QueuePriority::userInteractive);
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
    {
        std::lock_guard guard(lock);
        lastBuffer_ = image;
        if (!session_ || !admitLocked(image, ptsNanos)) return;
    }
    handOver();
}

// With `lock` held: the frame takes a free slot, or waits for one (the newest waiting frame
// wins; an older waiting frame is lost). True when the caller is to hand the admitted frames over.
bool H264Encoder::admitLocked(const ImageBufferRef& image, int64_t ptsNanos) {
    if (inFlight_ >= inFlightLimit_) {
        if (pending_) skipped += 1;
        pending_ = Frame{image, ptsNanos};
        return false;
    }
    return takeSlotLocked(image, ptsNanos);
}

// With `lock` held and a slot free. Admission and hand-over order are one: a frame is queued
// behind the frames admitted before it, and only the thread that finds nobody handing frames
// over becomes the one that does (true).
bool H264Encoder::takeSlotLocked(const ImageBufferRef& image, int64_t ptsNanos) {
    inFlight_ += 1;
    admitted_.push_back(Frame{image, ptsNanos, forceKey_});
    forceKey_ = false;
    if (handingOver_) return false;
    handingOver_ = true;
    return true;
}

// Hands the admitted frames to the codec one by one, with `lock` released around each call,
// until none is left; frames admitted meanwhile (also from a completion that the codec runs
// inline) join the queue and go in after the earlier ones.
void H264Encoder::handOver() {
    for (;;) {
        Frame frame;
        std::shared_ptr<VideoCodec> codec;
        {
            std::lock_guard guard(lock);
            if (admitted_.empty() || !session_) {
                admitted_.clear();
                handingOver_ = false;
                return;
            }
            frame = std::move(admitted_.front());
            admitted_.pop_front();
            codec = session_;
            submitting_ += 1;
        }
        submit(std::move(codec), frame);
    }
}

// Called with `lock` released, after the caller counted the call in `submitting_`.
void H264Encoder::submit(std::shared_ptr<VideoCodec> codec, const Frame& frame) {
    std::weak_ptr<H264Encoder> weak = weak_from_this();
    submittingHere.push_back(this);
    const bool accepted = codec->encode(frame.buffer, frame.ptsNanos, frame.forceKey,
                                        [weak](std::optional<EncodedSample> sample) {
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
        if (!accepted && frame.forceKey) forceKey_ = true;
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
    bool handOverHere = false;
    {
        std::lock_guard guard(lock);
        inFlight_ = std::max<int64_t>(inFlight_ - 1, 0);
        if (inFlight_ < inFlightLimit_ && pending_ && session_) {
            handOverHere = takeSlotLocked(pending_->buffer, pending_->ptsNanos);
            pending_.reset();
        }
    }
    if (handOverHere) handOver();
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
// Read and admitted under one hold of `lock`, so a capture that comes meanwhile is admitted (and
// so handed to the codec) after it, never before; the newest picture stays the last one encoded.
void H264Encoder::runFallback() {
    const int64_t now = clock_.uptimeNanos();
    {
        std::lock_guard guard(lock);
        fallbackScheduled_ = false;
        // A frame submitted since the request already was the key frame; a waiting one is the
        // last frame and will be.
        if (!forceKey_ || !lastBuffer_ || !session_ || pending_) return;
        if (!admitLocked(lastBuffer_, now)) return;
    }
    handOver();
}

void H264Encoder::invalidate() {
    std::shared_ptr<VideoCodec> codec;
    {
        std::unique_lock guard(lock);
        codec = std::move(session_);
        session_.reset();
        lastBuffer_.reset();
        pending_.reset();
        admitted_.clear();
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
