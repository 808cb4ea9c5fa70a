#include "video/h264_encoder.h"

#include <random>

#include "media_fakes.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

class H264EncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        encoder = H264Encoder::create(codec, StreamProfile::fallback, clock,
                                      clock.makeQueue("panelora.keyframe-fallback"));
        ASSERT_NE(encoder, nullptr);
        encoder->onOutput = [this](const H264Encoder::Output& output) {
            outputs.push_back(output);
        };
    }

    // Encodes a new frame stamped with the current time; frames are named a, b, c, … in turn.
    void frame() {
        auto image = makeImage();
        names[image.get()] = char('a' + names.size());
        encoder->encode(image, clock.uptimeNanos());
    }
    void frames(int count) {
        for (int i = 0; i < count; ++i)
            frame();
    }
    // What the codec was handed, in order: "a* b c" (* for a forced key frame).
    std::string submitted() {
        std::string out;
        for (size_t i = 0; i < codec.count(); ++i) {
            const auto s = codec.at(i);
            if (!out.empty()) out += ' ';
            out += names[s.image.get()];
            if (s.forceKey) out += '*';
        }
        return out;
    }
    int64_t skipped() {
        std::lock_guard guard(encoder->lock);
        return encoder->skipped;
    }

    ManualClock clock;
    FakeCodecs codec;
    std::shared_ptr<H264Encoder> encoder;
    std::vector<H264Encoder::Output> outputs;
    std::map<const ImageBuffer*, char> names;
};

TEST(H264EncoderCreateTest, AsksForTheProfilesSettingsAndYieldsNothingWithoutACodec) {
    ManualClock clock;
    FakeCodecs factory;
    ASSERT_TRUE(H264Encoder::create(factory, {1796, 1346, 120, 43513489, 1708, 1280}, clock,
                                    clock.makeQueue("q")));
    EXPECT_TRUE(factory.settings->prioritizeSpeedOverQuality);    // above 60 fps
    EXPECT_EQ(factory.settings->dataRateLimitBytes, 10'878'372);  // twice the rate, in bytes
    factory.refuse = true;
    EXPECT_FALSE(
        H264Encoder::create(factory, StreamProfile::fallback, clock, clock.makeQueue("q")));
    FakeCodecs accepting;
    StreamProfile huge = StreamProfile::fallback;
    huge.width = int64_t{1} << 31;
    EXPECT_FALSE(H264Encoder::create(accepting, huge, clock, clock.makeQueue("q")));
    EXPECT_FALSE(accepting.settings);  // refused before the platform was asked
}

// The first frame is forced to be a key frame; two frames are inside the codec at most, in any
// order out; the newest waiting frame replaces an older one (counted as skipped), keeps its
// capture time and carries a key request.
TEST_F(H264EncoderTest, TwoInFlightAndTheNewestWaitingFrameWins) {
    frames(3);
    EXPECT_EQ(submitted(), "a* b");
    EXPECT_EQ(skipped(), 0);
    encoder->requestKeyframe();
    const int64_t dTime = clock.uptimeNanos();
    frame();  // d replaces c
    EXPECT_EQ(skipped(), 1);
    clock.advance(10ms);
    codec.completeOk(1);  // b back before a
    EXPECT_EQ(submitted(), "a* b d*");
    EXPECT_EQ(codec.at(2).ptsNanos, dTime);
    codec.completeOk(0, true);
    codec.completeOk(2, true);
    EXPECT_EQ(outputs.size(), 3u);
    EXPECT_EQ(codec.maxInside, 2);
    frames(3);  // e and f go in, g waits
    frames(2);  // h and i replace the waiting frames
    EXPECT_EQ(skipped(), 3);

    // Completions and a pending fallback after the encoder is gone do nothing.
    encoder->requestKeyframe();
    encoder.reset();
    codec.completeOk(3);
    clock.advance(1s);
    EXPECT_EQ(codec.count(), 5u);
    EXPECT_EQ(outputs.size(), 3u);
}

// A codec that encodes one frame at a time gets one: the next waits here, where a newer capture
// replaces it, instead of aging in the codec's queue.
TEST_F(H264EncoderTest, OneAtATimeForACodecThatEncodesOneAtATime) {
    codec.atOnce = 1;
    SetUp();
    frames(3);
    EXPECT_EQ(submitted(), "a*");
    codec.completeOk(0, true);
    EXPECT_EQ(submitted(), "a* c");
    EXPECT_EQ(codec.maxInside, 1);
}

