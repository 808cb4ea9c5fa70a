#include "video/h264_encoder.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "support/manual_clock.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
using testing::FakeCodecFactory;
using testing::makeImage;

class H264EncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        encoder = H264Encoder::create(factory, StreamProfile::fallback, clock,
                                      clock.makeQueue("slatecast.keyframe-fallback"));
        ASSERT_NE(encoder, nullptr);
        encoder->onOutput = [this](const H264Encoder::Output& output) {
            outputs.push_back(output);
        };
    }

    // Encodes a new frame stamped with the current time.
    ImageBufferRef frame() {
        auto image = makeImage();
        encoder->encode(image, clock.uptimeNanos());
        return image;
    }
    int64_t skipped() {
        std::lock_guard guard(encoder->lock);
        return encoder->skipped;
    }

    ManualClock clock;
    FakeCodecFactory factory;
    std::shared_ptr<testing::FakeCodecState> codec = factory.state;
    std::shared_ptr<H264Encoder> encoder;
    std::vector<H264Encoder::Output> outputs;
};

TEST(VideoCodecSettingsTest, FollowTheProfile) {
    VideoCodecSettings s = VideoCodecSettings::forProfile(StreamProfile::fallback);
    EXPECT_EQ(s.width, 2048);
    EXPECT_EQ(s.height, 1536);
    EXPECT_FALSE(s.realTime);
    EXPECT_TRUE(s.highProfile);
    EXPECT_FALSE(s.allowFrameReordering);
    EXPECT_EQ(s.maxKeyFrameIntervalSeconds, 30);
    EXPECT_EQ(s.expectedFrameRate, 60);
    EXPECT_EQ(s.averageBitRate, 20'000'000);
    EXPECT_EQ(s.dataRateLimitBytes, 5'000'000);  // twice the rate, in bytes, per second
    EXPECT_EQ(s.dataRateLimitSeconds, 1);
    EXPECT_FALSE(s.prioritizeSpeedOverQuality);  // 60 fps is not above 60
    EXPECT_EQ(s.maxFrameDelayCount, 0);

    VideoCodecSettings smooth =
        VideoCodecSettings::forProfile(StreamProfile{1796, 1346, 120, 43513489, 1708, 1280});
    EXPECT_TRUE(smooth.prioritizeSpeedOverQuality);
    EXPECT_EQ(smooth.dataRateLimitBytes, 10'878'372);  // 87026978 / 8, truncated
}

TEST(H264EncoderCreateTest, YieldsNothingWithoutACodec) {
    ManualClock clock;
    FakeCodecFactory factory;
    factory.refuse = true;
    EXPECT_EQ(H264Encoder::create(factory, StreamProfile::fallback, clock, clock.makeQueue("q")),
              nullptr);

    FakeCodecFactory accepting;
    StreamProfile huge = StreamProfile::fallback;
    huge.width = int64_t{1} << 31;
    EXPECT_EQ(H264Encoder::create(accepting, huge, clock, clock.makeQueue("q")), nullptr);
    EXPECT_FALSE(accepting.settings);  // refused before the platform was asked
}

TEST_F(H264EncoderTest, FirstFrameIsForcedKeyAndTheNextIsNot) {
    auto a = frame();
    auto b = frame();
    ASSERT_EQ(codec->count(), 2u);
    EXPECT_EQ(codec->at(0).image, a);
    EXPECT_TRUE(codec->at(0).forceKey);
    EXPECT_EQ(codec->at(1).image, b);
    EXPECT_FALSE(codec->at(1).forceKey);
}

TEST_F(H264EncoderTest, TwoInFlightNewestWaitingFrameWins) {
    auto a = frame();
    auto b = frame();
    auto c = frame();  // both slots taken: waits
    EXPECT_EQ(codec->count(), 2u);
    EXPECT_EQ(skipped(), 0);

    encoder->requestKeyframe();  // D, which replaces C, must carry it
    auto d = frame();
    EXPECT_EQ(codec->count(), 2u);
    EXPECT_EQ(skipped(), 1);

    codec->completeOk(0, true);  // A comes back: D goes in, C never does
    ASSERT_EQ(codec->count(), 3u);
    EXPECT_EQ(codec->at(2).image, d);
    EXPECT_TRUE(codec->at(2).forceKey);

    codec->completeOk(1);
    codec->completeOk(2, true);
    EXPECT_EQ(codec->count(), 3u);
    EXPECT_EQ(outputs.size(), 3u);
    EXPECT_EQ(codec->maxInside, 2);
}

