// The libavcodec codec with the real libx264: what comes out decodes to what went in, key frames
// and parameter sets are where the caller needs them, completions keep their promises, the rate
// control keeps to the settings.
#include "platform/linux/codec/libav_video_codec.h"

#include <numeric>

#include "pictures.h"
#include "stream_checker.h"
#include "test_prelude.h"
#include "video/h264_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace panelora::test {
namespace {

using tabletsim::nalType;
using tabletsim::splitAvcc;

using DecodedPicture = std::unique_ptr<AVFrame, decltype([](AVFrame* f) { av_frame_free(&f); })>;

// libavcodec's H.264 decoder; nothing for a sample it rejects or that gives no picture.
class H264TestDecoder {
  public:
    H264TestDecoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
    }
    ~H264TestDecoder() {
        avcodec_free_context(&context_);
        av_packet_free(&packet_);
    }
    DecodedPicture decode(const EncodedSample& sample) {
        // Back to Annex B: a start code before each parameter set and NAL unit.
        auto units = splitAvcc(sample.avcc);
        if (!context_ || !units) return nullptr;
        if (sample.pps) units->insert(units->begin(), *sample.pps);
        if (sample.sps) units->insert(units->begin(), *sample.sps);
        std::vector<uint8_t> annexB;
        for (const auto& unit : *units) {
            annexB.insert(annexB.end(), {0, 0, 0, 1});
            annexB.insert(annexB.end(), unit.begin(), unit.end());
        }
        if (av_new_packet(packet_, int(annexB.size())) < 0) return nullptr;
        std::memcpy(packet_->data, annexB.data(), annexB.size());
        const int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        DecodedPicture picture(av_frame_alloc());
        if (sent < 0 || avcodec_receive_frame(context_, picture.get()) < 0) return nullptr;
        return picture;
    }

  private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = av_packet_alloc();
};

// PSNR in dB of the decoded 8-bit 4:2:0 luma (plane 0) or chroma (plane 1: Cb and Cr,
// interleaved in the source) against the source.
double psnr(const AVFrame& decoded, const ImageBuffer& source, int plane) {
    if (decoded.format != AV_PIX_FMT_YUV420P || decoded.width != source.width() ||
        decoded.height != source.height())
        return 0;
    const int w = plane ? decoded.width / 2 : decoded.width;
    const int h = plane ? decoded.height / 2 : decoded.height, channels = plane ? 2 : 1;
    double squared = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = source.planeData(plane) + y * source.planeStride(plane);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < channels; ++c) {
                const int difference =
                    decoded.data[plane + c][y * decoded.linesize[plane + c] + x] -
                    row[x * channels + c];
                squared += difference * difference;
            }
        }
    }
    const double mse = squared / (double(w) * h * channels);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

using Pictures = std::vector<std::shared_ptr<Nv12Buffer>>;

struct Completed {
    int index = 0;
    std::optional<EncodedSample> sample;
    std::thread::id thread;
};

VideoCodecSettings settingsFor(int32_t width, int32_t height, int64_t fps, int64_t bitRate) {
    return VideoCodecSettings::forProfile({width, height, fps, bitRate, width / 2, height / 2});
}
std::unique_ptr<VideoCodec> makeCodec(const VideoCodecSettings& settings) {
    return LibavVideoCodecFactory(LibavVideoCodecFactory::Encoders::softwareOnly).create(settings);
}
VideoCodec::Completion into(Collected<Completed>& done, int index) {
    return [&done, index](std::optional<EncodedSample> sample) {
        done.add({index, std::move(sample), std::this_thread::get_id()});
    };
}
Pictures moving(int32_t width, int32_t height, int count) {
    Pictures pictures;
    for (int i = 0; i < count; ++i)
        pictures.push_back(movingPattern(width, height, i));
    return pictures;
}

// Encodes the pictures with at most two frames inside the codec, as the encoder core does.
std::vector<Completed> encodeAll(VideoCodec& codec, const Pictures& pictures,
                                 const std::vector<int>& forcedKeys) {
    Collected<Completed> done;
    for (size_t i = 0; i < pictures.size(); ++i) {
        if (i >= 2) {
            EXPECT_TRUE(done.waitFor(i - 1));
        }
        const bool key = std::count(forcedKeys.begin(), forcedKeys.end(), int(i)) > 0;
        EXPECT_TRUE(codec.encode(pictures[i], 1000 + int64_t(i), key, into(done, int(i))));
    }
    EXPECT_TRUE(done.waitFor(pictures.size()));
    return done.items();
}

