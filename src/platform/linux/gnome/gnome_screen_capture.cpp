#include "platform/linux/gnome/gnome_screen_capture.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/linux/gnome/cursor_theme.h"
#include "platform/linux/pixels/frame_converter.h"
#include "platform/linux/pixels/incremental_converter.h"
#include "video/sample_gate.h"

namespace panelora {
namespace {

class Worker {
  public:
    Worker(std::shared_ptr<VirtualMonitor> monitor, const CaptureConfiguration& configuration,
           std::shared_ptr<SerialQueue> queue, CaptureBackend::Callbacks callbacks)
        : monitor_(std::move(monitor)),
          configuration_(configuration),
          gate_(SampleGate::create(std::move(queue), std::move(callbacks.onSample),
                                   GnomeCaptureBackend::kMaxOutstandingSamples)),
          pool_(Nv12BufferPool::create(static_cast<int32_t>(configuration.width),
                                       static_cast<int32_t>(configuration.height))) {}

    // On the PipeWire thread.
    void onFrame(StreamFrame& frame, const VirtualMonitor::Cursor& cursor) {
        if (!frame.pixels || stopped_.load()) return;
        const bool drawPointer = configuration_.showsCursor && cursor.onMonitor && cursor.position;
        std::shared_ptr<const CursorBitmap> bitmap;
        Point at;
        if (drawPointer) {
            bitmap = cursor.bitmap ? cursor.bitmap : gnome::themeArrow(monitor_->scale());
            at = *cursor.position;
        }
        const bool pointerChanged = drawPointer != drewPointer_ ||
                                    (drawPointer && (bitmap != drawnBitmap_ || at != drawnAt_));
        if (!frame.pictureChanged && !(configuration_.showsCursor && pointerChanged)) return;
        drewPointer_ = drawPointer;
        drawnBitmap_ = bitmap;
        drawnAt_ = at;

        if (!converter_ || frame.width != sourceWidth_ || frame.height != sourceHeight_) {
            sourceWidth_ = frame.width;
            sourceHeight_ = frame.height;
            converter_ = std::make_unique<IncrementalConverter>(
                frame.width, frame.height, static_cast<int>(configuration_.width),
                static_cast<int>(configuration_.height));
        }
        if (frame.pictureChanged) {
            if (frame.damage.empty()) converter_->markAllChanged();
            for (const Rect& r : frame.damage) {
                converter_->markChanged({static_cast<int>(r.x), static_cast<int>(r.y),
                                         static_cast<int>(std::ceil(r.width)),
                                         static_cast<int>(std::ceil(r.height))});
            }
        }
        const bool scaled =
            frame.width != configuration_.width || frame.height != configuration_.height;
        auto buffer = pool_->acquire();
        std::optional<CursorPixels> pointer;
        if (drawPointer && !bitmap->pixels.empty()) {
            pointer = pointerPixels(bitmap, at);
            markPointer(*pointer);  // drawn into this buffer now
        }
        if (pointer && scaled) {
            // Mutter's buffer is mapped read-only: the pointer goes into a copy of it.
            copy_.assign(frame.pixels,
                         frame.pixels + static_cast<size_t>(frame.stride) * frame.height);
            blendCursor(copy_.data(), frame.stride, frame.width, frame.height, *pointer);
            converter_->update(copy_.data(), frame.stride, *buffer);
        } else {
            converter_->update(frame.pixels, frame.stride, *buffer);
            if (pointer) {
                blendCursorIntoNv12(frame.pixels, frame.stride, frame.width, frame.height, *pointer,
                                    *buffer, scratch_);
            }
        }
        // The pointer is not in the picture: where it was drawn is converted again next time.
        if (pointer) markPointer(*pointer);
        deliver(std::move(buffer), frame.ptsNanos);
    }

    void stop() {
        stopped_.store(true);
        gate_->stop();
    }

