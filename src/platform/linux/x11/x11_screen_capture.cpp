#include "platform/linux/x11/x11_screen_capture.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/linux/pixels/frame_converter.h"
#include "platform/linux/pixels/incremental_converter.h"
#include "platform/linux/x11/changed_area.h"
#include "platform/linux/x11/shm_image.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/xlib/x11_connection.h"
#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("capture");
}

using Nanos = int64_t;
constexpr Nanos kMillisecond = 1'000'000;
constexpr Nanos kGeometryCheckInterval = 500 * kMillisecond;
constexpr Nanos kIdleWait = 250 * kMillisecond;

Nanos now() {
    return Clock::system().uptimeNanos();
}

// An eventfd that wakes the capture thread; shared with the samples in flight.
class Wakeup {
  public:
    Wakeup() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Wakeup() {
        if (fd_ >= 0) close(fd_);
    }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void signal() const {
        uint64_t one = 1;
        [[maybe_unused]] auto n = write(fd_, &one, sizeof one);
    }
    void drain() const {
        uint64_t value;
        [[maybe_unused]] auto n = read(fd_, &value, sizeof value);
    }

  private:
    int fd_;
};

// Counts samples posted but not yet handled; shared by the stream and every queued sample.
struct Backpressure {
    std::atomic<int> outstanding{0};
    Wakeup wakeup;
};

// Decrements the count when the queued sample is handled or dropped with the queue.
class OutstandingToken {
  public:
    explicit OutstandingToken(std::shared_ptr<Backpressure> b) : backpressure_(std::move(b)) {
        backpressure_->outstanding.fetch_add(1, std::memory_order_acq_rel);
    }
    ~OutstandingToken() {
        backpressure_->outstanding.fetch_sub(1, std::memory_order_acq_rel);
        backpressure_->wakeup.signal();
    }
    OutstandingToken(const OutstandingToken&) = delete;
    OutstandingToken& operator=(const OutstandingToken&) = delete;

  private:
    std::shared_ptr<Backpressure> backpressure_;
};

struct RectI {
    int x = 0, y = 0, width = 0, height = 0;
    static RectI from(const Rect& r) {
        return {static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(r.width),
                static_cast<int>(r.height)};
    }
    bool intersects(int ox, int oy, int ow, int oh) const {
        return ox < x + width && x < ox + ow && oy < y + height && y < oy + oh;
    }
    bool empty() const { return width <= 0 || height <= 0; }
    // The part inside (0, 0, w, h).
    RectI clippedTo(int w, int h) const {
        const int x0 = std::max(0, x), y0 = std::max(0, y);
        const int x1 = std::min(w, x + width), y1 = std::min(h, y + height);
        return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
    }
    bool operator==(const RectI&) const = default;
};