// The fallback waits for a free slot when both are busy.
TEST_F(H264EncoderTest, KeyRequestsOnAStaticScreenReencodeTheLastFrameOnce) {
    frame();
    codec.completeOk(0, true);
    const int64_t requestedAt = clock.uptimeNanos();
    for (int i = 0; i < 3; ++i) {
        if (i) clock.advance(50ms);
        encoder->requestKeyframe();
    }
    EXPECT_EQ(clock.pendingTasks(), 1u);  // one fallback only
    EXPECT_EQ(submitted(), "a*");
    clock.advance(50ms);  // 0.15 s after the first request
    EXPECT_EQ(submitted(), "a* a*");
    EXPECT_EQ(codec.at(1).ptsNanos, requestedAt + 150'000'000);
    clock.advance(1s);
    EXPECT_EQ(codec.count(), 2u);

    frame();  // both slots busy
    encoder->requestKeyframe();
    clock.advance(150ms);  // the fallback re-encodes b; it has to wait
    EXPECT_EQ(submitted(), "a* a* b");
    codec.completeOk(1);
    EXPECT_EQ(submitted(), "a* a* b b*");
}

// A capture that comes while the fallback is handing its frame to the codec goes in after it:
// the codec never gets an older picture after a newer one, and on the static screen that follows
// the next fallback resends the newer one.
TEST_F(H264EncoderTest, ACaptureDuringTheFallbackReachesTheCodecAfterIt) {
    frame();
    codec.completeOk(0, true);
    const ImageBuffer* a = codec.at(0).image.get();
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    // The fallback thread stops inside the codec, before its frame is taken.
    codec.beforeEncode = [&, released](const ImageBufferRef& image) {
        if (image.get() != a || held.exchange(true)) return;
        entered.set_value();
        released.wait();
    };
    encoder->requestKeyframe();
    std::thread fallback([&] { clock.advance(H264Encoder::kKeyframeFallbackDelay); });
    const bool inside = entered.get_future().wait_for(5s) == std::future_status::ready;
    if (inside) std::thread([&] { frame(); }).join();  // the capture thread's b, then it is done
    release.set_value();
    fallback.join();
    ASSERT_TRUE(inside);
    EXPECT_EQ(submitted(), "a* a* b");

    codec.completeOk(1, true);
    codec.completeOk(2);
    encoder->requestKeyframe();
    clock.advance(H264Encoder::kKeyframeFallbackDelay);
    EXPECT_EQ(submitted(), "a* a* b b*");
}

TEST_F(H264EncoderTest, NewFrameAfterARequestIsTheKeyFrameAndTheFallbackDoesNothing) {
    encoder->requestKeyframe();  // before any frame: nothing to schedule
    EXPECT_EQ(clock.pendingTasks(), 0u);
    frame();
    codec.completeOk(0, true);
    encoder->requestKeyframe();
    clock.advance(100ms);
    frame();
    clock.advance(1s);
    EXPECT_EQ(submitted(), "a* b*");
    EXPECT_EQ(clock.pendingTasks(), 0u);
    // Once the fallback has run, a new request schedules a new one.
    codec.completeOk(1, true);
    encoder->requestKeyframe();
    EXPECT_EQ(clock.pendingTasks(), 1u);
}

TEST_F(H264EncoderTest, NothingIsSubmittedAfterInvalidate) {
    frames(3);                   // c waits
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
    EXPECT_EQ(submitted(), "a* b");
    EXPECT_EQ(codec.invalidations, 1);
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

// A refusing codec is broken: that is reported once.
TEST_F(H264EncoderTest, FailedEmptyOrRefusedFramesFreeTheirSlotsAndKeepTheKeyRequest) {
    int failures = 0;
    encoder->onFailure = [&] { ++failures; };
    codec.refuseFrames(1);
    frames(4);  // a refused at once: b (still to be key) and c go in, d waits
    EXPECT_EQ(failures, 1);
    codec.fail(1);
    EXPECT_EQ(submitted(), "a* b* c d");
    frame();
    codec.complete(2, EncodedSample{});  // no NAL units
    EXPECT_EQ(submitted(), "a* b* c d e");
    frames(2);  // g replaces f
    codec.refuseFrames(1);
    codec.completeOk(3);  // g is submitted and refused: its slot frees again
    frame();
    EXPECT_EQ(submitted(), "a* b* c d e g h");
    EXPECT_EQ(outputs.size(), 1u);
    EXPECT_EQ(failures, 1);
}

// Parameter sets go out only with key frames, though the codec attached them to every frame;
// invalid times give 0; latency is never negative; time zero is valid.
TEST_F(H264EncoderTest, OutputsParameterSetsTimesAndLatency) {
    const int64_t now = clock.uptimeNanos() + 40'000'000;  // when the outputs come back
    const std::vector<uint8_t> sps{0x67, 0x64}, pps{0x68, 0xEE}, avcc{0, 0, 0, 1, 0x65};
    const std::tuple<bool, int64_t, uint64_t, double> cases[] = {
        {true, now - 12'500'000, uint64_t(now - 12'500'000) / 1000, 12.5},
        {false, -1, 0, 0},
        {false, now + 5'000'000, uint64_t(now + 5'000'000) / 1000, 0},
        {true, 0, 0, double(now) / 1e6}};
    frames(2);
    clock.advance(40ms);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto [key, pts, micros, latency] = cases[i];
        while (codec.count() <= i)  // two are inside at once: complete them as they go in
            frame();
        codec.complete(i, EncodedSample{!key, avcc, sps, pps, pts});
        ASSERT_EQ(outputs.size(), i + 1);
        const H264Encoder::Output& out = outputs[i];
        EXPECT_EQ(std::tie(out.isKey, out.avcc, out.ptsMicros), std::tie(key, avcc, micros)) << i;
        EXPECT_EQ(out.sps, key ? std::optional(sps) : std::nullopt) << i;
        EXPECT_EQ(out.pps, key ? std::optional(pps) : std::nullopt) << i;
        EXPECT_NEAR(out.encodeLatencyMs, latency, 1e-9) << i;
    }
}

