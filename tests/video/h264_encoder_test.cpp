#include "video/h264_encoder.h"

#include <gtest/gtest.h>

#include "media_fakes.h"
#include "support/manual_clock.h"

namespace panelora::test {
namespace {

using namespace std::chrono_literals;

class H264EncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        encoder = H264Encoder::create(codec, StreamProfile::fallback, clock,
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
    FakeCodecs codec;
    std::shared_ptr<H264Encoder> encoder;
    std::vector<H264Encoder::Output> outputs;
};

TEST(H264EncoderCreateTest, AsksForTheProfilesSettingsAndYieldsNothingWithoutACodec) {
    ManualClock clock;
    FakeCodecs factory;
    ASSERT_TRUE(H264Encoder::create(factory, {1796, 1346, 120, 43513489, 1708, 1280}, clock,
                                    clock.makeQueue("q")));
    EXPECT_EQ(factory.settings->width, 1796);
    EXPECT_TRUE(factory.settings->prioritizeSpeedOverQuality);  // above 60 fps
    EXPECT_EQ(factory.settings->dataRateLimitBytes, 10'878'372);  // twice the rate, in bytes

    factory.refuse = true;
    EXPECT_EQ(H264Encoder::create(factory, StreamProfile::fallback, clock, clock.makeQueue("q")),
              nullptr);
    FakeCodecs accepting;
    StreamProfile huge = StreamProfile::fallback;
    huge.width = int64_t{1} << 31;
    EXPECT_EQ(H264Encoder::create(accepting, huge, clock, clock.makeQueue("q")), nullptr);
    EXPECT_FALSE(accepting.settings);  // refused before the platform was asked
}

TEST_F(H264EncoderTest, FirstFrameIsForcedKeyAndTheNextIsNot) {
    auto a = frame();
    auto b = frame();
    ASSERT_EQ(codec.count(), 2u);
    EXPECT_EQ(codec.at(0).image, a);
    EXPECT_TRUE(codec.at(0).forceKey);
    EXPECT_EQ(codec.at(1).image, b);
    EXPECT_FALSE(codec.at(1).forceKey);
}

TEST_F(H264EncoderTest, TwoInFlightNewestWaitingFrameWins) {
    frame();
    frame();
    frame();  // both slots taken: waits
    EXPECT_EQ(codec.count(), 2u);
    EXPECT_EQ(skipped(), 0);

    encoder->requestKeyframe();  // D, which replaces C, must carry it
    auto d = frame();
    EXPECT_EQ(codec.count(), 2u);
    EXPECT_EQ(skipped(), 1);

    codec.completeOk(0, true);  // A comes back: D goes in, C never does
    ASSERT_EQ(codec.count(), 3u);
    EXPECT_EQ(codec.at(2).image, d);
    EXPECT_TRUE(codec.at(2).forceKey);

    codec.completeOk(1);
    codec.completeOk(2, true);
    EXPECT_EQ(codec.count(), 3u);
    EXPECT_EQ(outputs.size(), 3u);
    EXPECT_EQ(codec.maxInside, 2);
}

TEST_F(H264EncoderTest, OutOfOrderCompletionFreesSlotsAndWaitingFrameKeepsItsTime) {
    frame();
    frame();
    clock.advance(10ms);
    const int64_t cTime = clock.uptimeNanos();
    auto c = frame();
    clock.advance(10ms);
    codec.completeOk(1);  // B back before A
    ASSERT_EQ(codec.count(), 3u);
    EXPECT_EQ(codec.at(2).image, c);
    EXPECT_EQ(codec.at(2).ptsNanos, cTime);
    EXPECT_FALSE(codec.at(2).forceKey);
}

TEST_F(H264EncoderTest, SkippedIsReadAndResetUnderTheLock) {
    for (int i = 0; i < 5; ++i)
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
    codec.completeOk(0, true);
    const int64_t requestedAt = clock.uptimeNanos();
    encoder->requestKeyframe();
    clock.advance(50ms);
    encoder->requestKeyframe();
    clock.advance(50ms);
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 1u);  // one fallback only
    EXPECT_EQ(codec.count(), 1u);

