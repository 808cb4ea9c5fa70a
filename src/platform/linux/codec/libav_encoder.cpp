#include "platform/linux/codec/libav_encoder.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/linux/codec/hardware_encoders.h"
#include "support/log.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace panelora::libav {
namespace {

constexpr int64_t kMaxFrameRate = 1000;

std::string errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

void setPrivate(AVCodecContext* context, const char* key, const char* value) {
    // Options an encoder does not know are left out; the settings still apply where they can.
    av_opt_set(context->priv_data, key, value, 0);
}

void configureX264(AVCodecContext* context, const VideoCodecSettings& settings) {
    context->pix_fmt = AV_PIX_FMT_NV12;
    setPrivate(context, "preset", x264PresetFor(settings));
    setPrivate(context, "tune", "zerolatency");
    setPrivate(context, "profile", settings.highProfile ? "high" : "main");
    setPrivate(context, "forced-idr", "1");
    // Slice threads split each frame between the cores and add no delay; frame threads would
    // hold frames back, which the caller's two-frame pacing cannot afford. The ultrafast preset
    // turns off the 8×8 transform, without which x264 writes a Baseline stream; it is turned back
    // on for High profile.
    std::string params = "rc-lookahead=0:sync-lookahead=0:bframes=0:sliced-threads=1";
    if (settings.highProfile) params += ":8x8dct=1";
    setPrivate(context, "x264-params", params.c_str());
    context->thread_type = FF_THREAD_SLICE;
    context->thread_count = 0;  // one slice per core
}

// A picture of ordinary memory wrapped without copying: the frame's buffer owns a reference to
// the image, released by libavcodec when it lets go of the frame.
bool wrapImage(AVFrame* frame, const ImageBufferRef& image) {
    frame->format = AV_PIX_FMT_NV12;
    frame->width = image->width();
    frame->height = image->height();
    for (int plane = 0; plane < 2; ++plane) {
        frame->data[plane] = const_cast<uint8_t*>(image->planeData(plane));
        frame->linesize[plane] = image->planeStride(plane);
    }
    auto* holder = new ImageBufferRef(image);
    const size_t size =
        static_cast<size_t>(frame->linesize[0]) * static_cast<size_t>(frame->height);
    frame->buf[0] = av_buffer_create(
        frame->data[0], size,
        [](void* opaque, uint8_t*) { delete static_cast<ImageBufferRef*>(opaque); }, holder,
        AV_BUFFER_FLAG_READONLY);
    if (!frame->buf[0]) {
        delete holder;
        return false;
    }
    return true;
}

}  // namespace

const char* x264PresetFor(const VideoCodecSettings& settings) {
    // Measured on 2 cores (bench/codec, desktop-like picture, this configuration): at 2732×2048
    // superfast encodes about 55 fps, below the 60 the profile needs before capture has had any
    // CPU, and ultrafast about 78 to 88. Above 60 fps speed matters even more. So ultrafast
    // everywhere. The 8×8 transform put back for High profile costs up to 10 % on noisy pictures
    // and nothing measurable on desktop ones.
    (void)settings;
    return "ultrafast";
}

RateControl rateControlFor(const VideoCodecSettings& settings) {
    RateControl rc;
    rc.bitRate = settings.averageBitRate;
    int64_t limitBits = 2 * settings.averageBitRate;  // per second, when the settings give none
    double window = 1;
    if (settings.dataRateLimitBytes > 0 && settings.dataRateLimitSeconds > 0) {
        limitBits = settings.dataRateLimitBytes * 8;
        window = settings.dataRateLimitSeconds;
    }
    // A VBV of B bits refilled at R bit/s lets any window of W seconds carry up to B + R×W bits:
    // a full buffer spent at once plus what flows in meanwhile. For "at most L bits in any W
    // seconds", B + R×W must stay within L. Taking R = L/W and B = L, as the limit reads at first
    // sight, lets a burst after a quiet spell reach twice the limit. Three quarters of the limit
    // as rate and a quarter as buffer keep the burst within it, and still leave VBR headroom
    // (1.5× the average for the usual limit of twice the average) and room for key frames.
    rc.maxRate = static_cast<int64_t>(static_cast<double>(limitBits) * 0.75 / window);
    rc.bufferBits = limitBits / 4;
    rc.bitRate = std::min(rc.bitRate, rc.maxRate);
    return rc;
}