// Frames 0 and 10 forced: each is an IDR with the High profile's parameter sets beside it (not
// inside) that a fresh decoder can start from; the rest depend on earlier frames and carry no
// parameter sets; every one decodes close to its source.
TEST(LibavVideoCodec, DecodedPicturesMatchTheSourceAndKeyFramesStandAlone) {
    for (auto [width, height, fps, bitRate] :
         {std::tuple{1280, 720, 60, 8'000'000}, {1796, 1346, 120, 43'513'488}}) {
        SCOPED_TRACE(width);
        auto codec = makeCodec(settingsFor(width, height, fps, bitRate));
        ASSERT_TRUE(codec);
        const Pictures pictures = moving(width, height, 14);
        auto done = encodeAll(*codec, pictures, {0, 10});
        ASSERT_EQ(done.size(), pictures.size());
        H264TestDecoder decoder;
        H264TestDecoder lateJoiner;  // starts at the second key frame
        for (size_t i = 0; i < done.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            ASSERT_TRUE(done[i].sample);
            const EncodedSample& sample = *done[i].sample;
            const auto units = splitAvcc(sample.avcc);
            ASSERT_TRUE(units) << "AVCC lengths do not add up";
            auto has = [&](int type) {
                return std::ranges::any_of(*units,
                                           [&](auto unit) { return nalType(unit) == type; });
            };
            const bool forced = i == 0 || i == 10;
            EXPECT_EQ(sample.notSync, !forced);
            EXPECT_EQ(has(5), forced);  // IDR
            EXPECT_FALSE(has(7) || has(8));
            ASSERT_EQ(sample.sps.has_value() && sample.pps.has_value(), forced);
            if (forced) {
                EXPECT_EQ(nalType(*sample.sps), 7);
                EXPECT_EQ(sample.sps->at(1), 100) << "profile_idc: High";
                EXPECT_EQ(nalType(*sample.pps), 8);
            }
            auto picture = decoder.decode(sample);
            ASSERT_TRUE(picture);
            EXPECT_TRUE(picture->color_range == AVCOL_RANGE_MPEG &&
                        picture->colorspace == AVCOL_SPC_SMPTE170M);
            EXPECT_GE(psnr(*picture, *pictures[i], 0), 35.0);
            EXPECT_GE(psnr(*picture, *pictures[i], 1), 35.0);
            if (i >= 10) {
                auto joined = lateJoiner.decode(sample);
                ASSERT_TRUE(joined);
                EXPECT_GE(psnr(*joined, *pictures[i], 0), 35.0);
            }
        }
    }
}

// At 2 fps, 30 seconds are 60 frames: frame 60 is a key frame that nobody forced, and none
// before it but the first.
TEST(LibavVideoCodec, MakesAKeyFrameAtLeastEveryThirtySeconds) {
    auto codec = makeCodec(settingsFor(320, 192, 2, 1'000'000));
    ASSERT_TRUE(codec);
    std::vector<int> keys;
    for (const auto& c : encodeAll(*codec, moving(320, 192, 62), {0})) {
        ASSERT_TRUE(c.sample);
        if (!c.sample->notSync) keys.push_back(c.index);
        EXPECT_TRUE(c.index != 60 || (c.sample->sps && c.sample->pps));
    }
    EXPECT_EQ(keys, (std::vector<int>{0, 60}));
}

// Holds the output thread inside frame 0's completion until `release`.
VideoCodec::Completion gate(std::promise<void>& entered, std::shared_future<void> release,
                            VideoCodec::Completion then) {
    return [&entered, release, then](std::optional<EncodedSample> sample) {
        entered.set_value();
        release.wait();
        if (then) then(std::move(sample));
    };
}

// Frame 0 held in its completion while others wait: up to the limit wait, more are refused,
// and all complete once each, in order, on the output thread, their times untouched whatever
// their order or sign. After invalidate() nothing is taken and the waiting frames are dropped
// without completion; the one being encoded completes.
TEST(LibavVideoCodec, CompletionsComeOnceEachInOrderOnTheOutputThreadUntilInvalidated) {
    for (bool invalidated : {false, true}) {
        SCOPED_TRACE(invalidated ? "invalidated" : "");
        auto codec = makeCodec(settingsFor(640, 360, 30, 8'000'000));
        ASSERT_TRUE(codec);
        Collected<Completed> done;
        std::promise<void> entered, release;
        const int64_t times[] = {5, 1'000'000'000'000'000'000, -1, 3, 3, 0, 42, 7, 9};
        ASSERT_TRUE(codec->encode(movingPattern(640, 360, 0), times[0], true,
                                  gate(entered, release.get_future().share(), into(done, 0))));
        entered.get_future().wait();
        const int waiting = int(LibavVideoCodecFactory::kMaxQueuedFrames);
        for (int i = 1; i <= waiting; ++i)
            EXPECT_TRUE(codec->encode(movingPattern(640, 360, i), times[i], false, into(done, i)));
        if (invalidated) {
            codec->invalidate();
            codec->invalidate();  // twice is harmless
        }
        EXPECT_FALSE(codec->encode(movingPattern(640, 360, 99), 99, false, into(done, 99)));
        release.set_value();
        ASSERT_TRUE(done.waitFor(invalidated ? 1 : size_t(waiting) + 1));
        codec.reset();  // joins the output thread: nothing else can arrive
        const auto items = done.items();
        ASSERT_EQ(items.size(), invalidated ? 1u : size_t(waiting) + 1);
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].index, int(i));
            EXPECT_NE(items[i].thread, std::this_thread::get_id());
            EXPECT_EQ(items[i].thread, items[0].thread);
            ASSERT_TRUE(items[i].sample);
            EXPECT_EQ(items[i].sample->ptsNanos, times[i]);
        }
    }
}

