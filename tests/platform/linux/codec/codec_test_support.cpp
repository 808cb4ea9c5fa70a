#include "codec_test_support.h"

#include <span>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace panelora::test {
namespace {

// The NAL units of an AVCC buffer, in order; nothing when the lengths do not add up.
std::optional<std::vector<std::span<const uint8_t>>> nalUnits(const std::vector<uint8_t>& avcc) {
    std::vector<std::span<const uint8_t>> units;
    for (size_t at = 0; at < avcc.size();) {
        if (avcc.size() - at < 4) return std::nullopt;
        const size_t length = size_t{avcc[at]} << 24 | size_t{avcc[at + 1]} << 16 |
                              size_t{avcc[at + 2]} << 8 | avcc[at + 3];
        at += 4;
        if (length == 0 || length > avcc.size() - at) return std::nullopt;
        units.emplace_back(avcc.data() + at, length);
        at += length;
    }
    return units;
}

}  // namespace

std::optional<std::vector<int>> nalTypes(const std::vector<uint8_t>& avcc) {
    const auto units = nalUnits(avcc);
    if (!units) return std::nullopt;
    std::vector<int> types;
    for (const auto& unit : *units)
        types.push_back(unit[0] & 0x1F);
    return types;
}

struct H264TestDecoder::Impl {
    AVCodecContext* context = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();

    ~Impl() {
        avcodec_free_context(&context);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }
};

H264TestDecoder::H264TestDecoder() : impl_(std::make_unique<Impl>()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    impl_->context = avcodec_alloc_context3(codec);
    impl_->context->thread_count = 1;
    impl_->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(impl_->context, codec, nullptr) < 0) avcodec_free_context(&impl_->context);
}

H264TestDecoder::~H264TestDecoder() = default;

std::optional<DecodedPicture> H264TestDecoder::decode(const EncodedSample& sample) {
    // Back to Annex B: a start code before each parameter set and NAL unit.
    auto units = nalUnits(sample.avcc);
    if (!impl_->context || !units) return std::nullopt;
    if (sample.pps) units->insert(units->begin(), *sample.pps);
    if (sample.sps) units->insert(units->begin(), *sample.sps);
    std::vector<uint8_t> annexB;
    for (const auto& unit : *units) {
        annexB.insert(annexB.end(), {0, 0, 0, 1});
        annexB.insert(annexB.end(), unit.begin(), unit.end());
    }
    if (av_new_packet(impl_->packet, int(annexB.size())) < 0) return std::nullopt;
    std::memcpy(impl_->packet->data, annexB.data(), annexB.size());
    const int sent = avcodec_send_packet(impl_->context, impl_->packet);
    av_packet_unref(impl_->packet);
    if (sent < 0 || avcodec_receive_frame(impl_->context, impl_->frame) < 0) return std::nullopt;

    const AVFrame* frame = impl_->frame;
    DecodedPicture picture{frame->width,
                           frame->height,
                           {},
                           {},
                           {},
                           frame->color_range == AVCOL_RANGE_MPEG,
                           frame->colorspace == AVCOL_SPC_SMPTE170M};
    for (int plane = 0; frame->format == AV_PIX_FMT_YUV420P && plane < 3; ++plane) {
        const int w = plane == 0 ? frame->width : frame->width / 2;
        const int h = plane == 0 ? frame->height : frame->height / 2;
        std::vector<uint8_t>& out = plane == 0 ? picture.y : plane == 1 ? picture.u : picture.v;
        for (int row = 0; row < h; ++row) {
            const uint8_t* in = frame->data[plane] + ptrdiff_t(row) * frame->linesize[plane];
            out.insert(out.end(), in, in + w);
        }
    }
    const bool yuv420 = frame->format == AV_PIX_FMT_YUV420P;
    av_frame_unref(impl_->frame);
    return yuv420 ? std::optional(picture) : std::nullopt;
}

double psnr(const DecodedPicture& decoded, const ImageBuffer& source, int plane) {
    if (decoded.width != source.width() || decoded.height != source.height()) return 0;
    // Chroma: Cb and Cr interleaved in the source's plane 1, apart in the decoded picture.
    const int w = plane == 0 ? decoded.width : decoded.width / 2;
    const int h = plane == 0 ? decoded.height : decoded.height / 2;
    const int channels = plane == 0 ? 1 : 2;
    double squared = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = source.planeData(plane) + y * source.planeStride(plane);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < channels; ++c) {
                const auto& out = plane == 0 ? decoded.y : c == 0 ? decoded.u : decoded.v;
                const int difference = out[size_t(y) * w + x] - row[x * channels + c];
                squared += difference * difference;
            }
        }
    }
    const double mse = squared / (double(w) * h * channels);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace panelora::test