  private:
    // The pointer's pixels as blendCursor takes them, its hot spot at `at`.
    CursorPixels pointerPixels(const std::shared_ptr<const CursorBitmap>& bitmap, Point at) {
        if (bitmap != pointerSource_) {
            pointerSource_ = bitmap;
            argb_.assign(bitmap->pixels.begin(), bitmap->pixels.end());
        }
        return CursorPixels{static_cast<int>(at.x) - bitmap->hotX,
                            static_cast<int>(at.y) - bitmap->hotY, bitmap->width, bitmap->height,
                            argb_.data()};
    }

    void markPointer(const CursorPixels& pointer) {
        converter_->markChanged({pointer.left, pointer.top, pointer.width, pointer.height});
    }

    void deliver(std::shared_ptr<Nv12Buffer> buffer, int64_t pts) {
        CaptureSample sample;
        sample.isScreen = true;
        sample.status = FrameStatus::complete;
        sample.image = std::move(buffer);
        sample.ptsNanos = pts;
        gate_->offer(std::move(sample));
    }

    const std::shared_ptr<VirtualMonitor> monitor_;
    const CaptureConfiguration configuration_;
    const std::shared_ptr<SampleGate> gate_;
    const std::shared_ptr<Nv12BufferPool> pool_;
    std::atomic<bool> stopped_{false};

    // PipeWire thread only.
    std::unique_ptr<IncrementalConverter> converter_;
    int sourceWidth_ = 0;
    int sourceHeight_ = 0;
    std::vector<uint8_t> scratch_;     // the pointer's patch
    std::vector<uint8_t> copy_;        // the whole picture, when it is scaled
    std::vector<unsigned long> argb_;  // the pointer's pixels as blendCursor takes them
    std::shared_ptr<const CursorBitmap> pointerSource_;
    bool drewPointer_ = false;
    std::shared_ptr<const CursorBitmap> drawnBitmap_;
    Point drawnAt_;
};

class GnomeCaptureStream final : public CaptureStream {
  public:
    GnomeCaptureStream(std::shared_ptr<VirtualMonitor> monitor, std::shared_ptr<Worker> worker)
        : monitor_(std::move(monitor)), worker_(std::move(worker)) {}
    ~GnomeCaptureStream() override { stop(); }

    void stop() override {
        if (stopped_.exchange(true)) return;
        worker_->stop();
        monitor_->setEndedHandler(nullptr);
        monitor_->setFrameSink(nullptr);  // waits for a frame in progress
    }

  private:
    const std::shared_ptr<VirtualMonitor> monitor_;
    const std::shared_ptr<Worker> worker_;
    std::atomic<bool> stopped_{false};
};

}  // namespace

GnomeCaptureBackend::GnomeCaptureBackend(std::shared_ptr<VirtualMonitors> monitors)
    : monitors_(std::move(monitors)) {}

std::vector<DisplayID> GnomeCaptureBackend::shareableDisplays(std::string*) {
    std::vector<DisplayID> ids;
    for (const auto& monitor : monitors_->all()) {
        if (!monitor->hasEnded()) ids.push_back(monitor->id());
    }
    return ids;
}

std::unique_ptr<CaptureStream> GnomeCaptureBackend::startStream(
    DisplayID display, const CaptureConfiguration& configuration,
    std::shared_ptr<SerialQueue> queue, Callbacks callbacks, std::string* why) {
    if (!configuration.isSupported() || !queue) {
        if (why) *why = "unsupported capture configuration";
        return nullptr;
    }
    auto monitor = monitors_->find(display);
    if (!monitor || monitor->hasEnded()) {
        if (why) *why = "display " + std::to_string(display) + " is not a live virtual monitor";
        return nullptr;
    }
    auto onStopped = callbacks.onStopped;
    auto worker =
        std::make_shared<Worker>(monitor, configuration, std::move(queue), std::move(callbacks));
    auto stream = std::make_unique<GnomeCaptureStream>(monitor, worker);
    monitor->setEndedHandler(onStopped);
    monitor->setFrameSink([worker](StreamFrame& frame, const VirtualMonitor::Cursor& cursor) {
        worker->onFrame(frame, cursor);
    });
    return stream;
}

}  // namespace panelora
