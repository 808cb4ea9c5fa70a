#include "video/screen_capturer.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes.h"
#include "support/manual_clock.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
using testing::FakeCaptureBackend;
using testing::makeImage;
using Kind = ScreenCapturer::CaptureError::Kind;

constexpr StreamProfile kProfile{1796, 1346, 120, 43513488, 1708, 1280};

struct Frame {
    ImageBufferRef image;
    int64_t ptsNanos;
    bool onCaptureQueue;
};

class ScreenCapturerTest : public ::testing::Test {
  protected:
    std::shared_ptr<ScreenCapturer> makeCapturer(const Clock& clock) {
        return ScreenCapturer::create(
            backend,
            [this](const ImageBufferRef& image, int64_t pts) {
                std::lock_guard guard(framesMutex);
                frames.push_back({image, pts, backend.queue && backend.queue->isCurrent()});
            },
            clock);
    }
    size_t frameCount() {
        std::lock_guard guard(framesMutex);
        return frames.size();
    }

    ManualClock clock;
    FakeCaptureBackend backend;
    std::mutex framesMutex;
    std::vector<Frame> frames;
};

TEST_F(ScreenCapturerTest, DisplayOnTheThirdQueryStartsAfterTwoWaits) {
    backend.appearOnQuery = 3;
    auto capturer = makeCapturer(clock);
    const int64_t before = clock.uptimeNanos();

    EXPECT_EQ(capturer->start(backend.display, kProfile, false), std::nullopt);

    EXPECT_EQ(backend.queries, 3);
    EXPECT_EQ(clock.uptimeNanos() - before, 600'000'000);
    EXPECT_EQ(backend.streamsStarted, 1);
    EXPECT_EQ(backend.startedDisplay, backend.display);
    ASSERT_TRUE(backend.configuration);
    EXPECT_EQ(backend.configuration->width, 1796);
    EXPECT_EQ(backend.configuration->height, 1346);
    EXPECT_EQ(backend.configuration->fps, 120);
    EXPECT_EQ(backend.configuration->pixelFormat, 0x34323076u);  // '420v'
    EXPECT_EQ(backend.configuration->queueDepth, 4);
    EXPECT_FALSE(backend.configuration->showsCursor);
    ASSERT_NE(backend.queue, nullptr);
    EXPECT_EQ(backend.queue->label(), "slatecast.capture");
}

TEST_F(ScreenCapturerTest, DisplayThatNeverAppearsFailsAfterFifteenQueriesAndWaits) {
    backend.appearOnQuery = 0;
    auto capturer = makeCapturer(clock);
    const int64_t before = clock.uptimeNanos();

    auto error = capturer->start(backend.display, kProfile, true);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::displayNotFound);
    EXPECT_EQ(error->description(),
              "Virtual display didn't appear (is Screen Recording allowed for Panelora?)");
    EXPECT_EQ(backend.queries, 15);
    EXPECT_EQ(clock.uptimeNanos() - before, 4'500'000'000);
    EXPECT_EQ(backend.streamsStarted, 0);
}

TEST_F(ScreenCapturerTest, DisplayOnTheLastQueryStillStarts) {
    backend.appearOnQuery = 15;
    auto capturer = makeCapturer(clock);
    EXPECT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);
    EXPECT_EQ(backend.queries, 15);
}

TEST_F(ScreenCapturerTest, QueryErrorIsReturnedAtOnceWithoutRetry) {
    backend.appearOnQuery = 0;
    backend.queryErrorOn = "Screen recording is not permitted";
    backend.errorOnQuery = 2;
    auto capturer = makeCapturer(clock);
    const int64_t before = clock.uptimeNanos();

    auto error = capturer->start(backend.display, kProfile, true);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::platform);
    EXPECT_EQ(error->description(), "Screen recording is not permitted");
    EXPECT_EQ(backend.queries, 2);
    EXPECT_EQ(clock.uptimeNanos() - before, 300'000'000);
}

TEST_F(ScreenCapturerTest, StreamStartErrorIsReturnedAndNothingIsKept) {
    backend.startError = "The stream could not start";
    auto capturer = makeCapturer(clock);

    auto error = capturer->start(backend.display, kProfile, true);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::platform);
    EXPECT_EQ(error->description(), "The stream could not start");
    capturer->stopCapture();
    EXPECT_EQ(backend.stream->stops, 0);
}

TEST_F(ScreenCapturerTest, StopDuringTheWaitCancelsTheStart) {
    backend.appearOnQuery = 0;
    auto capturer = makeCapturer(clock);
    // Runs 0.1 s into the first wait.
    clock.makeQueue("test")->postAfter(100ms, [&] { capturer->stopCapture(); });

    auto error = capturer->start(backend.display, kProfile, true);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::cancelled);
    EXPECT_FALSE(error->description().empty());
    EXPECT_EQ(backend.queries, 1);
    EXPECT_EQ(backend.streamsStarted, 0);
}

