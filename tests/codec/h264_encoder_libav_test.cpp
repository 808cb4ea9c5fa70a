// The encoder core on the real libx264 codec.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "codec_test_support.h"
#include "platform/linux/codec/libav_video_codec.h"
#include "protocol/stream_profile.h"
#include "video/h264_encoder.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;

struct Outputs {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<H264Encoder::Output> list;

    bool waitFor(size_t count, std::chrono::seconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return list.size() >= count; });
    }
};

TEST(H264EncoderOnLibav, FirstOutputIsKeyAndAStaticScreenAnswersAKeyRequest) {
    StreamProfile profile{1280, 720, 60, 8'000'000, 640, 360};
    LibavVideoCodecFactory factory(LibavVideoCodecFactory::Encoders::softwareOnly);
    auto encoder = H264Encoder::create(factory, profile);
    ASSERT_TRUE(encoder);
    auto outputs = std::make_shared<Outputs>();
    encoder->onOutput = [outputs](const H264Encoder::Output& output) {
        std::lock_guard lock(outputs->mutex);
        outputs->list.push_back(output);
        outputs->changed.notify_all();
    };

    const int64_t start = Clock::system().uptimeNanos();
    for (int i = 0; i < 3; ++i) {
        encoder->encode(test::movingPattern(1280, 720, i), start + i * 16'666'667);
        ASSERT_TRUE(outputs->waitFor(size_t(i) + 1, 30s));
    }
    {
        std::lock_guard lock(outputs->mutex);
        ASSERT_EQ(outputs->list.size(), 3u);
        EXPECT_TRUE(outputs->list[0].isKey);
        EXPECT_TRUE(outputs->list[0].sps && outputs->list[0].pps);
        EXPECT_EQ(outputs->list[0].ptsMicros, uint64_t(start / 1000));
        EXPECT_FALSE(outputs->list[1].isKey);
        EXPECT_FALSE(outputs->list[2].isKey);
        EXPECT_FALSE(outputs->list[2].sps);
    }

    // No new frame comes: the fallback re-encodes the last one as a key frame.
    const auto requested = std::chrono::steady_clock::now();
    encoder->requestKeyframe();
    ASSERT_TRUE(outputs->waitFor(4, 30s));
    const auto elapsed = std::chrono::steady_clock::now() - requested;
    EXPECT_LT(elapsed, 2s);
    {
        std::lock_guard lock(outputs->mutex);
        const auto& key = outputs->list[3];
        EXPECT_TRUE(key.isKey);
        EXPECT_TRUE(key.sps && key.pps);
        test::H264TestDecoder decoder;
        EncodedSample sample{false, key.avcc, key.sps, key.pps, 0};
        auto picture = decoder.decode(sample);
        ASSERT_TRUE(picture);
        EXPECT_GE(test::psnr(*picture, *test::movingPattern(1280, 720, 2), 0), 35.0);
    }
    encoder->invalidate();
}

}  // namespace
}  // namespace panelora
