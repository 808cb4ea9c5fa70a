// The X11 capture against a real Xorg with the dummy driver: colours, sizes, damage-driven
// delivery, pacing, back-pressure, the pointer, and the stop notice.
// GoogleTest before any X11 header: Xlib defines None, Bool and Status as macros.
#include <gtest/gtest.h>

#include "platform/linux/x11/x11_screen_capture.h"

#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <random>
#include <thread>

#include "platform/linux/x11/randr_virtual_display.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "support/manual_clock.h"
#include "video/virtual_display.h"
#include "x11_test_support.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
using test::FrameSink;
using test::nv12At;
using test::Yuv;

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000, kRed = 0xFF0000, kBlue = 0x0000FF;

void expectColour(const Yuv& actual, const Yuv& expected, const std::string& where) {
    EXPECT_NEAR(actual.y, expected.y, 3) << where;
    EXPECT_NEAR(actual.u, expected.u, 3) << where;
    EXPECT_NEAR(actual.v, expected.v, 3) << where;
}

CaptureConfiguration configuration(int64_t width, int64_t height, int32_t fps, bool cursor) {
    CaptureConfiguration c;
    c.width = width;
    c.height = height;
    c.fps = fps;
    c.pixelFormat = kPixelFormat420v;
    c.queueDepth = 4;
    c.showsCursor = cursor;
    return c;
}

// A 1024 × 768 virtual display on the shared server, a drawing connection and a capture backend.
class X11Capture : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = test::XorgServer::shared();
        if (!server_) GTEST_SKIP() << test::XorgServer::sharedSkipReason();
        d_ = test::openDisplay(*server_);
        ASSERT_TRUE(d_);
        displayBackend_ = std::make_unique<X11VirtualDisplayBackend>(server_->displayName());
        display_ = VirtualDisplay::create(*displayBackend_, StreamProfile::fallback, 1);
        ASSERT_TRUE(display_);
        id_ = display_->displayID();
        auto bounds = x11::displayBounds(d_.get(), id_);
        ASSERT_TRUE(bounds);
        x0_ = static_cast<int>(bounds->x);
        backend_ = std::make_unique<X11CaptureBackend>(server_->displayName());
        queue_ = SerialQueue::create("test.capture");
    }

    void TearDown() override {
        if (stream_) stream_->stop();
        stream_.reset();
        if (queue_) queue_->flush();
    }

    std::unique_ptr<CaptureStream> start(const CaptureConfiguration& c,
                                         std::shared_ptr<SerialQueue> queue = nullptr) {
        std::optional<CaptureBackend::Error> error;
        CaptureBackend::Callbacks callbacks;
        callbacks.onSample = [this](const CaptureSample& s) { sink_.add(s); };
        callbacks.onStopped = [this] { stopped_.fetch_add(1); };
        auto stream =
            backend_->startStream(id_, c, queue ? queue : queue_, std::move(callbacks), error);
        EXPECT_FALSE(error) << error->message;
        return stream;
    }

    // White, red / blue, black quadrants over the whole display.
    void drawQuadrants() {
        test::fillRoot(d_.get(), x0_, 0, 512, 384, kWhite);
        test::fillRoot(d_.get(), x0_ + 512, 0, 512, 384, kRed);
        test::fillRoot(d_.get(), x0_, 384, 512, 384, kBlue);
        test::fillRoot(d_.get(), x0_ + 512, 384, 512, 384, kBlack);
    }

    test::XorgServer* server_ = nullptr;
    test::DisplayPtr d_;
    std::unique_ptr<X11VirtualDisplayBackend> displayBackend_;
    std::unique_ptr<VirtualDisplay> display_;
    DisplayID id_ = 0;
    int x0_ = 0;
    std::unique_ptr<X11CaptureBackend> backend_;
    std::shared_ptr<SerialQueue> queue_;
    FrameSink sink_;
    std::atomic<int> stopped_{0};
    std::unique_ptr<CaptureStream> stream_;
};

TEST_F(X11Capture, ShareableDisplaysListTheVirtualDisplayOnceEnabled) {
    std::optional<CaptureBackend::Error> error;
    auto ids = backend_->shareableDisplays(error);
    EXPECT_FALSE(error);
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_NE(std::find(ids.begin(), ids.end(), id_), ids.end());
}

