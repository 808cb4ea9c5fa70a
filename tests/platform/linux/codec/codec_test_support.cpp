#include "codec_test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace panelora::test {

std::optional<std::vector<int>> nalTypes(const std::vector<uint8_t>& avcc) {
    std::vector<int> types;
    size_t at = 0;
    while (at < avcc.size()) {
        if (avcc.size() - at < 4) return std::nullopt;
        const size_t length = (size_t{avcc[at]} << 24) | (size_t{avcc[at + 1]} << 16) |
                              (size_t{avcc[at + 2]} << 8) | avcc[at + 3];
        at += 4;
        if (length == 0 || length > avcc.size() - at) return std::nullopt;
        types.push_back(avcc[at] & 0x1F);
        at += length;
    }
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
    if (!impl_->context) return std::nullopt;
    // Back to Annex B: a start code before each parameter set and NAL unit.
    std::vector<uint8_t> annexB;
    auto append = [&annexB](const uint8_t* data, size_t size) {
        static constexpr uint8_t kStart[] = {0, 0, 0, 1};
        annexB.insert(annexB.end(), kStart, kStart + 4);
        annexB.insert(annexB.end(), data, data + size);
    };
    if (sample.sps) append(sample.sps->data(), sample.sps->size());
    if (sample.pps) append(sample.pps->data(), sample.pps->size());
    size_t at = 0;
    while (at + 4 <= sample.avcc.size()) {
        const size_t length = (size_t{sample.avcc[at]} << 24) |
                              (size_t{sample.avcc[at + 1]} << 16) |
                              (size_t{sample.avcc[at + 2]} << 8) | sample.avcc[at + 3];
        at += 4;
        if (length > sample.avcc.size() - at) return std::nullopt;
        append(sample.avcc.data() + at, length);
        at += length;
    }
    if (av_new_packet(impl_->packet, static_cast<int>(annexB.size())) < 0) return std::nullopt;
    std::memcpy(impl_->packet->data, annexB.data(), annexB.size());
    const int sent = avcodec_send_packet(impl_->context, impl_->packet);
    av_packet_unref(impl_->packet);
    if (sent < 0) return std::nullopt;
    if (avcodec_receive_frame(impl_->context, impl_->frame) < 0) return std::nullopt;

    const AVFrame* frame = impl_->frame;
    DecodedPicture picture;
    picture.width = frame->width;
    picture.height = frame->height;
    picture.videoRange = frame->color_range == AVCOL_RANGE_MPEG;
    picture.bt601 = frame->colorspace == AVCOL_SPC_SMPTE170M;
    if (frame->format != AV_PIX_FMT_YUV420P) {
        av_frame_unref(impl_->frame);
        return std::nullopt;
    }
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane == 0 ? frame->width : frame->width / 2;
        const int h = plane == 0 ? frame->height : frame->height / 2;
        std::vector<uint8_t>& out = plane == 0 ? picture.y : plane == 1 ? picture.u : picture.v;
        out.resize(static_cast<size_t>(w) * h);
        for (int row = 0; row < h; ++row) {
            std::memcpy(out.data() + static_cast<size_t>(row) * w,
                        frame->data[plane] + static_cast<ptrdiff_t>(row) * frame->linesize[plane],
                        w);
        }
    }
    av_frame_unref(impl_->frame);
    return picture;
}

double psnr(const DecodedPicture& decoded, const ImageBuffer& source, int plane) {
    if (decoded.width != source.width() || decoded.height != source.height()) return 0;
    double squared = 0;
    size_t count = 0;
    auto add = [&](int a, int b) {
        squared += static_cast<double>((a - b) * (a - b));
        ++count;
    };
    const uint8_t* data = source.planeData(plane);
    const int32_t stride = source.planeStride(plane);
    if (plane == 0) {
        for (int32_t y = 0; y < decoded.height; ++y) {
            for (int32_t x = 0; x < decoded.width; ++x) {
                add(decoded.y[static_cast<size_t>(y) * decoded.width + x], data[y * stride + x]);
            }
        }
    } else {
        const int32_t w = decoded.width / 2;
        for (int32_t y = 0; y < decoded.height / 2; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                add(decoded.u[static_cast<size_t>(y) * w + x], data[y * stride + 2 * x]);
                add(decoded.v[static_cast<size_t>(y) * w + x], data[y * stride + 2 * x + 1]);
            }
        }
    }
    const double mse = squared / static_cast<double>(count);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace panelora::test
