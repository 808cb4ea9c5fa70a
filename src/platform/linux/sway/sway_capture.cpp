#include "platform/linux/sway/sway_capture.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include <wayland-client.h>

#include "platform/linux/pipewire/picture_diff.h"
#include "platform/linux/pixels/incremental_converter.h"
#include "platform/linux/sway/wayland_link.h"
#include "support/clock.h"
#include "support/log.h"
#include "video/sample_gate.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("sway");
}

std::atomic<uint64_t> nextWatcher{1};

// A wl_buffer over a memfd, remade when the compositor asks for another size or format.
class ShmBuffer {
  public:
    ~ShmBuffer() { release(); }

    bool ensure(wl_shm* shm, uint32_t format, int width, int height, int stride) {
        if (buffer_ && format == format_ && width == width_ && height == height_ &&
            stride == stride_) {
            return true;
        }
        release();
        const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(height);
        const int fd = memfd_create("panelora-screencopy", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (pixels == MAP_FAILED) {
            close(fd);
            return false;
        }
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(size));
        buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
        wl_shm_pool_destroy(pool);
        close(fd);
        pixels_ = static_cast<uint8_t*>(pixels);
        size_ = size;
        format_ = format, width_ = width, height_ = height, stride_ = stride;
        return true;
    }
    void release() {
        if (buffer_) wl_buffer_destroy(buffer_);
        if (pixels_) munmap(pixels_, size_);
        buffer_ = nullptr;
        pixels_ = nullptr;
    }

    wl_buffer* buffer() const { return buffer_; }
    const uint8_t* pixels() const { return pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }

  private:
    wl_buffer* buffer_ = nullptr;
    uint8_t* pixels_ = nullptr;
    size_t size_ = 0;
    uint32_t format_ = 0;
    int width_ = 0, height_ = 0, stride_ = 0;
};

// What one screencopy frame told.
struct FrameState {
    bool haveShm = false, bufferDone = false, ready = false, failed = false, yInvert = false;
    uint32_t format = 0, width = 0, height = 0, stride = 0;
    std::vector<IncrementalConverter::Rect> damage;
};

const zwlr_screencopy_frame_v1_listener kFrameListener{
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
       uint32_t stride) {
        auto* s = static_cast<FrameState*>(data);
        // Formats the converter reads as BGRA in memory.
        if (format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888) {
            s->haveShm = true;
            s->format = format, s->width = width, s->height = height, s->stride = stride;
        }
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
        static_cast<FrameState*>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
        static_cast<FrameState*>(data)->ready = true;
    },
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<FrameState*>(data)->failed = true; },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t width,
       uint32_t height) {
        static_cast<FrameState*>(data)->damage.push_back({static_cast<int>(x), static_cast<int>(y),
                                                          static_cast<int>(width),
                                                          static_cast<int>(height)});
    },
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
    [](void* data, zwlr_screencopy_frame_v1*) {
        static_cast<FrameState*>(data)->bufferDone = true;
    },
};

class SwayCaptureStream final : public CaptureStream {
  public:
    SwayCaptureStream(std::shared_ptr<SwayLayout> layout, DisplayID display,
                      std::unique_ptr<WaylandLink> link, wl_output* output,
                      const CaptureConfiguration& configuration, std::shared_ptr<SerialQueue> queue,
                      CaptureBackend::Callbacks callbacks)
        : layout_(std::move(layout)),
          display_(display),
          link_(std::move(link)),
          output_(output),
          configuration_(configuration),
          onStopped_(std::move(callbacks.onStopped)),
          gate_(SampleGate::create(std::move(queue), std::move(callbacks.onSample),
                                   SwayCaptureBackend::kMaxOutstandingSamples)),
          pool_(Nv12BufferPool::create(static_cast<int32_t>(configuration.width),
                                       static_cast<int32_t>(configuration.height))),
          wake_(std::make_shared<Wake>()),
          watcher_(nextWatcher++) {}

