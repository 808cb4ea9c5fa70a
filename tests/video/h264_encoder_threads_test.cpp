// The encoder under real threads: frames from two capture-like threads, completions in random
// order from an output thread, key requests from the output handler and a reader thread, and
// invalidate() racing all of them.

#include <random>

#include "media_fakes.h"
#include "test_prelude.h"
#include "video/h264_encoder.h"

namespace panelora::test {
namespace {

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