// A codec that finishes frames synchronously calls back while encode() is still running: the
// output handler may ask for a key frame, or the session may end, right then.
TEST_F(H264EncoderTest, HandlersMayCallBackIntoTheEncoder) {
    encoder->onOutput = [this](const H264Encoder::Output&) { encoder->requestKeyframe(); };
    frame();
    codec.completeOk(0);  // would deadlock if the lock were held around onOutput
    frame();
    EXPECT_EQ(submitted(), "a* b*");

    codec.duringEncode = [this](size_t index) { codec.completeOk(index, true); };
    encoder->onOutput = [this](const H264Encoder::Output&) { encoder->invalidate(); };
    frame();
    EXPECT_EQ(codec.invalidations, 1);
    frame();
    EXPECT_EQ(submitted(), "a* b* c");
}

// The encoder under real threads: frames from two capture-like threads, completions in random
// order from an output thread, key requests from the output handler and a reader thread, and
// invalidate() racing all of them.
TEST(H264EncoderThreadsTest, InvariantsHoldUnderConcurrentUse) {
    auto fallbackQueue =
        SerialQueue::create("panelora.keyframe-fallback", QueuePriority::userInteractive);
    const ImageBufferRef images[] = {makeImage(8, 8), makeImage(8, 8), makeImage(8, 8)};
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        FakeCodecs codec;
        auto encoder =
            H264Encoder::create(codec, StreamProfile::fallback, Clock::system(), fallbackQueue);
        ASSERT_NE(encoder, nullptr);
        // As the send path does after a drop.
        encoder->onOutput = [weak = std::weak_ptr<H264Encoder>(encoder)](const auto& output) {
            if (auto self = weak.lock(); self && !output.isKey) self->requestKeyframe();
        };
        std::atomic<bool> running{true};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; running; ++i) {
                    encoder->encode(images[i % 3], Clock::system().uptimeNanos());
                    if (i % 7 == 0) codec.refuseFrames(1);
                    std::this_thread::yield();
                }
            });
        }
        threads.emplace_back([&] {  // the codec's output thread
            std::mt19937 random(static_cast<unsigned>(round));
            while (running) {
                const std::vector<size_t> open = codec.open();
                if (open.empty()) {
                    std::this_thread::yield();
                } else if (const size_t index = open[random() % open.size()]; random() % 5 == 0) {
                    codec.fail(index);
                } else {
                    codec.completeOk(index, random() % 3 == 0);
                }
            }
        });
        threads.emplace_back([&] {  // the reader thread's key requests
            for (; running; std::this_thread::sleep_for(1ms))
                encoder->requestKeyframe();
        });

        // Let the threads get going, however busy the machine is, before the end comes.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (codec.count() < size_t(5 + round % 20) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        encoder->invalidate();
        // Everything after this point must leave the codec alone.
        const size_t submittedAtInvalidate = codec.count();
        std::this_thread::sleep_for(5ms);
        running = false;
        for (auto& thread : threads)
            thread.join();
        for (size_t index : codec.open())  // late completions of frames that were inside
            codec.completeOk(index);

        std::lock_guard guard(codec.mutex);
        EXPECT_EQ(codec.invalidations, 1);
        EXPECT_EQ(codec.encodesAfterInvalidate, 0);
        EXPECT_FALSE(codec.encodeDuringInvalidate);
        EXPECT_EQ(codec.submissions.size(), submittedAtInvalidate);
        EXPECT_LE(codec.maxInside, 2);
        EXPECT_GT(codec.submissions.size(), 0u);
    }
}

}  // namespace
}  // namespace panelora::test
