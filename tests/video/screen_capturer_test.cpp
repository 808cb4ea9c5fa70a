#include "video/screen_capturer.h"

#include "media_fakes.h"
#include "support/manual_clock.h"
#include "test_prelude.h"
#include "video/sample_gate.h"

namespace panelora::test {
namespace {

using Kind = ScreenCapturer::CaptureError::Kind;

constexpr StreamProfile kProfile{1796, 1346, 120, 43513488, 1708, 1280};

class ScreenCapturerTest : public ::testing::Test {
  protected:
    struct Frame {
        ImageBufferRef image;
        int64_t ptsNanos;
        bool onCaptureQueue;
    };

    std::shared_ptr<ScreenCapturer> makeCapturer(const Clock& c) {
        return ScreenCapturer::create(
            backend,
            [this](const ImageBufferRef& image, int64_t pts) {
                std::lock_guard guard(framesMutex);
                frames.push_back({image, pts, backend.queue && backend.queue->isCurrent()});
            },
            c);
    }
    std::shared_ptr<ScreenCapturer> makeCapturer() { return makeCapturer(clock); }
    size_t frameCount() {
        std::lock_guard guard(framesMutex);
        return frames.size();
    }

    ManualClock clock;
    FakeCapture backend;
    std::mutex framesMutex;
    std::vector<Frame> frames;
};

// Up to 15 looks, 0.3 s apart; the error of a look, or of the stream's start, is returned at once.
TEST_F(ScreenCapturerTest, LooksForTheDisplayFifteenTimes) {
    struct Case {
        int appearOnQuery;
        std::optional<std::string> errorOnSecond, startError;
        int queries;
        int64_t waitedMs;
        std::optional<Kind> error;
        std::string description;
    };
    const char* notFound =
        "Virtual display didn't appear (is Screen Recording allowed for Panelora?)";
    const std::string denied = "Screen recording is not permitted";
    const std::string noStart = "The stream could not start";
    const Case cases[] = {
        {3, {}, {}, 3, 600, {}, ""},
        {15, {}, {}, 15, 4200, {}, ""},
        {0, {}, {}, 15, 4500, Kind::displayNotFound, notFound},
        {0, denied, {}, 2, 300, Kind::platform, denied},
        {1, {}, noStart, 1, 0, Kind::platform, noStart},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.appearOnQuery);
        backend.appearOnQuery = c.appearOnQuery;
        backend.queryError = c.errorOnSecond;
        backend.errorOnQuery = 2;
        backend.startError = c.startError;
        backend.queries = 0;
        auto capturer = makeCapturer();
        const int64_t before = clock.uptimeNanos();
        const auto error = capturer->start(backend.display, kProfile, true);
        EXPECT_EQ(backend.queries, c.queries);
        EXPECT_EQ(clock.uptimeNanos() - before, c.waitedMs * 1'000'000);
        EXPECT_EQ(error ? std::optional(error->kind) : std::nullopt, c.error);
        EXPECT_EQ(error ? error->description() : "", c.description);
    }
}

// A stop from another thread interrupts a real wait for the display; a stream that finishes
// starting after the owner stopped the capture is stopped.
TEST_F(ScreenCapturerTest, StopCancelsTheWaitOrTheStreamStillStarting) {
    backend.appearOnQuery = 0;
    std::atomic<bool> queried{false};
    backend.onQuery = [&] { queried = true; };
    auto capturer = makeCapturer(Clock::system());
    std::thread stopper([&] {
        while (!queried)
            std::this_thread::yield();
        capturer->stopCapture();
    });
    auto error = capturer->start(backend.display, kProfile, true);
    stopper.join();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::cancelled);
    EXPECT_FALSE(error->description().empty());
    EXPECT_LT(backend.queries, 15);  // it did not run the full 4.5 s of attempts
    EXPECT_EQ(backend.streamsStarted, 0);

    backend.appearOnQuery = 1;
    capturer = makeCapturer();
    backend.duringStart = [&] { capturer->stopCapture(); };
    error = capturer->start(backend.display, kProfile, true);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::cancelled);
    EXPECT_EQ(backend.streamsStarted, 1);
    EXPECT_TRUE(backend.waitStopped());
    EXPECT_EQ(backend.stops, 1);
}

