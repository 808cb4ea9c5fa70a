// The X11 capture against a real Xorg with the dummy driver, where X11 differs from the other
// desktops (the conformance suite has what they share): the picture that changed areas build
// up, pacing, back-pressure and refusals (the server going away is with the RandR tests).
#include "x11_helpers.h"  // first: gtest before Xlib, whose macros break its templates

#include "pictures.h"
#include "platform/linux/x11/randr_virtual_display.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_screen_capture.h"
#include "support/manual_clock.h"

#include <random>

namespace panelora::test {
namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000, kRed = 0xFF0000, kBlue = 0x0000FF;

CaptureConfiguration configuration(int64_t width, int64_t height, int32_t fps, bool cursor) {
    return {width, height, fps, kPixelFormat420v, 4, cursor};
}

// A 1024 × 768 virtual display on the shared server, a drawing connection and a capture backend.
class X11Capture : public XorgTest {
  protected:
    void SetUp() override {
        XorgTest::SetUp();
        if (!d_) return;
        displayBackend_ = std::make_unique<X11VirtualDisplayBackend>(server_->displayName());
        display_ = VirtualDisplay::create(*displayBackend_, StreamProfile::fallback, 1);
        ASSERT_TRUE(display_);
        id_ = display_->displayID();
        x0_ = int(x11::displayBounds(d(), id_)->x);
        backend_ = std::make_unique<X11CaptureBackend>(server_->displayName());
    }
    void TearDown() override {
        if (stream_) stream_->stop();
        queue_->flush();
        display_.reset();
        XorgTest::TearDown();
    }

    std::unique_ptr<CaptureStream> start(const CaptureConfiguration& c,
                                         CaptureBackend::Callbacks callbacks,
                                         std::shared_ptr<SerialQueue> queue = nullptr) {
        std::string why;
        auto stream = backend_->startStream(id_, c, queue ? queue : queue_, callbacks, &why);
        EXPECT_TRUE(why.empty()) << why;
        return stream;
    }
    // Into `sink_`.
    std::unique_ptr<CaptureStream> start(const CaptureConfiguration& c,
                                         std::shared_ptr<SerialQueue> queue = nullptr) {
        return start(c, {[this](const CaptureSample& s) { sink_.add(s); }, [] {}}, queue);
    }
    // Paints over a corner of the display, changing colour each time.
    void change(int i) { fillRoot(d(), x0_, 0, 64, 64, i % 2 ? kWhite : kBlack); }

    std::unique_ptr<X11VirtualDisplayBackend> displayBackend_;
    std::unique_ptr<VirtualDisplay> display_;
    DisplayID id_ = 0;
    int x0_ = 0;
    std::unique_ptr<X11CaptureBackend> backend_;
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.capture");
    Collected<CaptureSample> sink_;
    std::unique_ptr<CaptureStream> stream_;
};

// The capture grabs and converts only what changed, into buffers that come back from the
// encoder: after small changes and pointer moves the picture is byte for byte what a fresh
// capture, which grabs everything, makes of the same screen.
TEST_F(X11Capture, SmallChangesGiveThePictureAWholeGrabGives) {
    // Only the latest image is held, so the others go back to the pool and are updated in place.
    struct Latest {
        Collected<int> arrivals;
        std::mutex mutex;
        ImageBufferRef image;
    };
    auto capture = [&](const std::shared_ptr<Latest>& latest) {
        return start(configuration(1600, 1200, 60, true), {[latest](const CaptureSample& sample) {
                                                               std::lock_guard lock(latest->mutex);
                                                               latest->image = sample.image;
                                                               latest->arrivals.add(0);
                                                           },
                                                           [] {}});
    };
    auto pointerAt = [&](int x, int y) {
        XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, x0_ + x, y);
        XSync(d(), False);
    };
    fillRoot(d(), x0_, 0, 512, 768, kWhite);
    fillRoot(d(), x0_ + 512, 0, 512, 768, kBlue);
    pointerAt(300, 200);
    auto latest = std::make_shared<Latest>();
    stream_ = capture(latest);
    ASSERT_TRUE(stream_ && latest->arrivals.waitFor(1, 3s));
    std::mt19937 random(5);
    for (int i = 0; i < 12; ++i) {
        const size_t seen = latest->arrivals.size();
        const int w = 1 + int(random() % 120), h = 1 + int(random() % 90);
        fillRoot(d(), x0_ + int(random() % (1024 - w)), int(random() % (768 - h)), w, h,
                 uint32_t(random() & 0xFFFFFF));
        if (i % 3 == 0) pointerAt(int(random() % 1024), int(random() % 768));
        ASSERT_TRUE(latest->arrivals.waitFor(seen + 1, 3s)) << "change " << i;
    }
    std::this_thread::sleep_for(100ms);  // the last change's frame is in
    stream_->stop();
    queue_->flush();