TEST_F(ScreenCapturerTest, StopFromAnotherThreadInterruptsARealWait) {
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
    EXPECT_LT(backend.queries, 15);  // it did not run the full 4.5 s of attempts
}

TEST_F(ScreenCapturerTest, StreamThatFinishesStartingAfterStopIsStopped) {
    auto capturer = makeCapturer(clock);
    // The owner stops the capture while the platform is still starting the stream.
    backend.duringStart = [&] { capturer->stopCapture(); };

    auto error = capturer->start(backend.display, kProfile, true);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::cancelled);
    EXPECT_EQ(backend.streamsStarted, 1);
    EXPECT_TRUE(backend.stream->waitStopped());
    EXPECT_EQ(backend.stream->stops, 1);
}

TEST_F(ScreenCapturerTest, StopAfterStartStopsTheStreamOnce) {
    auto capturer = makeCapturer(clock);
    ASSERT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);
    EXPECT_EQ(backend.stream->stops, 0);

    capturer->stopCapture();
    capturer->stopCapture();

    EXPECT_TRUE(backend.stream->waitStopped());
    EXPECT_EQ(backend.stream->stops, 1);
}

TEST_F(ScreenCapturerTest, DestroyingARunningCapturerStopsItsStream) {
    auto capturer = makeCapturer(clock);
    ASSERT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);
    capturer.reset();
    EXPECT_TRUE(backend.stream->waitStopped());
}

struct SampleCase {
    const char* name;
    CaptureSample sample;
    bool reachesOnFrame;
};

CaptureSample sampleWith(std::optional<FrameStatus> status, bool isScreen = true,
                         ImageBufferRef image = makeImage()) {
    CaptureSample sample;
    sample.isScreen = isScreen;
    sample.status = status;
    sample.image = std::move(image);
    sample.ptsNanos = 5'000'000'123;
    return sample;
}

class SampleFilterTest : public ScreenCapturerTest,
                         public ::testing::WithParamInterface<SampleCase> {};

TEST_P(SampleFilterTest, OnlyCompleteScreenFramesWithAnImageReachOnFrame) {
    auto capturer = makeCapturer(clock);
    ASSERT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);
    const CaptureSample& sample = GetParam().sample;

    backend.deliver(sample);

    if (GetParam().reachesOnFrame) {
        ASSERT_EQ(frameCount(), 1u);
        EXPECT_EQ(frames[0].image, sample.image);
        EXPECT_EQ(frames[0].ptsNanos, 5'000'000'123);
        EXPECT_TRUE(frames[0].onCaptureQueue);
    } else {
        EXPECT_EQ(frameCount(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SampleFilterTest,
    ::testing::Values(
        SampleCase{"Complete", sampleWith(FrameStatus::complete), true},
        SampleCase{"StatusMissing", sampleWith(std::nullopt), false},
        SampleCase{"Idle", sampleWith(FrameStatus::idle), false},
        SampleCase{"Blank", sampleWith(FrameStatus::blank), false},
        SampleCase{"Suspended", sampleWith(FrameStatus::suspended), false},
        SampleCase{"Started", sampleWith(FrameStatus::started), false},
        SampleCase{"Stopped", sampleWith(FrameStatus::stopped), false},
        SampleCase{"Audio", sampleWith(FrameStatus::complete, false), false},
        SampleCase{"NoImage", sampleWith(FrameStatus::complete, true, nullptr), false},
        SampleCase{"EmptyImage", sampleWith(FrameStatus::complete, true, makeImage(0, 0)), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScreenCapturerTest, PlatformStopIsForwardedFromAnyThread) {
    auto capturer = makeCapturer(clock);
    std::atomic<int> stopped{0};
    capturer->onStopped = [&] { stopped += 1; };
    ASSERT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);

    std::thread platform([&] { backend.callbacks.onStopped(); });
    platform.join();

    EXPECT_EQ(stopped, 1);
}

TEST_F(ScreenCapturerTest, CallbacksAfterTheCapturerIsGoneDoNothing) {
    auto capturer = makeCapturer(clock);
    bool stopped = false;
    capturer->onStopped = [&] { stopped = true; };
    ASSERT_EQ(capturer->start(backend.display, kProfile, true), std::nullopt);
    capturer.reset();

    backend.deliver(sampleWith(FrameStatus::complete));
    backend.callbacks.onStopped();

    EXPECT_EQ(frameCount(), 0u);
    EXPECT_FALSE(stopped);
}

TEST(ScreenCapturerConfigurationTest, FollowsTheProfileAndCursorChoice) {
    CaptureConfiguration c = ScreenCapturer::configurationFor(StreamProfile::fallback, true);
    EXPECT_EQ(c.width, 2048);
    EXPECT_EQ(c.height, 1536);
    EXPECT_EQ(c.fps, 60);
    EXPECT_EQ(c.pixelFormat, kPixelFormat420v);
    EXPECT_EQ(c.queueDepth, 4);
    EXPECT_TRUE(c.showsCursor);
}

}  // namespace
}  // namespace panelora