    // False when the display went before the thread could start.
    bool start() {
        // The layout may run the handler after this stream is gone: it holds only the wake.
        if (!layout_->watchGone(display_, watcher_, [wake = wake_] { wake->end(); })) return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    ~SwayCaptureStream() override { stop(); }

    void stop() override {
        ownerStopped_.store(true);
        layout_->unwatchGone(watcher_);
        gate_->stop();
        wake_->signal();
        if (thread_.joinable()) thread_.join();
    }

  private:
    // Wakes the capture thread out of its wait for the compositor.
    struct Wake {
        const int fd = eventfd(0, EFD_CLOEXEC);
        std::atomic<bool> gone{false};
        ~Wake() { close(fd); }
        void signal() {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof(one));
        }
        // The display or the compositor went: the thread ends and tells the owner once.
        void end() {
            gone.store(true);
            signal();
        }
    };

    void run() {
        ShmBuffer shm;
        std::unique_ptr<IncrementalConverter> converter;
        bool first = true;
        int failures = 0;
        while (!ownerStopped_.load() && !wake_->gone.load()) {
            FrameState state;
            auto* frame =
                zwlr_screencopy_manager_v1_capture_output(link_->screencopy(), 1, output_);
            zwlr_screencopy_frame_v1_add_listener(frame, &kFrameListener, &state);
            const bool v3 = link_->screencopyVersion() >= 3;
            bool ok = link_->dispatchUntil(
                [&] { return state.failed || (state.haveShm && (!v3 || state.bufferDone)); },
                wake_->fd);
            if (ok && !state.failed &&
                shm.ensure(link_->shm(), state.format, static_cast<int>(state.width),
                           static_cast<int>(state.height), static_cast<int>(state.stride))) {
                if (first || link_->screencopyVersion() < 2) {
                    zwlr_screencopy_frame_v1_copy(frame, shm.buffer());
                } else {
                    zwlr_screencopy_frame_v1_copy_with_damage(frame, shm.buffer());
                }
                ok = link_->dispatchUntil([&] { return state.ready || state.failed; }, wake_->fd);
            } else if (ok && !state.failed) {
                state.failed = true;
            }
            zwlr_screencopy_frame_v1_destroy(frame);
            if (!ok) break;
            if (state.failed) {
                // An output being reconfigured fails a copy now and then; one that keeps
                // failing is lost.
                if (++failures > 20) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                first = true;
                continue;
            }
            failures = 0;
            if (!converter || sourceWidth_ != shm.width() || sourceHeight_ != shm.height()) {
                sourceWidth_ = shm.width();
                sourceHeight_ = shm.height();
                converter = std::make_unique<IncrementalConverter>(
                    shm.width(), shm.height(), static_cast<int>(configuration_.width),
                    static_cast<int>(configuration_.height));
                first = true;
            }
            if (state.yInvert && !warnedInvert_) {
                logger()->warn("the compositor copies {} upside down", display_);
                warnedInvert_ = true;
            }
            if (first) {
                converter->markAllChanged();
                previous_.assign(shm.pixels(),
                                 shm.pixels() + static_cast<size_t>(shm.stride()) * shm.height());
            } else if (!markChanged(shm, state.damage, *converter)) {
                continue;  // repainted, but nothing changed
            }
            first = false;
            auto buffer = pool_->acquire();
            converter->update(shm.pixels(), shm.stride(), *buffer);
            CaptureSample sample;
            sample.isScreen = true;
            sample.status = FrameStatus::complete;
            sample.image = std::move(buffer);
            sample.ptsNanos = Clock::system().uptimeNanos();
            gate_->offer(std::move(sample));
        }
        shm.release();
        link_->flush();
        if (!ownerStopped_.load() && onStopped_) {
            gate_->stop();
            onStopped_();
        }
    }

