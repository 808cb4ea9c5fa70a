// A libavcodec H.264 decoder for what the codec makes, and picture comparison.
#pragma once

#include "pictures.h"
#include "test_prelude.h"
#include "video/h264_encoder.h"
#include "video/image_buffer.h"

namespace panelora::test {

// The NAL unit types in an AVCC buffer, in order; nothing when the lengths do not add up.
std::optional<std::vector<int>> nalTypes(const std::vector<uint8_t>& avcc);

// One decoded picture, planes as 8-bit 4:2:0.
struct DecodedPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> y, u, v;  // tightly packed
    bool videoRange = false;
    bool bt601 = false;
};

class H264TestDecoder {
  public:
    H264TestDecoder();
    ~H264TestDecoder();
    // Decodes one sample (parameter sets first when it has them); nothing when the decoder
    // rejects it or gives no picture.
    std::optional<DecodedPicture> decode(const EncodedSample& sample);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// PSNR in dB of the decoded luma (plane 0) or chroma (plane 1: both Cb and Cr) against the source.
double psnr(const DecodedPicture& decoded, const ImageBuffer& source, int plane);

}  // namespace panelora::test