    auto fresh = std::make_shared<Latest>();
    auto whole = capture(fresh);
    ASSERT_TRUE(whole && fresh->arrivals.waitFor(1, 3s));
    whole->stop();
    queue_->flush();
    const ImageBuffer &a = *latest->image, &b = *fresh->image;
    for (int plane = 0; plane < 2; ++plane) {
        for (int y = 0; y < (plane == 0 ? 1200 : 600); ++y) {
            ASSERT_EQ(std::memcmp(a.planeData(plane) + y * a.planeStride(plane),
                                  b.planeData(plane) + y * b.planeStride(plane), 1600),
                      0)
                << "plane " << plane << " row " << y;
        }
    }
}

TEST_F(X11Capture, FramesArePacedToAtMostFpsPerSecond) {
    stream_ = start(configuration(1024, 768, 20, false));
    ASSERT_TRUE(stream_ && sink_.waitFor(1));
    EXPECT_GT(sink_.at(0).ptsNanos, 0);
    const auto begin = std::chrono::steady_clock::now();
    const size_t before = sink_.size();
    for (int i = 0; std::chrono::steady_clock::now() - begin < 1s; ++i) {
        change(i);
        std::this_thread::sleep_for(2ms);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const size_t frames = sink_.size() - before;
    EXPECT_LE(double(frames), 20 * elapsed + 2) << frames << " in " << elapsed << " s";
    EXPECT_GE(frames, 5u);  // a loose floor: changes do produce frames
    // Slots keep their cadence, with frames never closer than half an interval.
    for (size_t k = 1; k < sink_.size(); ++k)
        EXPECT_GE(sink_.at(k).ptsNanos - sink_.at(k - 1).ptsNanos, 25'000'000);
}

TEST_F(X11Capture, AtMostFourSamplesWaitOnTheQueueAndTheDamageIsKept) {
    ManualClock clock;
    stream_ = start(configuration(1024, 768, 120, false), clock.makeQueue("test.manual"));
    ASSERT_TRUE(stream_);
    // Nobody runs the queue: keep changing the display until four samples wait, then well past
    // a few more frames' time.
    int i = 0;
    eventually([&] {
        change(i++);
        std::this_thread::sleep_for(5ms);
        return clock.pendingTasks() >= 4;
    });
    for (int k = 0; k < 20; ++k) {
        change(i++);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(clock.pendingTasks(), 4u);
    EXPECT_EQ(sink_.size(), 0u);
    // The last change was not delivered; once the queue drains it comes without a new change.
    fillRoot(d(), x0_ + 200, 200, 64, 64, kRed);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(clock.pendingTasks(), 4u);
    clock.runUntilIdle();
    EXPECT_EQ(sink_.size(), 4u);
    ASSERT_TRUE(eventually([&] { return clock.pendingTasks() >= 1; }));
    clock.runUntilIdle();
    EXPECT_TRUE(yuvNear(*sink_.last().image, 230, 230, kRedYuv));
    stream_->stop();
    stream_.reset();
    clock.runUntilIdle();
}

TEST_F(X11Capture, UnsupportedConfigurationsAndUnknownDisplaysAreRefused) {
    auto bgra = configuration(1024, 768, 60, false);
    bgra.pixelFormat = 0x42475241;  // 'BGRA'
    for (const CaptureConfiguration& c :
         {configuration(0, 768, 60, false), configuration(1024, 1, 60, false),
          configuration(1024, 768, 0, false), configuration(100000, 768, 60, false), bgra}) {
        std::string why;
        EXPECT_FALSE(backend_->startStream(id_, c, queue_, {}, &why));
        EXPECT_FALSE(why.empty());
    }
    std::string why;
    EXPECT_FALSE(
        backend_->startStream(0x1234567, configuration(1024, 768, 60, false), queue_, {}, &why));
    EXPECT_NE(why.find("not an enabled output"), std::string::npos) << why;
}

}  // namespace
}  // namespace panelora::test
