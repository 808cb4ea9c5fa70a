#include "h264_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
}

#include <libyuv.h>

#include <cstring>

namespace panelora::tabletsim {

namespace {

constexpr uint8_t startCode[4] = {0, 0, 0, 1};

void appendNal(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    out.insert(out.end(), startCode, startCode + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

// ---- Picture ----

void Picture::FrameDeleter::operator()(AVFrame* f) const {
    av_frame_free(&f);
}

Picture::Picture() = default;
Picture::~Picture() = default;
Picture::Picture(Picture&&) noexcept = default;
Picture& Picture::operator=(Picture&&) noexcept = default;

bool Picture::empty() const {
    return !frame_ || frame_->width <= 0 || frame_->height <= 0 || !frame_->data[0];
}
int Picture::width() const {
    return empty() ? 0 : frame_->width;
}
int Picture::height() const {
    return empty() ? 0 : frame_->height;
}

std::optional<RgbImage> Picture::toRgb(std::string* error) const {
    auto fail = [&](std::string why) -> std::optional<RgbImage> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    if (empty()) return fail("no picture decoded");
    const AVFrame& f = *frame_;
    RgbImage image;
    image.width = f.width;
    image.height = f.height;
    image.rgb.resize(size_t(f.width) * f.height * 3);
    const int stride = f.width * 3;
    const auto format = static_cast<AVPixelFormat>(f.format);
    const bool fullRange = f.color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P;
    int rc = -1;
    if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
        // libyuv's RGB24 is B, G, R in memory; with U and V swapped and the VU constants it
        // writes R, G, B (what libyuv calls RAW).
        rc = libyuv::I420ToRGB24Matrix(
            f.data[0], f.linesize[0], f.data[2], f.linesize[2], f.data[1], f.linesize[1],
            image.rgb.data(), stride,
            fullRange ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants, f.width, f.height);
    } else if (format == AV_PIX_FMT_NV12 && !fullRange) {
        rc = libyuv::NV12ToRAW(f.data[0], f.linesize[0], f.data[1], f.linesize[1], image.rgb.data(),
                               stride, f.width, f.height);
    } else {
        const char* name = av_get_pix_fmt_name(format);
        return fail(std::string("cannot convert pixel format ") + (name ? name : "unknown"));
    }
    if (rc != 0) return fail("pixel conversion failed");
    return image;
}

// ---- H264Decoder ----

void H264Decoder::ContextDeleter::operator()(AVCodecContext* c) const {
    avcodec_free_context(&c);
}
void H264Decoder::PacketDeleter::operator()(AVPacket* p) const {
    av_packet_free(&p);
}

H264Decoder::~H264Decoder() = default;

std::unique_ptr<H264Decoder> H264Decoder::create(bool quiet) {
    av_log_set_level(quiet ? AV_LOG_QUIET : AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return nullptr;
    std::unique_ptr<H264Decoder> decoder(new H264Decoder());
    decoder->context_.reset(avcodec_alloc_context3(codec));
    decoder->packet_.reset(av_packet_alloc());
    decoder->received_.frame_.reset(av_frame_alloc());
    if (!decoder->context_ || !decoder->packet_ || !decoder->received_.frame_) return nullptr;
    AVCodecContext* c = decoder->context_.get();
    // A picture per frame, as soon as it arrives: no frame threading, no reordering delay.
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    c->thread_count = 1;
    c->thread_type = FF_THREAD_SLICE;
    // Report damaged data instead of concealing it, so corrupt frames are counted.
    c->err_recognition |= AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
    if (avcodec_open2(c, codec, nullptr) < 0) return nullptr;
    return decoder;
}

H264Decoder::Result H264Decoder::decode(const CheckedFrame& frame,
                                        const std::optional<ParameterSets>& parameterSets) {
    annexB_.clear();
    if (frame.isKey && parameterSets) {
        appendNal(annexB_, parameterSets->sps);
        appendNal(annexB_, parameterSets->pps);
    }
    // The checker has already verified the lengths.
    if (const auto units = splitAvcc(frame.avcc)) {
        for (const auto& nal : *units)
            appendNal(annexB_, nal);
    }
    const size_t size = annexB_.size();
    annexB_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);

    AVPacket* p = packet_.get();
    av_packet_unref(p);
    p->data = annexB_.data();
    p->size = static_cast<int>(size);
    p->pts = static_cast<int64_t>(frame.ptsMicros);
    p->dts = p->pts;
    if (frame.isKey) p->flags |= AV_PKT_FLAG_KEY;

    Result result;
    const int sent = avcodec_send_packet(context_.get(), p);
    p->data = nullptr;
    p->size = 0;
    if (sent < 0 && sent != AVERROR(EAGAIN)) result.error = true;
    Result received = receive();
    result.error = result.error || received.error;
    result.pictures = std::move(received.pictures);
    return result;
}

H264Decoder::Result H264Decoder::flush() {
    if (avcodec_send_packet(context_.get(), nullptr) < 0) return {};
    return receive();
}

H264Decoder::Result H264Decoder::receive() {
    Result result;
    for (;;) {
        AVFrame* f = received_.frame_.get();
        const int rc = avcodec_receive_frame(context_.get(), f);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) {
            result.error = true;
            break;
        }
        if (f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
            result.error = true;
        }
        result.pictures.push_back(static_cast<uint64_t>(f->pts));
        // Keep this picture as the latest; the scratch frame gets a fresh allocation.
        if (!last_.frame_) last_.frame_.reset(av_frame_alloc());
        if (last_.frame_) {
            av_frame_unref(last_.frame_.get());
            av_frame_move_ref(last_.frame_.get(), f);
        } else {
            av_frame_unref(f);
        }
    }
    return result;
}

Picture H264Decoder::takeLastPicture() {
    return std::move(last_);
}

}  // namespace panelora::tabletsim
