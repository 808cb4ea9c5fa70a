// The libavcodec codec with the real libx264: what comes out decodes to what went in, key frames
// and parameter sets are where the caller needs them, completions keep their promises, and the
// rate control keeps to the settings.
#include "platform/linux/codec/libav_video_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "codec_test_support.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
using test::movingPattern;
using test::nalTypes;
using test::settingsFor;

constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

struct Completed {
    int index = 0;
    std::optional<EncodedSample> sample;
    std::thread::id thread;
};

// Collects completions from the output thread.
class Collector {
  public:
    VideoCodec::Completion completion(int index) {
        return [this, index](std::optional<EncodedSample> sample) {
            std::lock_guard lock(mutex_);
            done_.push_back({index, std::move(sample), std::this_thread::get_id()});
            changed_.notify_all();
        };
    }

    bool waitFor(size_t count, std::chrono::seconds timeout = 30s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done_.size() >= count; });
    }

    std::vector<Completed> take() {
        std::lock_guard lock(mutex_);
        return std::move(done_);
    }

    size_t count() {
        std::lock_guard lock(mutex_);
        return done_.size();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Completed> done_;
};

std::unique_ptr<VideoCodec> makeCodec(const VideoCodecSettings& settings) {
    LibavVideoCodecFactory factory(LibavVideoCodecFactory::Encoders::softwareOnly);
    return factory.create(settings);
}

// Encodes the pictures with at most two frames inside the codec, as the encoder core does.
std::vector<Completed> encodeAll(VideoCodec& codec,
                                 const std::vector<std::shared_ptr<Nv12Buffer>>& pictures,
                                 const std::vector<int>& forcedKeys) {
    Collector collector;
    for (size_t i = 0; i < pictures.size(); ++i) {
        if (i >= 2) {
            EXPECT_TRUE(collector.waitFor(i - 1));
        }
        const bool key =
            std::find(forcedKeys.begin(), forcedKeys.end(), int(i)) != forcedKeys.end();
        EXPECT_TRUE(
            codec.encode(pictures[i], 1000 + int64_t(i), key, collector.completion(int(i))));
    }
    EXPECT_TRUE(collector.waitFor(pictures.size()));
    return collector.take();
}

