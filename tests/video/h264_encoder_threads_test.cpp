// The encoder under real threads: frames from two capture-like threads, completions in random
// order from an output thread, key requests, and invalidate() racing all of them.

#include <random>

#include "media_fakes.h"
#include "test_prelude.h"
#include "video/h264_encoder.h"

namespace panelora::test {
namespace {

TEST(H264EncoderThreadsTest, InvariantsHoldUnderConcurrentUse) {
    auto fallbackQueue =
        SerialQueue::create("panelora.keyframe-fallback", QueuePriority::userInteractive);
    std::vector<ImageBufferRef> images;
    for (int i = 0; i < 4; ++i)
        images.push_back(makeImage(8, 8));

    constexpr int kRounds = 25;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        FakeCodecs codec;
        auto encoder =
            H264Encoder::create(codec, StreamProfile::fallback, Clock::system(), fallbackQueue);
        ASSERT_NE(encoder, nullptr);
        std::atomic<int> outputs{0};
        encoder->onOutput = [&outputs, weak = std::weak_ptr<H264Encoder>(encoder)](
                                const H264Encoder::Output& output) {
            outputs += 1;
            // As the send path does after a drop.
            if (!output.isKey) {
                if (auto self = weak.lock()) self->requestKeyframe();
            }
        };

        std::atomic<bool> running{true};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                int i = t;
                while (running) {
                    encoder->encode(images[static_cast<size_t>(i++) % images.size()],
                                    Clock::system().uptimeNanos());
                    if (i % 7 == 0) codec.refuseFrames(1);
                    std::this_thread::yield();
                }
            });
        }
        threads.emplace_back([&] {  // the codec's output thread
            std::mt19937 random(static_cast<unsigned>(round));
            while (running) {
                std::vector<size_t> open = codec.open();
                if (open.empty()) {
                    std::this_thread::yield();
                    continue;
                }
                const size_t index = open[random() % open.size()];
                if (random() % 5 == 0) {
                    codec.fail(index);
                } else {
                    codec.completeOk(index, random() % 3 == 0);
                }
            }
        });
        threads.emplace_back([&] {  // the reader thread's key requests
            while (running) {
                encoder->requestKeyframe();
                std::this_thread::sleep_for(1ms);
            }
        });

        // Let the threads get going, however busy the machine is, before the end comes.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (codec.count() < static_cast<size_t>(5 + round % 20) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        encoder->invalidate();
        // Everything after this point must leave the codec alone.
        const size_t submittedAtInvalidate = codec.count();
        std::this_thread::sleep_for(5ms);
        running = false;
        for (auto& thread : threads)
            thread.join();
        // Late completions of frames that were inside.
        for (size_t index : codec.open())
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
