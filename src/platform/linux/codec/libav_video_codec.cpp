#include "platform/linux/codec/libav_video_codec.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <span>

#include "platform/linux/codec/hardware_encoders.h"
#include "platform/linux/codec/libav_encoder.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/serial_queue.h"
#include "video/annex_b.h"

extern "C" {
#include <libavutil/log.h>
}

namespace panelora {
namespace {

using libav::LibavEncoder;

constexpr int kLibavLinesPerSecond = 5;

// Set while probing hardware, whose absence libavcodec reports as errors.
thread_local bool probing = false;

// libavcodec and x264 talk on stderr at the info level for every encoder they open; their
// warnings and errors go to our log instead, the rest is dropped.
void routeLibavLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback([](void* object, int level, const char* format, va_list args) {
            if (level > AV_LOG_WARNING || probing) return;
            // A warning per frame (x264's VBV underflows on noise) must not flood the log.
            static std::atomic<int64_t> second{0};
            static std::atomic<int> lines{0};
            const int64_t now = Clock::system().uptimeNanos() / 1'000'000'000;
            if (second.exchange(now) != now) lines = 0;
            if (++lines > kLibavLinesPerSecond) return;
            char line[1024];
            int prefix = 1;
            av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            auto log = log::get("codec");
            if (level <= AV_LOG_ERROR) {
                log->error("{}", text);
            } else {
                log->warn("{}", text);
            }
        });
    });
}

// A hardware encoder counts as working when it opens and turns one frame into an IDR at once.
bool probeHardware(const std::string& name) {
    VideoCodecSettings settings;
    settings.width = 1280;
    settings.height = 720;
    settings.expectedFrameRate = 60;
    settings.averageBitRate = 8'000'000;
    settings.dataRateLimitBytes = 2'000'000;
    probing = true;
    auto encoder = LibavEncoder::open(name, settings);
    probing = false;
    if (!encoder) return false;
    auto picture = std::make_shared<Nv12Buffer>(settings.width, settings.height);
    const size_t rows[2] = {static_cast<size_t>(settings.height),
                            static_cast<size_t>(settings.height / 2)};
    for (int plane = 0; plane < 2; ++plane) {
        std::fill_n(picture->mutablePlaneData(plane), picture->planeStride(plane) * rows[plane],
                    plane == 0 ? 0x10 : 0x80);
    }
    if (!encoder->send(picture, 0, true)) return false;
    libav::PacketPtr packet(av_packet_alloc());
    if (!packet || encoder->receive(packet.get()) != LibavEncoder::Received::packet) return false;
    return annexBToAvcc(std::span<const uint8_t>(packet->data, packet->size)).hasIdr;
}

// Everything the output thread works on. Shared with the queued tasks, so that a codec
// destroyed from one of its own completions leaves them something to finish with.
struct CodecState {
    std::atomic<bool> invalidated{false};
    std::atomic<bool> broken{false};
    std::atomic<size_t> queued{0};  // accepted frames whose task has not started

    // Output thread only.
    struct Inside {
        int64_t pts;  // frame number given to the encoder
        int64_t ptsNanos;
        VideoCodec::Completion completion;
    };
    std::unique_ptr<LibavEncoder> encoder;
    libav::PacketPtr packet{av_packet_alloc()};
    int64_t nextPts = 0;
    std::deque<Inside> inside;  // sent to the encoder, in order, output not yet seen
    std::optional<std::vector<uint8_t>> lastSps;
    std::optional<std::vector<uint8_t>> lastPps;
    bool misfitLogged = false;

    void process(const ImageBufferRef& image, int64_t ptsNanos, bool forceKey,
                 VideoCodec::Completion completion) {
        if (invalidated) return;  // dropped: no completion
        if (!encoder || broken || !packet) {
            completion(std::nullopt);
            return;
        }
        if (!fits(image)) {
            if (!misfitLogged) {
                log::get("codec")->warn("{}", "frames of the wrong size or layout are not encoded");
                misfitLogged = true;
            }
            completion(std::nullopt);
            return;
        }
        const int64_t pts = nextPts++;
        inside.push_back({pts, ptsNanos, std::move(completion)});
        if (!encoder->send(image, pts, forceKey)) {
            fail();
            return;
        }
        drain();
    }

    bool fits(const ImageBufferRef& image) const {
        if (!image || image->width() != encoder->width() || image->height() != encoder->height()) {
            return false;
        }
        for (int plane = 0; plane < 2; ++plane) {
            if (!image->planeData(plane) || image->planeStride(plane) < image->width())
                return false;
        }
        return true;
    }

    // Everything the encoder has ready. Without frame delay that is the frame just sent.
    void drain() {
        for (;;) {
            switch (encoder->receive(packet.get())) {
                case LibavEncoder::Received::none:
                    return;
                case LibavEncoder::Received::error:
                    fail();
                    return;
                case LibavEncoder::Received::packet:
                    break;
            }
            const int64_t pts = packet->pts;
            std::optional<EncodedSample> sample = toSample(*packet);
            av_packet_unref(packet.get());
            // Frames the encoder skipped come before the packet's own; a packet of no frame
            // of ours is dropped.
            while (!inside.empty() && inside.front().pts < pts) {
                Inside skipped = std::move(inside.front());
                inside.pop_front();
                skipped.completion(std::nullopt);
            }
            if (inside.empty() || inside.front().pts != pts) continue;
            Inside done = std::move(inside.front());
            inside.pop_front();
            if (sample) sample->ptsNanos = done.ptsNanos;
            done.completion(std::move(sample));
            if (invalidated) return;
        }
    }