bool contains(const std::vector<int>& types, int type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

TEST(LibavVideoCodec, FirstForcedKeyFrameComesWithParameterSets) {
    auto codec = makeCodec(settingsFor(1280, 720, 60, 8'000'000));
    ASSERT_TRUE(codec);
    auto done = encodeAll(*codec, {movingPattern(1280, 720, 0)}, {0});
    ASSERT_EQ(done.size(), 1u);
    ASSERT_TRUE(done[0].sample);
    const EncodedSample& sample = *done[0].sample;
    EXPECT_FALSE(sample.notSync);
    ASSERT_TRUE(sample.sps && !sample.sps->empty());
    ASSERT_TRUE(sample.pps && !sample.pps->empty());
    EXPECT_EQ((*sample.sps)[0] & 0x1F, kNalSps);
    EXPECT_EQ((*sample.pps)[0] & 0x1F, kNalPps);
    EXPECT_EQ((*sample.sps)[1], 100) << "profile_idc: High";
    auto types = nalTypes(sample.avcc);
    ASSERT_TRUE(types) << "AVCC lengths do not add up";
    EXPECT_TRUE(contains(*types, kNalIdr));
    EXPECT_FALSE(contains(*types, kNalSps)) << "parameter sets travel beside the frame";
    EXPECT_FALSE(contains(*types, kNalPps));
    EXPECT_EQ(sample.ptsNanos, 1000);
}

struct SizeCase {
    int32_t width;
    int32_t height;
    int64_t fps;
    int64_t bitRate;
};

class DecodedPictures : public testing::TestWithParam<SizeCase> {};

// Frames 0 and 10 forced: each is an IDR that a fresh decoder can start from; the rest depend on
// earlier frames and carry no parameter sets; every one decodes close to its source.
TEST_P(DecodedPictures, MatchTheSourceAndKeyFramesStandAlone) {
    const SizeCase size = GetParam();
    auto codec = makeCodec(settingsFor(size.width, size.height, size.fps, size.bitRate));
    ASSERT_TRUE(codec);
    std::vector<std::shared_ptr<Nv12Buffer>> pictures;
    for (int i = 0; i < 14; ++i)
        pictures.push_back(movingPattern(size.width, size.height, i));
    auto done = encodeAll(*codec, pictures, {0, 10});
    ASSERT_EQ(done.size(), pictures.size());

    test::H264TestDecoder decoder;
    test::H264TestDecoder lateJoiner;  // starts at the second key frame
    for (size_t i = 0; i < done.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        ASSERT_EQ(done[i].index, int(i));
        ASSERT_TRUE(done[i].sample);
        const EncodedSample& sample = *done[i].sample;
        auto types = nalTypes(sample.avcc);
        ASSERT_TRUE(types);
        const bool forced = i == 0 || i == 10;
        EXPECT_EQ(sample.notSync, !forced);
        EXPECT_EQ(sample.sps.has_value(), forced);
        EXPECT_EQ(sample.pps.has_value(), forced);
        EXPECT_EQ(contains(*types, kNalIdr), forced);

        auto picture = decoder.decode(sample);
        ASSERT_TRUE(picture);
        EXPECT_TRUE(picture->videoRange);
        EXPECT_TRUE(picture->bt601);
        EXPECT_GE(test::psnr(*picture, *pictures[i], 0), 35.0);
        EXPECT_GE(test::psnr(*picture, *pictures[i], 1), 35.0);
        if (i >= 10) {
            auto joined = lateJoiner.decode(sample);
            ASSERT_TRUE(joined);
            EXPECT_GE(test::psnr(*joined, *pictures[i], 0), 35.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DecodedPictures,
                         testing::Values(SizeCase{1280, 720, 60, 8'000'000},
                                         SizeCase{1796, 1346, 120, 43'513'488}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

// At 2 fps, 30 seconds are 60 frames: frame 60 is a key frame that nobody forced, and none
// before it but the first.
TEST(LibavVideoCodec, MakesAKeyFrameAtLeastEveryThirtySeconds) {
    auto codec = makeCodec(settingsFor(320, 192, 2, 1'000'000));
    ASSERT_TRUE(codec);
    std::vector<std::shared_ptr<Nv12Buffer>> pictures;
    for (int i = 0; i <= 61; ++i)
        pictures.push_back(movingPattern(320, 192, i));
    auto done = encodeAll(*codec, pictures, {0});
    ASSERT_EQ(done.size(), pictures.size());
    std::vector<int> keys;
    for (const auto& c : done) {
        ASSERT_TRUE(c.sample);
        if (!c.sample->notSync) keys.push_back(c.index);
    }
    EXPECT_EQ(keys, (std::vector<int>{0, 60}));
    EXPECT_TRUE(done[60].sample->sps && done[60].sample->pps);
}

// Whatever the machine has, the automatic choice gives a codec that makes key frames; here,
// without a GPU, that is libx264 after the hardware probe failed.
TEST(LibavVideoCodecFactory, AutomaticChoiceEncodes) {
    LibavVideoCodecFactory factory;
    auto codec = factory.create(settingsFor(1280, 720, 60, 8'000'000));
    ASSERT_TRUE(codec);
    auto done = encodeAll(*codec, {movingPattern(1280, 720, 0), movingPattern(1280, 720, 1)}, {0});
    ASSERT_EQ(done.size(), 2u);
    ASSERT_TRUE(done[0].sample && done[1].sample);
    EXPECT_FALSE(done[0].sample->notSync);
    EXPECT_TRUE(done[0].sample->sps && done[0].sample->pps);
    EXPECT_TRUE(done[1].sample->notSync);
    test::H264TestDecoder decoder;
    for (int i = 0; i < 2; ++i) {
        auto picture = decoder.decode(*done[i].sample);
        ASSERT_TRUE(picture);
        EXPECT_GE(test::psnr(*picture, *movingPattern(1280, 720, i), 0), 30.0);
    }
}

// The output thread is held inside the first completion while more frames queue up behind it.
TEST(LibavVideoCodec, CompletionsComeOnceEachInOrderOnTheOutputThread) {
    auto codec = makeCodec(settingsFor(640, 360, 30, 8'000'000));
    ASSERT_TRUE(codec);
    Collector collector;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> entered;
    bool first = true;
    auto gate = [&, inner = collector.completion(0)](std::optional<EncodedSample> sample) {
        if (first) {
            first = false;
            entered.set_value();
            released.wait();
        }
        inner(std::move(sample));
    };
    // Times pass through untouched, whatever their order or sign.
    const int64_t times[] = {5, 1'000'000'000'000'000'000, -1, 3, 3, 0, 42, 7, 9};
    ASSERT_TRUE(codec->encode(movingPattern(640, 360, 0), times[0], true, gate));
    entered.get_future().wait();
    for (int i = 1; i <= int(LibavVideoCodecFactory::kMaxQueuedFrames); ++i) {
        EXPECT_TRUE(
            codec->encode(movingPattern(640, 360, i), times[i], false, collector.completion(i)));
    }
    EXPECT_FALSE(codec->encode(movingPattern(640, 360, 99), 99, false, collector.completion(99)))
        << "a ninth waiting frame is refused";
    release.set_value();
    ASSERT_TRUE(collector.waitFor(9));
    codec.reset();  // joins the output thread: nothing else can arrive
    auto done = collector.take();
    ASSERT_EQ(done.size(), 9u);
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].index, int(i));
        EXPECT_NE(done[i].thread, std::this_thread::get_id());
        EXPECT_EQ(done[i].thread, done[0].thread);
        ASSERT_TRUE(done[i].sample);
        EXPECT_EQ(done[i].sample->ptsNanos, times[i]);
    }
}

TEST(LibavVideoCodec, InvalidateRefusesNewFramesAndDropsWaitingOnes) {
    auto codec = makeCodec(settingsFor(640, 360, 30, 8'000'000));
    ASSERT_TRUE(codec);
    Collector collector;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> entered;
    auto inner = collector.completion(0);
    ASSERT_TRUE(codec->encode(movingPattern(640, 360, 0), 0, true,
                              [&](std::optional<EncodedSample> sample) {
                                  entered.set_value();
                                  released.wait();
                                  inner(std::move(sample));
                              }));
    entered.get_future().wait();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(codec->encode(movingPattern(640, 360, i), i, false, collector.completion(i)));
    }
    codec->invalidate();
    codec->invalidate();  // twice is harmless
    EXPECT_FALSE(codec->encode(movingPattern(640, 360, 4), 4, false, collector.completion(4)));
    release.set_value();
    codec.reset();
    auto done = collector.take();
    ASSERT_EQ(done.size(), 1u) << "waiting frames are dropped without completion";
    EXPECT_EQ(done[0].index, 0);
    EXPECT_TRUE(done[0].sample) << "the frame being encoded completes normally";
}

TEST(LibavVideoCodec, MayBeDestroyedFromItsOwnCompletion) {
    std::unique_ptr<VideoCodec> codec = makeCodec(settingsFor(640, 360, 30, 8'000'000));
    ASSERT_TRUE(codec);
    std::promise<void> queued;
    std::shared_future<void> allQueued = queued.get_future().share();
    std::promise<std::thread::id> destroyedOn;
    std::atomic<int> laterCompletions{0};
    ASSERT_TRUE(
        codec->encode(movingPattern(640, 360, 0), 0, true, [&](std::optional<EncodedSample>) {
            allQueued.wait();
            codec.reset();
            destroyedOn.set_value(std::this_thread::get_id());
        }));
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(codec->encode(movingPattern(640, 360, i), i, false,
                                  [&](std::optional<EncodedSample>) { ++laterCompletions; }));
    }
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
    Collector collector;
    ASSERT_TRUE(codec->encode(movingPattern(320, 180, 0), 0, true, collector.completion(0)));
    ASSERT_TRUE(codec->encode(nullptr, 1, true, collector.completion(1)));
    ASSERT_TRUE(codec->encode(movingPattern(640, 360, 2), 2, true, collector.completion(2)));
    ASSERT_TRUE(collector.waitFor(3));
    auto done = collector.take();
    EXPECT_FALSE(done[0].sample);
    EXPECT_FALSE(done[1].sample);
    ASSERT_TRUE(done[2].sample);
    EXPECT_FALSE(done[2].sample->notSync);
}

TEST(LibavVideoCodecFactory, GivesNothingForImpossibleSettings) {
    struct Case {
        const char* name;
        VideoCodecSettings settings;
    };
    auto with = [](auto change) {
        VideoCodecSettings settings = settingsFor(1280, 720, 60, 8'000'000);
        change(settings);
        return settings;
    };
    const Case cases[] = {
        {"zero size", with([](auto& s) { s.width = s.height = 0; })},
        {"huge", with([](auto& s) { s.width = s.height = 100000; })},
        {"negative", with([](auto& s) { s.width = -1280; })},
        {"odd width", with([](auto& s) { s.width = 1281; })},
        {"no frame rate", with([](auto& s) { s.expectedFrameRate = 0; })},
        {"no bit rate", with([](auto& s) { s.averageBitRate = 0; })},
        {"no key frame interval", with([](auto& s) { s.maxKeyFrameIntervalSeconds = 0; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(makeCodec(c.settings));
        LibavVideoCodecFactory automatic;
        EXPECT_FALSE(automatic.create(c.settings));
    }
    EXPECT_TRUE(makeCodec(with([](auto&) {})));
}

// Two seconds of flat grey, then noise, the most expensive picture there is: the rate control may
// spend up to the limit but not more, in any one-second window.
TEST(LibavVideoCodec, KeepsToTheBitRateAndTheDataRateLimit) {
    constexpr int64_t kBitRate = 8'000'000;
    constexpr int kFps = 30;
    auto settings = settingsFor(1280, 720, kFps, kBitRate);
    auto codec = makeCodec(settings);
    ASSERT_TRUE(codec);

    std::vector<std::shared_ptr<Nv12Buffer>> moving;
    for (int i = 0; i < 120; ++i)
        moving.push_back(movingPattern(1280, 720, i));
    auto done = encodeAll(*codec, moving, {0});
    int64_t bytes = 0;
    for (const auto& c : done) {
        ASSERT_TRUE(c.sample);
        bytes += int64_t(c.sample->avcc.size());
    }
    const double bitRate = double(bytes) * 8 / (120.0 / kFps);
    EXPECT_GT(bitRate, 0.4 * kBitRate);
    EXPECT_LT(bitRate, 1.5 * kBitRate);

    std::vector<std::shared_ptr<Nv12Buffer>> burst;
    auto flat = test::solidPicture(1280, 720, 100);
    for (int i = 0; i < 2 * kFps; ++i)
        burst.push_back(flat);
    for (int i = 0; i < 2 * kFps; ++i)
        burst.push_back(test::noisePicture(1280, 720, uint32_t(i)));
    done = encodeAll(*codec, burst, {});
    std::vector<int64_t> sizes;
    for (const auto& c : done)
        sizes.push_back(c.sample ? int64_t(c.sample->avcc.size()) : 0);
    int64_t worst = 0;
    for (size_t start = 0; start + kFps <= sizes.size(); ++start) {
        int64_t window = 0;
        for (size_t i = start; i < start + kFps; ++i)
            window += sizes[i];
        worst = std::max(worst, window);
    }
    EXPECT_GT(worst, settings.dataRateLimitBytes / 2) << "the noise should use the headroom";
    EXPECT_LE(worst, settings.dataRateLimitBytes * 11 / 10);
    std::printf(
        "[          ] moving pattern %.2f Mbit/s; worst one-second window %lld bytes, "
        "limit %lld\n",
        bitRate / 1e6, static_cast<long long>(worst),
        static_cast<long long>(settings.dataRateLimitBytes));
}

}  // namespace
}  // namespace panelora