// A codec that encodes one frame at a time gets one: the next waits here, where a newer capture
// replaces it, instead of aging in the codec's queue.
TEST(H264EncoderInFlight, OneAtATimeForACodecThatEncodesOneAtATime) {
    FakeCodecFactory codecs;
    codecs.state->atOnce = 1;
    ManualClock clock;
    auto encoder = H264Encoder::create(codecs, StreamProfile::fallback, clock,
                                       clock.makeQueue("slatecast.keyframe-fallback"));
    ASSERT_TRUE(encoder);
    auto image = [] { return std::make_shared<Nv12Buffer>(2048, 1536); };
    encoder->encode(image(), 1);
    encoder->encode(image(), 2);
    auto newest = image();
    encoder->encode(newest, 3);
    EXPECT_EQ(codecs.state->count(), 1u);
    codecs.state->completeOk(0, true);
    ASSERT_EQ(codecs.state->count(), 2u);
    EXPECT_EQ(codecs.state->at(1).image, newest);
    EXPECT_EQ(codecs.state->maxInside, 1);
}

TEST_F(H264EncoderTest, OutOfOrderCompletionFreesSlotsAndWaitingFrameKeepsItsTime) {
    frame();
    frame();
    clock.advance(10ms);
    const int64_t cTime = clock.uptimeNanos();
    auto c = frame();
    clock.advance(10ms);
    codec->completeOk(1);  // B back before A
    ASSERT_EQ(codec->count(), 3u);
    EXPECT_EQ(codec->at(2).image, c);
    EXPECT_EQ(codec->at(2).ptsNanos, cTime);
    EXPECT_FALSE(codec->at(2).forceKey);
}

TEST_F(H264EncoderTest, SkippedIsReadAndResetUnderTheLock) {
    frame();
    frame();
    frame();
    frame();
    frame();  // two waiting frames replaced
    {
        std::lock_guard guard(encoder->lock);
        EXPECT_EQ(encoder->skipped, 2);
        encoder->skipped = 0;
    }
    frame();
    EXPECT_EQ(skipped(), 1);
}

TEST_F(H264EncoderTest, KeyRequestsOnAStaticScreenReencodeTheLastFrameOnce) {
    auto a = frame();
    codec->completeOk(0, true);
    ASSERT_EQ(codec->count(), 1u);

    const int64_t requestedAt = clock.uptimeNanos();
    encoder->requestKeyframe();
    clock.advance(50ms);
    encoder->requestKeyframe();
    clock.advance(50ms);
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 1u);  // one fallback only
    EXPECT_EQ(codec->count(), 1u);

    clock.advance(50ms);  // 0.15 s after the first request
    ASSERT_EQ(codec->count(), 2u);
    EXPECT_EQ(codec->at(1).image, a);
    EXPECT_TRUE(codec->at(1).forceKey);
    EXPECT_EQ(codec->at(1).ptsNanos, requestedAt + 150'000'000);

    clock.advance(1s);
    EXPECT_EQ(codec->count(), 2u);
}

TEST_F(H264EncoderTest, FallbackWaitsForAFreeSlotAndStaysKey) {
    frame();
    codec->completeOk(0);
    auto b = frame();
    auto c = frame();  // both slots busy
    encoder->requestKeyframe();
    clock.advance(150ms);  // the fallback re-encodes C; it has to wait
    EXPECT_EQ(codec->count(), 3u);
    codec->completeOk(1);
    ASSERT_EQ(codec->count(), 4u);
    EXPECT_EQ(codec->at(3).image, c);
    EXPECT_TRUE(codec->at(3).forceKey);
}