    clock.advance(50ms);  // 0.15 s after the first request
    ASSERT_EQ(codec.count(), 2u);
    EXPECT_EQ(codec.at(1).image, a);
    EXPECT_TRUE(codec.at(1).forceKey);
    EXPECT_EQ(codec.at(1).ptsNanos, requestedAt + 150'000'000);
    clock.advance(1s);
    EXPECT_EQ(codec.count(), 2u);
}

TEST_F(H264EncoderTest, FallbackWaitsForAFreeSlotAndStaysKey) {
    frame();
    codec.completeOk(0);
    frame();
    auto c = frame();  // both slots busy
    encoder->requestKeyframe();
    clock.advance(150ms);  // the fallback re-encodes C; it has to wait
    EXPECT_EQ(codec.count(), 3u);
    codec.completeOk(1);
    ASSERT_EQ(codec.count(), 4u);
    EXPECT_EQ(codec.at(3).image, c);
    EXPECT_TRUE(codec.at(3).forceKey);
}

TEST_F(H264EncoderTest, NewFrameAfterARequestIsTheKeyFrameAndTheFallbackDoesNothing) {
    frame();
    codec.completeOk(0, true);
    encoder->requestKeyframe();
    clock.advance(100ms);
    auto b = frame();
    ASSERT_EQ(codec.count(), 2u);
    EXPECT_EQ(codec.at(1).image, b);
    EXPECT_TRUE(codec.at(1).forceKey);
    clock.advance(1s);
    EXPECT_EQ(codec.count(), 2u);
    EXPECT_EQ(clock.pendingTasks(), 0u);
    // Once the fallback has run, a new request schedules a new one.
    codec.completeOk(1, true);
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 1u);
}

TEST_F(H264EncoderTest, RequestBeforeAnyFrameSchedulesNothing) {
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 0u);
    clock.advance(1s);
    EXPECT_EQ(codec.count(), 0u);
    frame();
    EXPECT_TRUE(codec.at(0).forceKey);
}