struct SizeCase {
    int64_t width, height;
};

class X11CaptureSizes : public X11Capture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(X11CaptureSizes, ColoursComeOutAsVideoRangeNV12AtTheEncodedSize) {
    const SizeCase size = GetParam();
    drawQuadrants();
    stream_ = start(configuration(size.width, size.height, 60, false));
    ASSERT_TRUE(stream_);
    ASSERT_TRUE(sink_.waitFor(1));
    CaptureSample sample = sink_.at(0);
    EXPECT_TRUE(sample.isScreen);
    EXPECT_EQ(sample.status, FrameStatus::complete);
    EXPECT_GT(sample.ptsNanos, 0);
    ASSERT_TRUE(sample.image);
    const ImageBuffer& image = *sample.image;
    ASSERT_EQ(image.width(), size.width);
    ASSERT_EQ(image.height(), size.height);
    const int qx = static_cast<int>(size.width / 4), qy = static_cast<int>(size.height / 4);
    expectColour(nv12At(image, qx, qy), {235, 128, 128}, "white");
    expectColour(nv12At(image, 3 * qx, qy), {81, 90, 240}, "red");
    expectColour(nv12At(image, qx, 3 * qy), {41, 240, 110}, "blue");
    expectColour(nv12At(image, 3 * qx, 3 * qy), {16, 128, 128}, "black");
}

INSTANTIATE_TEST_SUITE_P(EncodedSizes, X11CaptureSizes,
                         ::testing::Values(SizeCase{1024, 768},   // the display's own size
                                           SizeCase{2048, 1536},  // the fallback profile
                                           SizeCase{640, 480}));  // shrinking

TEST_F(X11Capture, StaticDisplayYieldsOneFrameAndAChangeYieldsAnother) {
    test::fillRoot(d_.get(), x0_, 0, 1024, 768, kBlack);
    stream_ = start(configuration(1024, 768, 60, false));
    ASSERT_TRUE(stream_);
    ASSERT_TRUE(sink_.waitFor(1));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sink_.count(), 1u);

    // Drawing on the primary display is not a change of ours.
    test::fillRoot(d_.get(), 100, 100, 300, 300, kRed);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sink_.count(), 1u);

    test::fillRoot(d_.get(), x0_ + 10, 10, 100, 100, kWhite);
    ASSERT_TRUE(sink_.waitFor(2));
    EXPECT_NEAR(nv12At(*sink_.at(1).image, 50, 50).y, 235, 3);
    EXPECT_NEAR(nv12At(*sink_.at(1).image, 500, 500).y, 16, 3);
    EXPECT_GT(sink_.at(1).ptsNanos, sink_.at(0).ptsNanos);
}