TEST(LibavVideoCodec, MayBeDestroyedFromItsOwnCompletion) {
    std::unique_ptr<VideoCodec> codec = makeCodec(settingsFor(640, 360, 30, 8'000'000));
    ASSERT_TRUE(codec);
    std::promise<void> entered, queued;
    std::promise<std::thread::id> destroyedOn;
    std::atomic<int> laterCompletions{0};
    ASSERT_TRUE(codec->encode(movingPattern(640, 360, 0), 0, true,
                              gate(entered, queued.get_future().share(), [&](auto) {
                                  codec.reset();
                                  destroyedOn.set_value(std::this_thread::get_id());
                              })));
    for (int i = 1; i <= 2; ++i)
        ASSERT_TRUE(codec->encode(movingPattern(640, 360, i), i, false,
                                  [&](std::optional<EncodedSample>) { ++laterCompletions; }));
    queued.set_value();
    auto future = destroyedOn.get_future();
    ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
    EXPECT_NE(future.get(), std::this_thread::get_id());
    std::this_thread::sleep_for(100ms);  // the detached output thread winds down by itself
    EXPECT_EQ(laterCompletions.load(), 0);
}

TEST(LibavVideoCodec, FrameOfTheWrongSizeCompletesWithNothingAndTheCodecGoesOn) {
    auto codec = makeCodec(settingsFor(640, 360, 30, 8'000'000));
    ASSERT_TRUE(codec);
    Collected<Completed> done;
    ASSERT_TRUE(codec->encode(movingPattern(320, 180, 0), 0, true, into(done, 0)));
    ASSERT_TRUE(codec->encode(nullptr, 1, true, into(done, 1)));
    ASSERT_TRUE(codec->encode(movingPattern(640, 360, 2), 2, true, into(done, 2)));
    ASSERT_TRUE(done.waitFor(3));
    EXPECT_FALSE(done.at(0).sample || done.at(1).sample);
    ASSERT_TRUE(done.at(2).sample);
    EXPECT_FALSE(done.at(2).sample->notSync);
}

TEST(LibavVideoCodecFactory, GivesNothingForImpossibleSettings) {
    auto with = [](auto change) {
        VideoCodecSettings settings = settingsFor(1280, 720, 60, 8'000'000);
        change(settings);
        return settings;
    };
    const VideoCodecSettings cases[] = {
        with([](auto& s) { s.width = s.height = 0; }),
        with([](auto& s) { s.width = s.height = 100000; }),
        with([](auto& s) { s.width = -1280; }),
        with([](auto& s) { s.width = 1281; }),  // odd
        with([](auto& s) { s.expectedFrameRate = 0; }),
        with([](auto& s) { s.averageBitRate = 0; }),
        with([](auto& s) { s.maxKeyFrameIntervalSeconds = 0; }),
    };
    for (const auto& settings : cases) {
        EXPECT_FALSE(makeCodec(settings)) << settings.width;
        EXPECT_FALSE(LibavVideoCodecFactory().create(settings)) << settings.width;
    }
}

// Two seconds of flat grey, then noise, the most expensive picture there is: the rate control may
// spend up to the limit but not more, in any one-second window.
TEST(LibavVideoCodec, KeepsToTheBitRateAndTheDataRateLimit) {
    constexpr int64_t kBitRate = 8'000'000;
    constexpr int kFps = 30;
    const auto settings = settingsFor(1280, 720, kFps, kBitRate);
    auto codec = makeCodec(settings);
    ASSERT_TRUE(codec);
    int64_t bytes = 0;
    for (const auto& c : encodeAll(*codec, moving(1280, 720, 120), {0}))
        bytes += c.sample ? int64_t(c.sample->avcc.size()) : 0;
    const double bitRate = double(bytes) * 8 / (120.0 / kFps);
    EXPECT_GT(bitRate, 0.4 * kBitRate);
    EXPECT_LT(bitRate, 1.5 * kBitRate);

    Pictures burst(2 * kFps, solidPicture(1280, 720, 100));
    for (int i = 0; i < 2 * kFps; ++i)
        burst.push_back(noisePicture(1280, 720, uint32_t(i)));
    std::vector<int64_t> sizes;
    for (const auto& c : encodeAll(*codec, burst, {}))
        sizes.push_back(c.sample ? int64_t(c.sample->avcc.size()) : 0);
    int64_t worst = 0;
    for (size_t start = 0; start + kFps <= sizes.size(); ++start)
        worst = std::max(worst, std::accumulate(sizes.begin() + start, sizes.begin() + start + kFps,
                                                int64_t{0}));
    EXPECT_GT(worst, settings.dataRateLimitBytes / 2) << "the noise should use the headroom";
    EXPECT_LE(worst, settings.dataRateLimitBytes * 11 / 10);
}

}  // namespace
}  // namespace panelora::test