TEST_F(H264EncoderTest, NothingIsSubmittedAfterInvalidate) {
    frame();
    frame();
    frame();                     // waiting
    encoder->requestKeyframe();  // fallback scheduled
    encoder->invalidate();
    EXPECT_EQ(codec.invalidations, 1);
    frame();              // only remembered
    codec.completeOk(0);  // an output still comes out…
    codec.fail(1);        // …but no waiting frame goes in
    clock.advance(1s);    // the fallback finds nothing
    encoder->requestKeyframe();
    clock.advance(1s);
    encoder->invalidate();  // a second call is harmless
    EXPECT_EQ(codec.count(), 2u);
    EXPECT_EQ(codec.encodesAfterInvalidate, 0);
    EXPECT_EQ(codec.invalidations, 1);
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST_F(H264EncoderTest, FailedOrEmptyOutputFreesItsSlotWithoutOutput) {
    frame();
    frame();
    auto c = frame();
    codec.fail(0);
    ASSERT_EQ(codec.count(), 3u);
    EXPECT_EQ(codec.at(2).image, c);
    auto d = frame();
    codec.complete(1, EncodedSample{});  // no NAL units
    ASSERT_EQ(codec.count(), 4u);
    EXPECT_EQ(codec.at(3).image, d);
    EXPECT_TRUE(outputs.empty());
}

TEST_F(H264EncoderTest, RefusedFrameFreesItsSlotAndKeepsTheKeyRequest) {
    codec.refuseFrames(1);
    frame();  // the first, forced key frame, refused at once
    auto b = frame();
    auto c = frame();
    ASSERT_EQ(codec.count(), 3u);  // the refusal did not keep a slot
    EXPECT_EQ(codec.at(1).image, b);
    EXPECT_TRUE(codec.at(1).forceKey);  // the key frame was not lost
    EXPECT_EQ(codec.at(2).image, c);
    EXPECT_FALSE(codec.at(2).forceKey);
}

TEST_F(H264EncoderTest, ARefusingCodecIsReportedOnce) {
    int failures = 0;
    encoder->onFailure = [&] { ++failures; };
    frame();
    EXPECT_EQ(failures, 0);
    codec.refuseFrames(3);
    for (int i = 0; i < 3; ++i)
        frame();
    EXPECT_EQ(failures, 1);
}

TEST_F(H264EncoderTest, RefusedFrameLetsTheWaitingFrameIn) {
    frame();
    frame();
    frame();
    auto d = frame();  // replaces C
    codec.refuseFrames(1);
    codec.completeOk(0);  // D is submitted and refused: its slot frees again
    ASSERT_EQ(codec.count(), 3u);
    EXPECT_EQ(codec.at(2).image, d);
    auto e = frame();
    ASSERT_EQ(codec.count(), 4u);
    EXPECT_EQ(codec.at(3).image, e);
}

TEST_F(H264EncoderTest, OutputsCarryParameterSetsOnlyWithKeyFrames) {
    frame();
    frame();
    EncodedSample key{false, {0, 0, 0, 2, 0x65, 0x88}, std::vector<uint8_t>{0x67, 0x64},
                      std::vector<uint8_t>{0x68, 0xEE}, 1'234'567'891};
    codec.complete(0, key);
    EncodedSample delta = key;  // the codec attached sets to a non-key frame
    delta.notSync = true;
    codec.complete(1, delta);

    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_TRUE(outputs[0].isKey);
    EXPECT_EQ(outputs[0].sps, key.sps);
    EXPECT_EQ(outputs[0].pps, key.pps);
    EXPECT_EQ(outputs[0].avcc, key.avcc);
    EXPECT_EQ(outputs[0].ptsMicros, 1'234'567u);  // truncated
    EXPECT_FALSE(outputs[1].isKey);
    EXPECT_FALSE(outputs[1].sps || outputs[1].pps);
}

TEST_F(H264EncoderTest, PresentationTimesAndLatency) {
    const int64_t now = clock.uptimeNanos() + 40'000'000;  // when the outputs come back
    const struct {
        int64_t ptsNanos;
        uint64_t micros;
        double latencyMs;
    } cases[] = {
        {now - 12'500'000, uint64_t(now - 12'500'000) / 1000, 12.5},
        {-1, 0, 0},                                          // invalid time
        {now + 5'000'000, uint64_t(now + 5'000'000) / 1000, 0},  // in the future
        {0, 0, double(now) / 1e6},                           // time zero is valid
    };
    frame();
    frame();
    clock.advance(40ms);
    for (size_t i = 0; i < std::size(cases); ++i) {
        // Only two are inside at once; complete them as they go in.
        while (codec.count() <= i)
            frame();
        codec.complete(i, EncodedSample{true, {0, 0, 0, 1, 0x41}, {}, {}, cases[i].ptsNanos});
        ASSERT_EQ(outputs.size(), i + 1);
        EXPECT_EQ(outputs[i].ptsMicros, cases[i].micros) << i;
        EXPECT_NEAR(outputs[i].encodeLatencyMs, cases[i].latencyMs, 1e-9) << i;
    }
}

TEST_F(H264EncoderTest, OutputHandlerMayRequestAKeyFrame) {
    encoder->onOutput = [this](const H264Encoder::Output&) { encoder->requestKeyframe(); };
    frame();
    codec.completeOk(0);  // would deadlock if the lock were held around onOutput
    frame();
    EXPECT_TRUE(codec.at(1).forceKey);
}

TEST_F(H264EncoderTest, CodecCompletingInsideEncodeMayInvalidate) {
    // A codec that finishes frames synchronously calls back while encode() is still running;
    // the session may end from the output handler right then.
    codec.duringEncode = [this](size_t index) { codec.completeOk(index, true); };
    encoder->onOutput = [this](const H264Encoder::Output&) { encoder->invalidate(); };
    frame();
    EXPECT_EQ(codec.invalidations, 1);
    frame();
    EXPECT_EQ(codec.count(), 1u);
}

TEST_F(H264EncoderTest, CompletionsAfterTheEncoderIsGoneDoNothing) {
    frame();
    frame();
    frame();
    encoder->requestKeyframe();
    encoder.reset();
    codec.completeOk(0);
    clock.advance(1s);
    EXPECT_EQ(codec.count(), 2u);
    EXPECT_TRUE(outputs.empty());
}

}  // namespace
}  // namespace panelora::test