    // Marks what changed since the last frame within the damage (sway damages an output also
    // for repaints that change none of its pixels, such as a focus change elsewhere), keeping
    // `previous_` up to date; false when nothing did.
    bool markChanged(const ShmBuffer& shm, std::vector<IncrementalConverter::Rect> damage,
                     IncrementalConverter& converter) {
        const int stride = shm.stride();
        if (damage.empty()) damage.push_back({0, 0, shm.width(), shm.height()});
        bool any = false;
        for (auto r : damage) {
            r.width = std::min(r.x + r.width, shm.width()) - std::max(r.x, 0);
            r.height = std::min(r.y + r.height, shm.height()) - std::max(r.y, 0);
            r.x = std::max(r.x, 0), r.y = std::max(r.y, 0);
            if (r.width <= 0 || r.height <= 0) continue;
            const size_t offset = static_cast<size_t>(r.y) * stride + static_cast<size_t>(r.x) * 4;
            for (const Rect& t :
                 changedTiles(shm.pixels() + offset, stride, previous_.data() + offset, stride,
                              r.width, r.height)) {
                const IncrementalConverter::Rect tile{
                    r.x + static_cast<int>(t.x), r.y + static_cast<int>(t.y),
                    static_cast<int>(t.width), static_cast<int>(t.height)};
                converter.markChanged(tile);
                for (int row = tile.y; row < tile.y + tile.height; ++row) {
                    const size_t at =
                        static_cast<size_t>(row) * stride + static_cast<size_t>(tile.x) * 4;
                    std::memcpy(previous_.data() + at, shm.pixels() + at,
                                static_cast<size_t>(tile.width) * 4);
                }
                any = true;
            }
        }
        return any;
    }

    const std::shared_ptr<SwayLayout> layout_;
    const DisplayID display_;
    const std::unique_ptr<WaylandLink> link_;
    wl_output* const output_;
    const CaptureConfiguration configuration_;
    const std::function<void()> onStopped_;
    const std::shared_ptr<SampleGate> gate_;
    const std::shared_ptr<Nv12BufferPool> pool_;
    const std::shared_ptr<Wake> wake_;
    const uint64_t watcher_;
    std::atomic<bool> ownerStopped_{false};
    std::thread thread_;

    // The capture thread's.
    int sourceWidth_ = 0, sourceHeight_ = 0;
    std::vector<uint8_t> previous_;  // the last frame's pixels
    bool warnedInvert_ = false;
};

}  // namespace

SwayCaptureBackend::SwayCaptureBackend(std::shared_ptr<SwayLayout> layout,
                                       std::string waylandDisplay)
    : layout_(std::move(layout)), waylandDisplay_(std::move(waylandDisplay)) {}

std::vector<DisplayID> SwayCaptureBackend::shareableDisplays(std::string*) {
    return layout_->liveDisplays();
}

std::unique_ptr<CaptureStream> SwayCaptureBackend::startStream(
    DisplayID display, const CaptureConfiguration& configuration,
    std::shared_ptr<SerialQueue> queue, Callbacks callbacks, std::string* why) {
    if (!configuration.isSupported() || !queue) {
        if (why) *why = "unsupported capture configuration";
        return nullptr;
    }
    const std::string name = layout_->outputName(display);
    if (name.empty() || !layout_->ownedOutputs().contains(name)) {
        if (why) *why = "display " + std::to_string(display) + " is not an output of ours";
        return nullptr;
    }
    auto link = WaylandLink::connect(waylandDisplay_, why);
    if (!link) return nullptr;
    wl_output* output = link->output(name);
    if (!link->screencopy() || !link->shm() || !output) {
        if (why) {
            *why = !link->screencopy() ? "the compositor offers no wlr screen copy"
                                       : "the compositor shows no output " + name;
        }
        return nullptr;
    }
    auto stream =
        std::make_unique<SwayCaptureStream>(layout_, display, std::move(link), output,
                                            configuration, std::move(queue), std::move(callbacks));
    if (!stream->start()) {
        if (why) *why = "display " + std::to_string(display) + " went while its capture started";
        return nullptr;
    }
    return stream;
}

}  // namespace panelora