TEST_F(H264EncoderTest, NewFrameAfterARequestIsTheKeyFrameAndTheFallbackDoesNothing) {
    frame();
    codec->completeOk(0, true);
    encoder->requestKeyframe();
    clock.advance(100ms);
    auto b = frame();
    ASSERT_EQ(codec->count(), 2u);
    EXPECT_EQ(codec->at(1).image, b);
    EXPECT_TRUE(codec->at(1).forceKey);

    clock.advance(1s);
    EXPECT_EQ(codec->count(), 2u);
    EXPECT_EQ(clock.pendingTasks(), 0u);

    // Once the fallback has run, a new request schedules a new one.
    codec->completeOk(1, true);
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 1u);
}

TEST_F(H264EncoderTest, RequestBeforeAnyFrameSchedulesNothing) {
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 0u);
    clock.advance(1s);
    EXPECT_EQ(codec->count(), 0u);
    frame();
    EXPECT_TRUE(codec->at(0).forceKey);
}

TEST_F(H264EncoderTest, NothingIsSubmittedAfterInvalidate) {
    frame();
    frame();
    frame();                     // waiting
    encoder->requestKeyframe();  // fallback scheduled
    ASSERT_EQ(codec->count(), 2u);

    encoder->invalidate();
    EXPECT_EQ(codec->invalidations, 1);

    frame();               // only remembered
    codec->completeOk(0);  // an output still comes out…
    codec->fail(1);        // …but no waiting frame goes in
    clock.advance(1s);     // the fallback finds nothing
    encoder->requestKeyframe();
    clock.advance(1s);
    encoder->invalidate();  // a second call is harmless

    EXPECT_EQ(codec->count(), 2u);
    EXPECT_EQ(codec->encodesAfterInvalidate, 0);
    EXPECT_EQ(codec->invalidations, 1);
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST_F(H264EncoderTest, FailedFrameFreesItsSlotWithoutOutput) {
    frame();
    frame();
    auto c = frame();
    codec->fail(0);
    ASSERT_EQ(codec->count(), 3u);
    EXPECT_EQ(codec->at(2).image, c);
    EXPECT_TRUE(outputs.empty());
}

TEST_F(H264EncoderTest, RefusedFrameFreesItsSlotAndKeepsTheKeyRequest) {
    codec->refuseNext = 1;
    frame();  // the first, forced key frame, refused at once
    ASSERT_EQ(codec->count(), 1u);
    EXPECT_TRUE(codec->at(0).forceKey);

    auto b = frame();
    auto c = frame();
    ASSERT_EQ(codec->count(), 3u);  // the refusal did not keep a slot
    EXPECT_EQ(codec->at(1).image, b);
    EXPECT_TRUE(codec->at(1).forceKey);  // the key frame was not lost
    EXPECT_EQ(codec->at(2).image, c);
    EXPECT_FALSE(codec->at(2).forceKey);
}

TEST_F(H264EncoderTest, ARefusingCodecIsReportedOnce) {
    int failures = 0;
    encoder->onFailure = [&] { ++failures; };
    frame();
    EXPECT_EQ(failures, 0);
    codec->refuseNext = 3;
    frame();
    frame();
    frame();
    EXPECT_EQ(failures, 1);
}

TEST_F(H264EncoderTest, RefusedFrameLetsTheWaitingFrameIn) {
    frame();
    frame();
    auto c = frame();
    auto d = frame();  // replaces C
    codec->refuseNext = 1;
    codec->completeOk(0);  // D is submitted and refused: its slot frees again
    ASSERT_EQ(codec->count(), 3u);
    EXPECT_EQ(codec->at(2).image, d);
    auto e = frame();
    ASSERT_EQ(codec->count(), 4u);
    EXPECT_EQ(codec->at(3).image, e);
}

TEST_F(H264EncoderTest, OutputsCarryParameterSetsOnlyWithKeyFrames) {
    frame();
    frame();
    EncodedSample key;
    key.notSync = false;
    key.avcc = {0, 0, 0, 2, 0x65, 0x88};
    key.sps = std::vector<uint8_t>{0x67, 0x64};
    key.pps = std::vector<uint8_t>{0x68, 0xEE};
    key.ptsNanos = 1'234'567'891;
    codec->complete(0, key);

    EncodedSample delta = key;  // the codec attached sets to a non-key frame
    delta.notSync = true;
    codec->complete(1, delta);

    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_TRUE(outputs[0].isKey);
    EXPECT_EQ(outputs[0].sps, key.sps);
    EXPECT_EQ(outputs[0].pps, key.pps);
    EXPECT_EQ(outputs[0].avcc, key.avcc);
    EXPECT_EQ(outputs[0].ptsMicros, 1'234'567u);  // truncated
    EXPECT_FALSE(outputs[1].isKey);
    EXPECT_FALSE(outputs[1].sps);
    EXPECT_FALSE(outputs[1].pps);
}

TEST_F(H264EncoderTest, EmptyOutputIsDroppedButFreesItsSlot) {
    frame();
    frame();
    auto c = frame();
    EncodedSample empty;
    empty.ptsNanos = clock.uptimeNanos();
    codec->complete(0, empty);
    EXPECT_TRUE(outputs.empty());
    ASSERT_EQ(codec->count(), 3u);
    EXPECT_EQ(codec->at(2).image, c);
}

TEST_F(H264EncoderTest, PresentationTimesAndLatency) {
    struct Case {
        int64_t ptsNanos;
        uint64_t micros;
        double latencyMs;
    };
    const int64_t now = clock.uptimeNanos() + 40'000'000;  // when the outputs come back
    const Case cases[] = {
        {now - 12'500'000, static_cast<uint64_t>((now - 12'500'000) / 1000), 12.5},
        {-1, 0, 0},                                                             // invalid time
        {now + 5'000'000, static_cast<uint64_t>((now + 5'000'000) / 1000), 0},  // in the future
        {0, 0, static_cast<double>(now) / 1e6},  // time zero is valid
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        frame();
    }
    clock.advance(40ms);
    size_t index = 0;
    for (const Case& c : cases) {
        EncodedSample sample;
        sample.avcc = {0, 0, 0, 1, 0x41};
        sample.notSync = true;
        sample.ptsNanos = c.ptsNanos;
        // Only two are inside at once; complete them as they go in.
        while (codec->count() <= index)
            frame();
        codec->complete(index++, sample);
    }
    ASSERT_EQ(outputs.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(outputs[i].ptsMicros, cases[i].micros);
        EXPECT_NEAR(outputs[i].encodeLatencyMs, cases[i].latencyMs, 1e-9);
        EXPECT_GE(outputs[i].encodeLatencyMs, 0);
    }
}

TEST_F(H264EncoderTest, OutputHandlerMayRequestAKeyFrame) {
    encoder->onOutput = [this](const H264Encoder::Output&) { encoder->requestKeyframe(); };
    frame();
    codec->completeOk(0);  // would deadlock if the lock were held around onOutput
    auto b = frame();
    EXPECT_TRUE(codec->at(1).forceKey);
}

TEST_F(H264EncoderTest, CodecCompletingInsideEncodeMayInvalidate) {
    // A codec that finishes frames synchronously calls back while encode() is still running;
    // the session may end from the output handler right then.
    codec->duringEncode = [this](size_t index) { codec->completeOk(index, true); };
    encoder->onOutput = [this](const H264Encoder::Output&) { encoder->invalidate(); };
    frame();
    EXPECT_EQ(codec->invalidations, 1);
    frame();
    EXPECT_EQ(codec->count(), 1u);
}

TEST_F(H264EncoderTest, CompletionsAfterTheEncoderIsGoneDoNothing) {
    frame();
    frame();
    frame();
    encoder->requestKeyframe();
    encoder.reset();
    codec->completeOk(0);
    clock.advance(1s);
    EXPECT_EQ(codec->count(), 2u);
    EXPECT_TRUE(outputs.empty());
}

}  // namespace
}  // namespace panelora