// Everything the capture thread touches; shared so that a thread detached from inside
// onStopped can still finish safely after the stream object is gone.
class Worker {
  public:
    Worker(std::unique_ptr<X11Connection> connection, DisplayID id,
           const CaptureConfiguration& configuration, std::shared_ptr<SerialQueue> queue,
           CaptureBackend::Callbacks callbacks)
        : connection_(std::move(connection)),
          id_(id),
          configuration_(configuration),
          queue_(std::move(queue)),
          callbacks_(std::move(callbacks)),
          backpressure_(std::make_shared<Backpressure>()),
          frameInterval_(configuration.fps > 0 ? 1'000'000'000 / configuration.fps : 0) {}

    ~Worker() {
        if (connection_->broken()) return;
        Display* display = connection_->display();
        shm_.reset();
        if (damage_) XDamageDestroy(display, damage_);
        if (region_) XFixesDestroyRegion(display, region_);
        connection_->sync();
    }

    // On the starting thread, before the capture thread exists.
    bool setUp(std::string& why) {
        Display* display = connection_->display();
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        Bool pixmaps = False;
        if (!XShmQueryVersion(display, &major, &minor, &pixmaps)) {
            why = "the X server lacks MIT-SHM";
            return false;
        }
        if (!XDamageQueryExtension(display, &damageEventBase_, &errorBase)) {
            why = "the X server lacks DAMAGE";
            return false;
        }
        if (!XFixesQueryExtension(display, &fixesEventBase_, &errorBase)) {
            why = "the X server lacks XFIXES";
            return false;
        }
        major = 5, minor = 0;
        XFixesQueryVersion(display, &major, &minor);
        XDamageQueryVersion(display, &major, &minor);
        if (!XRRQueryExtension(display, &randrEventBase_, &errorBase)) {
            why = "the X server lacks RandR";
            return false;
        }
        (void)eventBase;
        if (!backpressure_->wakeup.valid()) {
            why = "eventfd failed";
            return false;
        }
        auto bounds = x11::displayBounds(display, id_);
        if (!bounds) {
            why = "display " + std::to_string(id_) + " is not an enabled output";
            return false;
        }
        if (!resize(RectI::from(*bounds), why)) return false;
        Window root = connection_->root();
        XRRSelectInput(
            display, root,
            RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        if (configuration_.showsCursor) {
            XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
        }
        damage_ = XDamageCreate(display, root, XDamageReportNonEmpty);
        region_ = XFixesCreateRegion(display, nullptr, 0);
        if (!connection_->sync() || !damage_ || !region_) {
            why = "could not watch the screen for changes (X error " +
                  std::to_string(connection_->lastErrorCode()) + ")";
            return false;
        }
        return true;
    }

    void run() {
        Display* display = connection_->display();
        pending_ = true;  // the first frame goes out at once, changed or not
        Nanos nextGeometryCheck = now() + kGeometryCheckInterval;
        Nanos nextPointerPoll = 0;
        while (!stopRequested_.load(std::memory_order_acquire)) {
            bool geometryChanged = false;
            while (!connection_->broken() && XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                geometryChanged |= handle(event);
            }
            if (connection_->broken()) return finish("the X connection broke");
            Nanos t = now();
            if (geometryChanged || t >= nextGeometryCheck) {
                if (!refreshGeometry()) return finish("the display went away");
                nextGeometryCheck = t + kGeometryCheckInterval;
            }
            if (configuration_.showsCursor && t >= nextPointerPoll) {
                pollPointer();
                nextPointerPoll = t + std::max(frameInterval_, 4 * kMillisecond);
            }
            const bool queueFull = backpressure_->outstanding.load(std::memory_order_acquire) >=
                                   X11CaptureBackend::kMaxOutstandingSamples;
            if (pending_ && !queueFull && t >= nextAllowed_) {
                if (!deliver()) {
                    if (connection_->broken()) return finish("the X connection broke");
                    if (!refreshGeometry()) return finish("the display went away");
                    // The grab failed with the display still there (the screen is being
                    // resized): try again a frame later rather than at once.
                    nextAllowed_ = t + frameInterval_;
                }
                continue;
            }
            // Sleep until the next thing that can happen on our own account; X events and the
            // wake-up descriptor (stop, a handled sample) end the wait earlier.
            Nanos deadline = nextGeometryCheck;
            if (configuration_.showsCursor) deadline = std::min(deadline, nextPointerPoll);
            if (pending_ && !queueFull) deadline = std::min(deadline, nextAllowed_);
            deadline = std::min(deadline, t + kIdleWait);
            // Nanosecond precision: rounding the wait up to whole milliseconds made every frame
            // late by a fraction of one, and 60 fps came out as about 57.
            const Nanos wait = std::max<Nanos>(0, deadline - t);
            const timespec timeout{static_cast<time_t>(wait / 1'000'000'000),
                                   static_cast<long>(wait % 1'000'000'000)};
            pollfd fds[2] = {{connection_->fd(), POLLIN, 0},
                             {backpressure_->wakeup.fd(), POLLIN, 0}};
            int ready = ppoll(fds, 2, &timeout, nullptr);
            if (ready < 0 && errno != EINTR) return finish("poll failed");
            if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
                // Let Xlib read what is left; it reports the broken connection itself.
                if (!(fds[0].revents & POLLIN)) connection_->markBroken();
            }
            if (ready > 0 && (fds[1].revents & POLLIN)) backpressure_->wakeup.drain();
        }
    }

    void requestStop() {
        stopRequested_.store(true, std::memory_order_release);
        backpressure_->wakeup.signal();
    }

  private:
    // True when the event may have moved or removed the display.
    bool handle(XEvent& event) {
        if (event.type == damageEventBase_ + XDamageNotify) {
            auto& notify = reinterpret_cast<XDamageNotifyEvent&>(event);
            Display* display = connection_->display();
            // Take the accumulated damage (which re-arms the non-empty report) and keep it only
            // when it touches our display.
            XDamageSubtract(display, notify.damage, None, region_);
            int count = 0;
            XRectangle* rects = XFixesFetchRegion(display, region_, &count);
            for (int i = 0; i < count; ++i) {
                const RectI r{rects[i].x - bounds_.x, rects[i].y - bounds_.y, rects[i].width,
                              rects[i].height};
                addDamage(r);
            }
            if (rects) XFree(rects);
            return false;
        }
        if (event.type == fixesEventBase_ + XFixesCursorNotify) {
            if (pointerNearDisplay(lastPointerX_, lastPointerY_)) pending_ = true;
            return false;
        }
        if (event.type == randrEventBase_ + RRScreenChangeNotify ||
            event.type == randrEventBase_ + RRNotify) {
            XRRUpdateConfiguration(&event);
            return true;
        }
        return false;
    }

    // `r` in display pixels; what falls outside the display is no change of ours.
    void addDamage(const RectI& r) {
        if (changes_.add({r.x, r.y, r.width, r.height})) pending_ = true;
    }

    bool pointerNearDisplay(int x, int y) const {
        constexpr int kCursorMargin = 256;  // a pointer just outside may still overlap
        return x > bounds_.x - kCursorMargin && x < bounds_.x + bounds_.width + kCursorMargin &&
               y > bounds_.y - kCursorMargin && y < bounds_.y + bounds_.height + kCursorMargin;
    }

    void pollPointer() {
        Window rootReturn, child;
        int x = 0, y = 0, wx, wy;
        unsigned mask;
        if (!XQueryPointer(connection_->display(), connection_->root(), &rootReturn, &child, &x, &y,
                           &wx, &wy, &mask)) {
            return;
        }
        if (x != lastPointerX_ || y != lastPointerY_) {
            if (pointerNearDisplay(x, y) || pointerNearDisplay(lastPointerX_, lastPointerY_)) {
                pending_ = true;
            }
            lastPointerX_ = x;
            lastPointerY_ = y;
        }
    }

    // False when the display is gone. A moved display is followed; a resized one gets new
    // buffers of its new size.
    bool refreshGeometry() {
        auto bounds = x11::displayBounds(connection_->display(), id_);
        if (connection_->broken() || !bounds) return false;
        RectI rect = RectI::from(*bounds);
        if (rect == bounds_) return true;
        std::string why;
        if (!resize(rect, why)) {
            logger()->warn("{}", "capture cannot follow the display's new size: " + why);
            return false;
        }
        pending_ = true;
        return true;
    }

    bool resize(const RectI& rect, std::string& why) {
        if (rect.width != bounds_.width || rect.height != bounds_.height || !shm_) {
            shm_.reset();
            shm_ = ShmImage::create(*connection_, rect.width, rect.height, &why);
            if (!shm_) return false;
            if (!pool_) {
                pool_ = Nv12BufferPool::create(static_cast<int32_t>(configuration_.width),
                                               static_cast<int32_t>(configuration_.height));
            }
            converter_ = std::make_unique<IncrementalConverter>(
                rect.width, rect.height, static_cast<int>(configuration_.width),
                static_cast<int>(configuration_.height));
        }
        bounds_ = rect;
        // A new size or place: nothing of the last picture can be kept.
        changes_ = ChangedArea(rect.width, rect.height);
        lastCursor_ = {};
        return true;
    }

    // Grabs what changed since the last frame into the image and tells the converter. The
    // image keeps the display's picture between frames, so a change grabs only its rows.
    bool grabChanges() {
        struct Grabber final : ChangedArea::Grabber {
            ShmImage& image;
            const RectI& bounds;
            Grabber(ShmImage& i, const RectI& b) : image(i), bounds(b) {}
            bool grabWhole() override { return image.grabRoot(bounds.x, bounds.y); }
            bool grabRows(int firstRow, int rows) override {
                return image.grabRows(bounds.x, bounds.y, firstRow, rows);
            }
        } grabber(*shm_, bounds_);
        // The pointer drawn into the image last time.
        if (!lastCursor_.empty()) {
            changes_.add({lastCursor_.x, lastCursor_.y, lastCursor_.width, lastCursor_.height});
        }
        const auto grabbed = changes_.grab(grabber);
        if (!grabbed) return false;
        if (grabbed->whole) {
            converter_->markAllChanged();
        } else {
            for (const auto& r : grabbed->rects)
                converter_->markChanged(r);
        }
        return true;
    }

    // Grabs, converts and posts one frame. False when the grab failed.
    bool deliver() {
        pending_ = false;
        const Nanos grabbedAt = now();
        if (!grabChanges()) {
            pending_ = true;
            return false;
        }
        lastCursor_ = {};
        if (configuration_.showsCursor) drawCursor(shm_->pixels(), shm_->stride());
        auto buffer = pool_->acquire();
        converter_->update(shm_->pixels(), shm_->stride(), *buffer);
        // Keep the cadence of the slots rather than of the grabs: a grab that comes a little
        // after its slot (the change arrived late) does not push every later slot back, which
        // against a 60 Hz source would merge frames and give about 57 fps. A grab more than a
        // slot behind starts a new cadence, so the rate never exceeds fps; and frames are never
        // closer than half an interval.
        const Nanos slot = grabbedAt - nextAllowed_ < frameInterval_ ? nextAllowed_ + frameInterval_
                                                                     : grabbedAt + frameInterval_;
        nextAllowed_ = std::max(slot, grabbedAt + frameInterval_ / 2);

        CaptureSample sample;
        sample.isScreen = true;
        sample.status = FrameStatus::complete;
        sample.image = std::move(buffer);
        sample.ptsNanos = grabbedAt;
        auto token = std::make_shared<OutstandingToken>(backpressure_);
        queue_->post(
            [onSample = callbacks_.onSample, sample = std::move(sample), token = std::move(token)] {
                if (onSample) onSample(sample);
            });
        return true;
    }

    void drawCursor(uint8_t* pixels, int stride) {
        XFixesCursorImage* cursor = XFixesGetCursorImage(connection_->display());
        if (!cursor) return;
        lastPointerX_ = cursor->x;
        lastPointerY_ = cursor->y;
        CursorPixels placed;
        placed.left = cursor->x - cursor->xhot - bounds_.x;
        placed.top = cursor->y - cursor->yhot - bounds_.y;
        placed.width = cursor->width;
        placed.height = cursor->height;
        placed.pixels = cursor->pixels;
        blendCursor(pixels, stride, bounds_.width, bounds_.height, placed);
        XFree(cursor);
        // Drawn into the kept picture: grabbed again next time, and converted now.
        lastCursor_ = RectI{placed.left, placed.top, placed.width, placed.height}.clippedTo(
            bounds_.width, bounds_.height);
        if (!lastCursor_.empty()) {
            converter_->markChanged(
                {lastCursor_.x, lastCursor_.y, lastCursor_.width, lastCursor_.height});
        }
    }

    void finish(const char* why) {
        if (stopRequested_.load(std::memory_order_acquire)) return;
        logger()->info(
            "{}", std::string("capture of display ") + std::to_string(id_) + " stopped: " + why);
        if (callbacks_.onStopped) callbacks_.onStopped();
    }

    const std::unique_ptr<X11Connection> connection_;
    const DisplayID id_;
    const CaptureConfiguration configuration_;
    const std::shared_ptr<SerialQueue> queue_;
    const CaptureBackend::Callbacks callbacks_;
    const std::shared_ptr<Backpressure> backpressure_;
    const Nanos frameInterval_;
    std::atomic<bool> stopRequested_{false};

    // Capture thread only (and the starting thread before it exists).
    int damageEventBase_ = 0;
    int fixesEventBase_ = 0;
    int randrEventBase_ = 0;
    Damage damage_ = 0;
    XserverRegion region_ = 0;
    RectI bounds_;
    std::unique_ptr<ShmImage> shm_;
    std::unique_ptr<IncrementalConverter> converter_;
    ChangedArea changes_{0, 0};  // since the last grab
    RectI lastCursor_;           // where the pointer was drawn into the image
    std::shared_ptr<Nv12BufferPool> pool_;
    bool pending_ = false;
    Nanos nextAllowed_ = 0;
    int lastPointerX_ = -1'000'000;
    int lastPointerY_ = -1'000'000;
};

class X11CaptureStream final : public CaptureStream {
  public:
    explicit X11CaptureStream(std::shared_ptr<Worker> worker) : worker_(std::move(worker)) {
        thread_ = std::thread([worker = worker_] { worker->run(); });
    }
    ~X11CaptureStream() override { stop(); }

    void stop() override {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            if (!thread_.joinable()) return;
            thread = std::move(thread_);
        }
        worker_->requestStop();
        if (thread.get_id() == std::this_thread::get_id()) {
            // Called from onStopped on the capture thread: it is about to return anyway, and it
            // holds the worker itself.
            thread.detach();
        } else {
            thread.join();
        }
    }

  private:
    std::mutex mutex_;
    std::thread thread_;  // guarded by mutex_
    std::shared_ptr<Worker> worker_;
};

}  // namespace

X11CaptureBackend::X11CaptureBackend(std::string displayName)
    : displayName_(std::move(displayName)) {}

std::vector<DisplayID> X11CaptureBackend::shareableDisplays(std::string* why) {
    auto connection = X11Connection::open(displayName_, why);
    if (!connection) return {};
    std::vector<DisplayID> ids;
    for (const auto& output : x11::enabledOutputs(connection->display()))
        ids.push_back(output.id);
    if (connection->broken()) {
        if (why) *why = "the X connection broke";
        return {};
    }
    return ids;
}

std::unique_ptr<CaptureStream> X11CaptureBackend::startStream(
    DisplayID display, const CaptureConfiguration& configuration,
    std::shared_ptr<SerialQueue> queue, Callbacks callbacks, std::string* why) {
    if (!configuration.isSupported() || !queue) {
        if (why) *why = "unsupported capture configuration";
        return nullptr;
    }
    auto connection = X11Connection::open(displayName_, why);
    if (!connection) return nullptr;
    auto worker = std::make_shared<Worker>(std::move(connection), display, configuration,
                                           std::move(queue), std::move(callbacks));
    std::string reason;
    if (!worker->setUp(reason)) {
        if (why) *why = reason;
        return nullptr;
    }
    return std::make_unique<X11CaptureStream>(std::move(worker));
}

}  // namespace panelora