    std::optional<EncodedSample> toSample(const AVPacket& compressed) {
        if (!compressed.data || compressed.size <= 0) return std::nullopt;
        AvccFrame frame = annexBToAvcc(std::span<const uint8_t>(compressed.data, compressed.size));
        if (frame.sps) lastSps = frame.sps;
        if (frame.pps) lastPps = frame.pps;
        if (frame.avcc.empty()) return std::nullopt;
        EncodedSample sample;
        // Only an IDR lets a decoder start afresh; parameter sets go with key frames only.
        sample.notSync = !frame.hasIdr;
        if (frame.hasIdr) {
            sample.sps = frame.sps ? std::move(frame.sps) : lastSps;
            sample.pps = frame.pps ? std::move(frame.pps) : lastPps;
        }
        sample.avcc = std::move(frame.avcc);
        return sample;
    }

    // libavcodec failed: the encoder's state is unknown, so it is not used again and the frames
    // inside it complete with nothing.
    void fail() {
        broken = true;
        encoder.reset();
        while (!inside.empty() && !invalidated) {
            Inside failed = std::move(inside.front());
            inside.pop_front();
            failed.completion(std::nullopt);
        }
    }
};

class LibavVideoCodec final : public VideoCodec {
  public:
    explicit LibavVideoCodec(std::unique_ptr<LibavEncoder> encoder)
        : state_(std::make_shared<CodecState>()),
          queue_(SerialQueue::create("panelora.encoder", QueuePriority::userInteractive)) {
        state_->encoder = std::move(encoder);
    }

    ~LibavVideoCodec() override {
        invalidate();
        queue_.reset();  // joins the output thread, or lets it finish when we are on it
    }

    // The output thread encodes one frame after the other.
    int64_t framesEncodedAtOnce() const override { return 1; }

    bool encode(const ImageBufferRef& image, int64_t ptsNanos, bool forceKeyFrame,
                Completion completion) override {
        if (state_->invalidated || state_->broken || !completion) return false;
        if (state_->queued.fetch_add(1) >= LibavVideoCodecFactory::kMaxQueuedFrames) {
            state_->queued.fetch_sub(1);
            return false;
        }
        queue_->post([state = state_, image, ptsNanos, forceKeyFrame,
                      completion = std::move(completion)]() mutable {
            state->queued.fetch_sub(1);
            state->process(image, ptsNanos, forceKeyFrame, std::move(completion));
        });
        return true;
    }

    void invalidate() override {
        if (state_->invalidated.exchange(true)) return;
        // Behind the frame being encoded, if any; the frames after it see the flag and go.
        queue_->post([state = state_] {
            state->encoder.reset();
            state->inside.clear();
        });
    }

  private:
    std::shared_ptr<CodecState> state_;
    std::shared_ptr<SerialQueue> queue_;
};

}  // namespace

LibavVideoCodecFactory::LibavVideoCodecFactory(Encoders encoders) : encoders_(encoders) {
    routeLibavLog();
}

std::string LibavVideoCodecFactory::probedHardwareEncoder() {
    routeLibavLog();
    static const std::string chosen = [] {
        for (const char* name : libav::hardwareEncoderNames()) {
            if (probeHardware(name)) {
                log::get("codec")->info("{}", std::string("hardware encoder: ") + name);
                return std::string(name);
            }
        }
        log::get("codec")->info("{}", "no working hardware encoder; using libx264");
        return std::string();
    }();
    return chosen;
}

std::unique_ptr<VideoCodec> LibavVideoCodecFactory::create(const VideoCodecSettings& settings) {
    if (!libav::plausible(settings)) {
        log::get("codec")->error("{}", "no encoder for " + std::to_string(settings.width) + "×" +
                                           std::to_string(settings.height) + " @ " +
                                           std::to_string(settings.expectedFrameRate) + " fps");
        return nullptr;
    }
    std::unique_ptr<LibavEncoder> encoder;
    if (encoders_ == Encoders::automatic) {
        const std::string hardware = probedHardwareEncoder();
        if (!hardware.empty()) encoder = LibavEncoder::open(hardware, settings);
    }
    if (!encoder) encoder = LibavEncoder::open("libx264", settings);
    if (!encoder) return nullptr;
    log::get("codec")->info(
        "{}", "encoding " + std::to_string(settings.width) + "×" + std::to_string(settings.height) +
                  " @ " + std::to_string(settings.expectedFrameRate) + " fps, " +
                  std::to_string(settings.averageBitRate) + " bit/s with " + encoder->name());
    return std::make_unique<LibavVideoCodec>(std::move(encoder));
}

}  // namespace panelora
