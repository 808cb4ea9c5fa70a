// The encoder core on the real libx264 codec.

#include "codec_test_support.h"
#include "platform/linux/codec/libav_video_codec.h"
#include "test_prelude.h"
#include "video/h264_encoder.h"

namespace panelora::test {
namespace {

TEST(H264EncoderOnLibav, FirstOutputIsKeyAndAStaticScreenAnswersAKeyRequest) {
    LibavVideoCodecFactory factory(LibavVideoCodecFactory::Encoders::softwareOnly);
    auto encoder = H264Encoder::create(factory, {1280, 720, 60, 8'000'000, 640, 360});
    ASSERT_TRUE(encoder);
    auto outputs = std::make_shared<Collected<H264Encoder::Output>>();
    encoder->onOutput = [outputs](const H264Encoder::Output& output) { outputs->add(output); };
    const int64_t start = Clock::system().uptimeNanos();
    for (int i = 0; i < 3; ++i) {
        encoder->encode(movingPattern(1280, 720, i), start + i * 16'666'667);
        ASSERT_TRUE(outputs->waitFor(size_t(i) + 1));
    }
    const auto first = outputs->items();
    EXPECT_TRUE(first[0].isKey && first[0].sps && first[0].pps);
    EXPECT_EQ(first[0].ptsMicros, uint64_t(start / 1000));
    EXPECT_FALSE(first[1].isKey || first[2].isKey || first[2].sps);

    // No new frame comes: the fallback re-encodes the last one as a key frame.
    const auto requested = std::chrono::steady_clock::now();
    encoder->requestKeyframe();
    ASSERT_TRUE(outputs->waitFor(4));
    EXPECT_LT(std::chrono::steady_clock::now() - requested, 2s);
    const auto key = outputs->at(3);
    EXPECT_TRUE(key.isKey && key.sps && key.pps);
    auto picture = H264TestDecoder().decode({false, key.avcc, key.sps, key.pps, 0});
    ASSERT_TRUE(picture);
    EXPECT_GE(psnr(*picture, *movingPattern(1280, 720, 2), 0), 35.0);
    encoder->invalidate();
}

}  // namespace
}  // namespace panelora::test