// The stream runs at the encoded size; frames arrive on the capture queue.
TEST_F(ScreenCapturerTest, OnlyCompleteScreenFramesWithAnImageReachOnFrame) {
    auto capturer = makeCapturer();
    ASSERT_EQ(capturer->start(backend.display, kProfile, false), std::nullopt);
    EXPECT_EQ(backend.startedDisplay, backend.display);
    ASSERT_TRUE(backend.configuration);
    const CaptureConfiguration& c = *backend.configuration;
    EXPECT_EQ(std::tie(c.width, c.height, c.showsCursor), std::tuple(1796, 1346, false));
    auto sample = [](std::optional<FrameStatus> status, bool isScreen = true,
                     ImageBufferRef image = makeImage()) {
        return CaptureSample{isScreen, status, std::move(image), 5'000'000'123};
    };
    // Audio, no image, an empty image, no status, and every status but complete.
    std::vector<CaptureSample> dropped = {
        sample(FrameStatus::complete, false), sample(FrameStatus::complete, true, nullptr),
        sample(FrameStatus::complete, true, makeImage(0, 0)), sample(std::nullopt)};
    for (auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                        FrameStatus::started, FrameStatus::stopped})
        dropped.push_back(sample(status));
    for (size_t i = 0; i < dropped.size(); ++i) {
        backend.deliver(dropped[i]);
        EXPECT_EQ(frameCount(), 0u) << i;
    }
    const CaptureSample complete = sample(FrameStatus::complete);
    backend.deliver(complete);
    ASSERT_EQ(frameCount(), 1u);
    EXPECT_EQ(frames[0].image, complete.image);
    EXPECT_EQ(frames[0].ptsNanos, 5'000'000'123);
    EXPECT_TRUE(frames[0].onCaptureQueue);
    capturer.reset();  // never stopped: going away stops the stream
    EXPECT_TRUE(backend.waitStopped());
}

// The platform's stop notice is forwarded from any thread; stop and destruction stop the stream
// once; once the capturer is gone, its callbacks do nothing.
TEST_F(ScreenCapturerTest, PlatformStopIsForwardedFromAnyThreadWhileTheCapturerLives) {
    auto capturer = makeCapturer();
    std::atomic<int> stopped{0};
    capturer->onStopped = [&] { stopped += 1; };
    ASSERT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);
    std::thread([&] { backend.callbacks.onStopped(); }).join();
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(backend.stops, 0);
    capturer->stopCapture();
    capturer->stopCapture();
    capturer.reset();
    EXPECT_TRUE(backend.waitStopped());
    EXPECT_EQ(backend.stops, 1);
    backend.deliverFrame(1);
    backend.callbacks.onStopped();
    EXPECT_EQ(frameCount(), 0u);
    EXPECT_EQ(stopped, 1);
}

// The gate between a capture backend and the capture queue: at most its limit queued (counted
// until each has run), the newest of the rest waiting in one slot, nothing after stop().
TEST(SampleGate, AtMostTheLimitQueuedAndTheNewestOfTheRestWaits) {
    ManualClock clock;
    auto queue = clock.makeQueue("capture");
    std::vector<int64_t> handled;
    auto gate = SampleGate::create(
        queue, [&](const CaptureSample& s) { handled.push_back(s.ptsNanos); }, 2);
    auto offer = [&](int64_t n) { gate->offer(CaptureSample{true, {}, nullptr, n}); };
    for (int64_t n = 1; n <= 5; ++n)
        offer(n);
    EXPECT_EQ(clock.pendingTasks(), 2u);
    clock.runUntilIdle();
    EXPECT_EQ(handled, (std::vector<int64_t>{1, 2, 5}));

    offer(6);
    offer(7);
    offer(8);  // waits behind 6 and 7, then stop() drops it
    gate->stop();
    offer(9);
    clock.runUntilIdle();
    EXPECT_EQ(handled, (std::vector<int64_t>{1, 2, 5, 6, 7}));
}

}  // namespace
}  // namespace panelora::test