bool plausible(const VideoCodecSettings& settings) {
    return settings.width > 0 && settings.height > 0 && settings.width % 2 == 0 &&
           settings.height % 2 == 0 &&
           av_image_check_size(static_cast<unsigned>(settings.width),
                               static_cast<unsigned>(settings.height), 0, nullptr) == 0 &&
           settings.expectedFrameRate > 0 && settings.expectedFrameRate <= kMaxFrameRate &&
           settings.averageBitRate > 0 &&
           settings.averageBitRate <= std::numeric_limits<int>::max() &&
           settings.dataRateLimitBytes >= 0 &&
           settings.dataRateLimitBytes <= std::numeric_limits<int>::max() / 8 &&
           std::isfinite(settings.maxKeyFrameIntervalSeconds) &&
           settings.maxKeyFrameIntervalSeconds > 0 && settings.maxKeyFrameIntervalSeconds <= 3600;
}

std::unique_ptr<LibavEncoder> LibavEncoder::open(const std::string& name,
                                                 const VideoCodecSettings& settings) {
    auto log = log::get("codec");
    if (!plausible(settings)) return nullptr;
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) return nullptr;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return nullptr;

    const int fps = static_cast<int>(settings.expectedFrameRate);
    const RateControl rc = rateControlFor(settings);
    context->width = settings.width;
    context->height = settings.height;
    // Frames are numbered in the encoder: rate control sees a constant rate whatever the capture
    // timestamps do, and the caller's times travel beside the frame.
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    context->bit_rate = rc.bitRate;
    context->rc_max_rate = rc.maxRate;
    context->rc_buffer_size = static_cast<int>(rc.bufferBits);
    context->gop_size = static_cast<int>(std::lround(settings.maxKeyFrameIntervalSeconds * fps));
    context->keyint_min = std::min(fps, context->gop_size);  // scene cuts: at most one IDR a second
    // Frames come out one for one, in input order, whatever the settings allow: the caller's
    // pacing counts on every frame's output following its input.
    context->max_b_frames = 0;
    context->profile = settings.highProfile ? FF_PROFILE_H264_HIGH : FF_PROFILE_H264_MAIN;
    // Parameter sets in-band: every key frame then carries its own SPS and PPS.
    context->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
    context->color_range = AVCOL_RANGE_MPEG;
    context->colorspace = AVCOL_SPC_SMPTE170M;
    context->color_primaries = AVCOL_PRI_SMPTE170M;
    context->color_trc = AVCOL_TRC_SMPTE170M;

    BufferRefPtr hardwareFrames;
    if (name == "libx264") {
        configureX264(context.get(), settings);
    } else if (!prepareHardwareEncoder(name, context.get(), hardwareFrames)) {
        return nullptr;
    }

    const int opened = avcodec_open2(context.get(), codec, nullptr);
    if (opened < 0) {
        log->info("{}", name + " refused " + std::to_string(settings.width) + "×" +
                            std::to_string(settings.height) + ": " + errorText(opened));
        return nullptr;
    }
    return std::unique_ptr<LibavEncoder>(
        new LibavEncoder(name, std::move(context), std::move(hardwareFrames)));
}

LibavEncoder::LibavEncoder(std::string name, CodecContextPtr context, BufferRefPtr hardwareFrames)
    : name_(std::move(name)),
      context_(std::move(context)),
      hardwareFrames_(std::move(hardwareFrames)),
      frame_(av_frame_alloc()),
      surface_(av_frame_alloc()) {}

LibavEncoder::~LibavEncoder() = default;

bool LibavEncoder::send(const ImageBufferRef& image, int64_t pts, bool forceKey) {
    if (!frame_ || !surface_) return false;
    AVFrame* frame = frame_.get();
    av_frame_unref(frame);
    if (!wrapImage(frame, image)) return false;

    AVFrame* input = frame;
    if (hardwareFrames_) {
        av_frame_unref(surface_.get());
        if (av_hwframe_get_buffer(hardwareFrames_.get(), surface_.get(), 0) < 0 ||
            av_hwframe_transfer_data(surface_.get(), frame, 0) < 0) {
            av_frame_unref(frame);
            return false;
        }
        input = surface_.get();
    }
    input->pts = pts;
    // With forced-idr an I picture request becomes an IDR, which a decoder can start from.
    input->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    input->key_frame = forceKey ? 1 : 0;
    const int sent = avcodec_send_frame(context_.get(), input);
    av_frame_unref(frame);
    av_frame_unref(surface_.get());
    if (sent < 0) {
        log::get("codec")->error("{}", name_ + " failed to take a frame: " + errorText(sent));
        return false;
    }
    return true;
}

LibavEncoder::Received LibavEncoder::receive(AVPacket* packet) {
    const int received = avcodec_receive_packet(context_.get(), packet);
    if (received == 0) return Received::packet;
    if (received == AVERROR(EAGAIN)) return Received::none;
    log::get("codec")->error("{}", name_ + " failed to encode: " + errorText(received));
    return Received::error;
}

}  // namespace panelora::libav