// The capture grabs and converts only what changed, into buffers that come back from the
// encoder: after small changes and pointer moves the picture is byte for byte what a fresh
// capture, which grabs everything, makes of the same screen.
TEST_F(X11Capture, SmallChangesGiveThePictureAWholeGrabGives) {
    struct Latest {
        std::mutex mutex;
        std::condition_variable arrived;
        ImageBufferRef image;  // only the last: the others go back to the pool
        size_t count = 0;
    };
    auto capture = [&](const std::shared_ptr<Latest>& latest) {
        CaptureBackend::Callbacks callbacks;
        callbacks.onSample = [latest](const CaptureSample& sample) {
            std::lock_guard lock(latest->mutex);
            latest->image = sample.image;
            ++latest->count;
            latest->arrived.notify_all();
        };
        std::optional<CaptureBackend::Error> error;
        auto stream = backend_->startStream(id_, configuration(1600, 1200, 60, true), queue_,
                                            std::move(callbacks), error);
        EXPECT_FALSE(error);
        return stream;
    };
    auto waitBeyond = [](Latest& latest, size_t count) {
        std::unique_lock lock(latest.mutex);
        return latest.arrived.wait_for(lock, 3s, [&] { return latest.count > count; });
    };
    auto pointerAt = [&](int x, int y) {
        XWarpPointer(d_.get(), None, DefaultRootWindow(d_.get()), 0, 0, 0, 0, x0_ + x, y);
        XSync(d_.get(), False);
    };

    drawQuadrants();
    pointerAt(300, 200);
    auto latest = std::make_shared<Latest>();
    stream_ = capture(latest);
    ASSERT_TRUE(stream_ && waitBeyond(*latest, 0));
    std::mt19937 random(5);
    for (int i = 0; i < 12; ++i) {
        const size_t seen = latest->count;
        const int w = 1 + static_cast<int>(random() % 120), h = 1 + static_cast<int>(random() % 90);
        test::fillRoot(d_.get(), x0_ + static_cast<int>(random() % (1024 - w)),
                       static_cast<int>(random() % (768 - h)), w, h,
                       static_cast<uint32_t>(random() & 0xFFFFFF));
        if (i % 3 == 0)
            pointerAt(static_cast<int>(random() % 1024), static_cast<int>(random() % 768));
        ASSERT_TRUE(waitBeyond(*latest, seen)) << "change " << i;
    }
    std::this_thread::sleep_for(100ms);  // the last change's frame is in
    stream_->stop();
    queue_->flush();

    auto fresh = std::make_shared<Latest>();
    auto whole = capture(fresh);
    ASSERT_TRUE(whole && waitBeyond(*fresh, 0));
    whole->stop();
    queue_->flush();
    const ImageBuffer& a = *latest->image;
    const ImageBuffer& b = *fresh->image;
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
    ASSERT_TRUE(stream_);
    ASSERT_TRUE(sink_.waitFor(1));
    const auto begin = std::chrono::steady_clock::now();
    const size_t before = sink_.count();
    int i = 0;
    while (std::chrono::steady_clock::now() - begin < 1s) {
        test::fillRoot(d_.get(), x0_, 0, 64, 64, (i++ % 2) ? kWhite : kBlack);
        std::this_thread::sleep_for(2ms);
    }
    const auto elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const size_t frames = sink_.count() - before;
    EXPECT_LE(static_cast<double>(frames), 20 * elapsed + 2) << frames << " in " << elapsed << " s";
    EXPECT_GE(frames, 5u);  // a loose floor: changes do produce frames
    // Slots keep their cadence, with frames never closer than half an interval; so any second
    // holds at most fps + 1 of them.
    for (size_t k = 1; k < sink_.count(); ++k) {
        EXPECT_GE(sink_.at(k).ptsNanos - sink_.at(k - 1).ptsNanos, 25'000'000);
    }
    for (size_t first = 0; first < sink_.count(); ++first) {
        size_t inWindow = 0;
        for (size_t k = first; k < sink_.count(); ++k) {
            if (sink_.at(k).ptsNanos - sink_.at(first).ptsNanos < 1'000'000'000) ++inWindow;
        }
        EXPECT_LE(inWindow, 21u);
    }
}

TEST_F(X11Capture, AtMostFourSamplesWaitOnTheQueueAndTheDamageIsKept) {
    ManualClock clock;
    auto manualQueue = clock.makeQueue("test.capture.manual");
    stream_ = start(configuration(1024, 768, 120, false), manualQueue);
    ASSERT_TRUE(stream_);
    // Nobody runs the queue: keep changing the display until four samples wait, then well past
    // a few more frames' time.
    const auto fillDeadline = std::chrono::steady_clock::now() + 5s;
    int i = 0;
    while (clock.pendingTasks() < 4 && std::chrono::steady_clock::now() < fillDeadline) {
        test::fillRoot(d_.get(), x0_, 0, 64, 64, (i++ % 2) ? kWhite : kBlack);
        std::this_thread::sleep_for(5ms);
    }
    for (int k = 0; k < 20; ++k) {
        test::fillRoot(d_.get(), x0_, 0, 64, 64, (i++ % 2) ? kWhite : kBlack);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(clock.pendingTasks(), 4u);
    EXPECT_EQ(sink_.count(), 0u);

    // The last change was not delivered; once the queue drains it comes without a new change.
    test::fillRoot(d_.get(), x0_ + 200, 200, 64, 64, kRed);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(clock.pendingTasks(), 4u);
    clock.runUntilIdle();
    EXPECT_EQ(sink_.count(), 4u);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (clock.pendingTasks() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(clock.pendingTasks(), 1u);
    clock.runUntilIdle();
    EXPECT_NEAR(nv12At(*sink_.last().image, 230, 230).y, 81, 3);  // the red square is there
    stream_->stop();
    stream_.reset();
    clock.runUntilIdle();
}

// A 16 × 16 all-white cursor with its hot spot at the top-left corner.
Cursor whiteSquareCursor(Display* d) {
    std::vector<char> bits(2 * 16, static_cast<char>(0xFF));
    Pixmap source = XCreateBitmapFromData(d, DefaultRootWindow(d), bits.data(), 16, 16);
    Pixmap mask = XCreateBitmapFromData(d, DefaultRootWindow(d), bits.data(), 16, 16);
    XColor white{}, black{};
    white.red = white.green = white.blue = 0xFFFF;
    Cursor cursor = XCreatePixmapCursor(d, source, mask, &white, &black, 0, 0);
    XFreePixmap(d, source);
    XFreePixmap(d, mask);
    return cursor;
}

TEST_F(X11Capture, ThePointerIsDrawnExactlyWhenShowsCursorIsSet) {
    Cursor cursor = whiteSquareCursor(d_.get());
    XDefineCursor(d_.get(), DefaultRootWindow(d_.get()), cursor);
    test::fillRoot(d_.get(), x0_, 0, 1024, 768, kBlack);
    XWarpPointer(d_.get(), None, DefaultRootWindow(d_.get()), 0, 0, 0, 0, x0_ + 100, 100);
    XSync(d_.get(), False);

    for (bool shows : {true, false}) {
        SCOPED_TRACE(shows ? "showsCursor" : "no cursor");
        FrameSink sink;
        std::optional<CaptureBackend::Error> error;
        CaptureBackend::Callbacks callbacks;
        callbacks.onSample = [&sink](const CaptureSample& s) { sink.add(s); };
        auto stream = backend_->startStream(id_, configuration(1024, 768, 60, shows), queue_,
                                            std::move(callbacks), error);
        ASSERT_TRUE(stream);
        ASSERT_TRUE(sink.waitFor(1));
        const ImageBuffer& image = *sink.at(0).image;
        EXPECT_NEAR(nv12At(image, 108, 108).y, shows ? 235 : 16, 3);
        EXPECT_NEAR(nv12At(image, 130, 130).y, 16, 3);  // beyond the cursor
        if (shows) {
            // Moving the pointer is a change of the picture even without damage.
            XWarpPointer(d_.get(), None, DefaultRootWindow(d_.get()), 0, 0, 0, 0, x0_ + 300, 300);
            XSync(d_.get(), False);
            ASSERT_TRUE(sink.waitFor(2));
            EXPECT_NEAR(nv12At(*sink.last().image, 308, 308).y, 235, 3);
            EXPECT_NEAR(nv12At(*sink.last().image, 108, 108).y, 16, 3);
            XWarpPointer(d_.get(), None, DefaultRootWindow(d_.get()), 0, 0, 0, 0, x0_ + 100, 100);
            XSync(d_.get(), False);
        }
        stream->stop();
        queue_->flush();
    }
    XUndefineCursor(d_.get(), DefaultRootWindow(d_.get()));
    XFreeCursor(d_.get(), cursor);
    XSync(d_.get(), False);
}

TEST_F(X11Capture, ReleasingTheDisplayStopsTheCaptureOnce) {
    stream_ = start(configuration(1024, 768, 60, false));
    ASSERT_TRUE(stream_);
    ASSERT_TRUE(sink_.waitFor(1));
    display_.reset();
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (stopped_.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(stopped_.load(), 1);
    stream_->stop();  // after the notice: joins at once
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(stopped_.load(), 1);
}

TEST_F(X11Capture, StopIsPromptAndSilent) {
    stream_ = start(configuration(1024, 768, 60, false));
    ASSERT_TRUE(stream_);
    ASSERT_TRUE(sink_.waitFor(1));
    const auto begin = std::chrono::steady_clock::now();
    stream_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    stream_->stop();  // idempotent
    EXPECT_EQ(stopped_.load(), 0);
}

TEST_F(X11Capture, UnsupportedConfigurationsAreRefused) {
    auto bgra = configuration(1024, 768, 60, false);
    bgra.pixelFormat = 0x42475241;  // 'BGRA'
    for (const CaptureConfiguration& c :
         {configuration(0, 768, 60, false), configuration(1024, 1, 60, false),
          configuration(1024, 768, 0, false), configuration(100000, 768, 60, false), bgra}) {
        std::optional<CaptureBackend::Error> error;
        EXPECT_FALSE(backend_->startStream(id_, c, queue_, {}, error));
        EXPECT_TRUE(error);
    }
}

TEST_F(X11Capture, StartingOnAnUnknownDisplayFails) {
    std::optional<CaptureBackend::Error> error;
    auto stream =
        backend_->startStream(0x1234567, configuration(1024, 768, 60, false), queue_, {}, error);
    EXPECT_FALSE(stream);
    ASSERT_TRUE(error);
    EXPECT_NE(error->message.find("not an enabled output"), std::string::npos);
}

TEST_F(X11Capture, ScreenCapturerFindsTheVirtualDisplayAndDeliversFrames) {
    // Shared with the callback: a frame already on its way may still arrive after stopCapture().
    struct Frames {
        std::mutex mutex;
        std::vector<ImageBufferRef> list;
    };
    auto frames = std::make_shared<Frames>();
    auto capturer =
        ScreenCapturer::create(*backend_, [frames](const ImageBufferRef& image, int64_t) {
            std::lock_guard lock(frames->mutex);
            frames->list.push_back(image);
        });
    auto error = capturer->start(id_, StreamProfile::fallback, true);
    ASSERT_FALSE(error) << error->description();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(frames->mutex);
            if (!frames->list.empty()) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    capturer->stopCapture();
    std::lock_guard lock(frames->mutex);
    ASSERT_FALSE(frames->list.empty());
    EXPECT_EQ(frames->list[0]->width(), 2048);
    EXPECT_EQ(frames->list[0]->height(), 1536);
}

TEST_F(X11Capture, ScreenCapturerGivesUpOnADisplayThatNeverAppears) {
    ManualClock clock;
    auto capturer = ScreenCapturer::create(
        *backend_, [](const ImageBufferRef&, int64_t) {}, clock);
    const int64_t before = clock.uptimeNanos();
    auto error = capturer->start(0x1234567, StreamProfile::fallback, false);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, ScreenCapturer::CaptureError::Kind::displayNotFound);
    // 15 looks with a 0.3 s wait after each, on the manual clock.
    EXPECT_EQ(clock.uptimeNanos() - before, 15 * 300'000'000LL);
}

TEST(X11CaptureServer, ServerGoingAwayStopsTheCaptureAndFailsTheListing) {
    std::string why;
    test::XorgServer::Options options;
    options.firstDisplayNumber = 80;
    options.mode = "800x600";
    auto server = test::XorgServer::start(&why, options);
    if (!server) GTEST_SKIP() << why;
    X11CaptureBackend backend(server->displayName());
    std::optional<CaptureBackend::Error> error;
    auto ids = backend.shareableDisplays(error);
    ASSERT_FALSE(error);
    ASSERT_EQ(ids.size(), 1u);

    auto queue = SerialQueue::create("test.capture.gone");
    FrameSink sink;
    std::atomic<int> stopped{0};
    CaptureBackend::Callbacks callbacks;
    callbacks.onSample = [&sink](const CaptureSample& s) { sink.add(s); };
    callbacks.onStopped = [&stopped] { stopped.fetch_add(1); };
    auto stream = backend.startStream(ids[0], configuration(800, 600, 30, false), queue,
                                      std::move(callbacks), error);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(sink.waitFor(1));

    server->stop();
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (stopped.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(stopped.load(), 1);
    stream->stop();

    ids = backend.shareableDisplays(error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(ids.empty());
    EXPECT_NE(error->message.find(server->displayName()), std::string::npos);
    queue->flush();
}

}  // namespace
}  // namespace panelora
