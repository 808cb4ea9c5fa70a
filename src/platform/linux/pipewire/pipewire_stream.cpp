#include "platform/linux/pipewire/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/linux/pipewire/picture_diff.h"
#include "platform/linux/pipewire/stream_metadata.h"
#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("gnome");
}

constexpr int64_t kNegotiationTimeoutNanos = 5'000'000'000;
constexpr int64_t kRestartStepTimeoutNanos = 2'000'000'000;
constexpr int kDamageRegions = 16;

constexpr size_t cursorMetaSize(int width, int height) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) +
           static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct LoopDestroy {
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDestroy {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDisconnect {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct StreamDestroy {
    void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};
struct ProxyDestroy {
    void operator()(pw_registry* registry) const {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
};

}  // namespace

struct PipeWireStream::State {
    Options options;
    FrameHandler handler;
    std::function<void()> onEnded;

    std::unique_ptr<pw_thread_loop, LoopDestroy> loop;
    std::unique_ptr<pw_context, ContextDestroy> context;
    std::unique_ptr<pw_core, CoreDisconnect> core;
    // Tells when the node goes away: the stream itself only pauses then.
    std::unique_ptr<pw_registry, ProxyDestroy> registry;
    std::unique_ptr<pw_stream, StreamDestroy> stream;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};

    // Loop thread (or under the loop's lock).
    int width = 0;
    int height = 0;
    bool formatFixed = false;
    bool streaming = false;
    bool paused = false;
    bool ended = false;
    std::string failure;
    pw_buffer* held = nullptr;  // the latest picture
    bool stopped = false;       // no more handlers
    bool tornDown = false;      // the stream, registry and core are gone

    void end(const std::string& why) {
        if (ended) return;
        ended = true;
        if (failure.empty()) failure = why;
        pw_thread_loop_signal(loop.get(), false);
        if (streaming && !stopped) {
            logger()->info("{}",
                           "PipeWire node " + std::to_string(options.node) + " ended: " + why);
            // Off the loop: what ends with the stream may destroy it.
            if (onEnded) options.events->post(std::move(onEnded));
        }
    }

    void formatChanged(const spa_pod* param) {
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) return end("an unreadable video format");
        if ((info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA) ||
            info.size.width == 0 || info.size.height == 0) {
            return end("the node offers no BGRx or BGRA picture");
        }
        width = static_cast<int>(info.size.width);
        height = static_cast<int>(info.size.height);
        formatFixed = true;

        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[4];
        // Shared memory only: without a GPU there is nothing else, and DMA-BUF would need one.
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, kBuffers), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions,
                                     sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * kDamageRegions)));
        params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(384, 384), cursorMetaSize(1, 1),
                                     cursorMetaSize(kMaxCursorBitmapSide, kMaxCursorBitmapSide))));
        pw_stream_update_params(stream.get(), params, 4);
    }

    void process() {
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream.get())) {
            handle(buffer);
        }
    }

    // The picture a buffer holds, when its data covers the whole size.
    std::optional<std::pair<const uint8_t*, int>> pictureOf(const pw_buffer* buffer) const {
        const spa_data& data = buffer->buffer->datas[0];
        const int minimum = width * 4;
        const int stride = data.chunk->stride >= minimum ? data.chunk->stride : minimum;
        const uint64_t needed = uint64_t{data.chunk->offset} +
                                static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
        if (needed > data.maxsize) return std::nullopt;
        return std::pair{static_cast<const uint8_t*>(data.data) + data.chunk->offset, stride};
    }

    void handle(pw_buffer* buffer) {
        spa_buffer* spa = buffer->buffer;
        auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
        if (spa->n_datas < 1 || (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED))) {
            pw_stream_queue_buffer(stream.get(), buffer);
            return;
        }
        const spa_data& data = spa->datas[0];
        const bool picture = data.data && data.chunk && data.chunk->size > 0 &&
                             !(data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
        StreamFrame frame;
        if (spa_meta* cursor = spa_buffer_find_meta(spa, SPA_META_Cursor)) {
            frame.cursor = readCursorMeta(cursor->data, cursor->size);
        }
        frame.ptsNanos = header && header->pts > 0 ? header->pts : monotonicNanos();
        if (picture) {
            if (spa_meta* damage = spa_buffer_find_meta(spa, SPA_META_VideoDamage)) {
                // Only whether anything changed: what mutter's regions are relative to (the frame
                // before, or what this buffer held last) is not said, so a change converts whole.
                frame.pictureChanged = !readDamageMeta(damage->data, damage->size).empty();
            } else {
                frame.pictureChanged = true;
                // No damage said: what differs from the picture before, which is still ours.
                auto previous = held && held != buffer ? pictureOf(held) : std::nullopt;
                auto current = previous ? pictureOf(buffer) : std::nullopt;
                if (current) {
                    frame.damage = changedTiles(previous->first, previous->second, current->first,
                                                current->second, width, height);
                    frame.pictureChanged = !frame.damage.empty();
                }
            }
            if (held && held != buffer) pw_stream_queue_buffer(stream.get(), held);
            held = buffer;
        }
        if (held) {
            if (auto current = pictureOf(held)) {
                frame.pixels = current->first;
                frame.stride = current->second;
                frame.width = width;
                frame.height = height;
            } else {
                frame.pictureChanged = false;  // a short buffer is no picture
            }
        }
        if (handler && !stopped) handler(frame);
        if (!picture) pw_stream_queue_buffer(stream.get(), buffer);
    }
};

namespace {

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (state == PW_STREAM_STATE_STREAMING) {
        s->streaming = true;
        s->paused = false;
        pw_thread_loop_signal(s->loop.get(), false);
    } else if (state == PW_STREAM_STATE_PAUSED) {
        s->paused = true;
        pw_thread_loop_signal(s->loop.get(), false);
    } else if (state == PW_STREAM_STATE_ERROR) {
        s->end(error ? error : "stream error");
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
        s->end("disconnected");
    }
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (param && id == SPA_PARAM_Format) s->formatChanged(param);
}

void onProcess(void* data) {
    static_cast<PipeWireStream::State*>(data)->process();
}

void onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (s->held == buffer) s->held = nullptr;
}

void onGlobalRemoved(void* data, uint32_t id) {
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (id == s->options.node) s->end("the node was removed");
}

void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (id == PW_ID_CORE) {
        s->end(std::string("PipeWire: ") + (message ? message : std::strerror(-res)));
    }
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.remove_buffer = onRemoveBuffer;
    events.process = onProcess;
    return events;
}();

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = onGlobalRemoved;
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

}  // namespace

std::unique_ptr<PipeWireStream> PipeWireStream::connect(const Options& options,
                                                        FrameHandler handler,
                                                        std::function<void()> onEnded,
                                                        std::string* why) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    auto fail = [why](std::string text) -> std::unique_ptr<PipeWireStream> {
        if (why) *why = std::move(text);
        return nullptr;
    };
    if (options.width < 1 || options.height < 1 || options.fps < 1 || options.node == 0 ||
        !options.events) {
        return fail("no node, size or queue to ask PipeWire for");
    }
    auto state = std::make_shared<State>();
    state->options = options;
    state->handler = std::move(handler);
    state->onEnded = std::move(onEnded);
    state->loop.reset(pw_thread_loop_new("panelora-pw", nullptr));
    if (!state->loop) return fail("cannot make a PipeWire loop");
    state->context.reset(pw_context_new(pw_thread_loop_get_loop(state->loop.get()), nullptr, 0));
    if (!state->context) return fail("cannot make a PipeWire context");
    if (pw_thread_loop_start(state->loop.get()) < 0) return fail("cannot start the PipeWire loop");
    // From here the loop runs: the stream object takes over (its destructor stops it).
    std::unique_ptr<PipeWireStream> result(new PipeWireStream(std::move(state)));
    State& s = *result->state_;

    Lock lock(s.loop.get());
    pw_properties* remote =
        options.remote.empty()
            ? nullptr
            : pw_properties_new(PW_KEY_REMOTE_NAME, options.remote.c_str(), nullptr);
    s.core.reset(pw_context_connect(s.context.get(), remote, 0));
    if (!s.core) {
        return fail("cannot reach the PipeWire daemon" +
                    (options.remote.empty() ? std::string() : " at " + options.remote) + ": " +
                    std::strerror(errno));
    }
    pw_core_add_listener(s.core.get(), &s.coreListener, &kCoreEvents, &s);
    s.registry.reset(pw_core_get_registry(s.core.get(), PW_VERSION_REGISTRY, 0));
    if (s.registry) {
        pw_registry_add_listener(s.registry.get(), &s.registryListener, &kRegistryEvents, &s);
    }
    s.stream.reset(
        pw_stream_new(s.core.get(), "panelora",
                      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                        "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
    if (!s.stream) return fail("cannot make a PipeWire stream");
    pw_stream_add_listener(s.stream.get(), &s.streamListener, &kStreamEvents, &s);

    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_rectangle size =
        SPA_RECTANGLE(static_cast<uint32_t>(options.width), static_cast<uint32_t>(options.height));
    spa_fraction variable = SPA_FRACTION(0, 1);
    spa_fraction fastest = SPA_FRACTION(static_cast<uint32_t>(options.fps), 1);
    // A fixed size and at most `fps` frames a second (a fixed value: offered a range, PipeWire
    // would settle on mutter's default of 60): mutter makes its virtual monitor of this size and
    // refresh rate, and paces the frames itself.
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_Fraction(&fastest)));
    if (pw_stream_connect(
            s.stream.get(), PW_DIRECTION_INPUT, options.node,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            &format, 1) < 0) {
        return fail("PipeWire refused to connect to node " + std::to_string(options.node));
    }
    timespec deadline{};
    pw_thread_loop_get_time(s.loop.get(), &deadline, kNegotiationTimeoutNanos);
    while (!(s.formatFixed && s.streaming) && !s.ended) {
        if (pw_thread_loop_timed_wait_full(s.loop.get(), &deadline) == -ETIMEDOUT) break;
    }
    if (s.ended) return fail("PipeWire node " + std::to_string(options.node) + ": " + s.failure);
    if (!(s.formatFixed && s.streaming)) {
        return fail("PipeWire node " + std::to_string(options.node) +
                    " did not start streaming in time");
    }
    if (s.width != options.width || s.height != options.height) {
        return fail("PipeWire node " + std::to_string(options.node) + " took " +
                    std::to_string(s.width) + "x" + std::to_string(s.height) + " instead of " +
                    std::to_string(options.width) + "x" + std::to_string(options.height));
    }
    return result;
}

PipeWireStream::PipeWireStream(std::shared_ptr<State> state) : state_(std::move(state)) {}

PipeWireStream::~PipeWireStream() {
    stop();
}

PipeWireStream::Lock::Lock(pw_thread_loop* loop) : loop_(loop) {
    pw_thread_loop_lock(loop_);
}

PipeWireStream::Lock::~Lock() {
    pw_thread_loop_unlock(loop_);
}

std::unique_ptr<PipeWireStream::Lock> PipeWireStream::lock() {
    return std::make_unique<Lock>(state_->loop.get());
}

bool PipeWireStream::restart() {
    State& s = *state_;
    Lock lock(s.loop.get());
    if (s.stopped || s.ended) return false;
    auto waitFor = [&s](bool paused) {
        timespec deadline{};
        pw_thread_loop_get_time(s.loop.get(), &deadline, kRestartStepTimeoutNanos);
        while (s.paused != paused && !s.ended) {
            if (pw_thread_loop_timed_wait_full(s.loop.get(), &deadline) == -ETIMEDOUT) break;
        }
        return s.paused == paused && !s.ended;
    };
    pw_stream_set_active(s.stream.get(), false);
    waitFor(true);
    pw_stream_set_active(s.stream.get(), true);
    return waitFor(false);
}

int PipeWireStream::width() const {
    Lock lock(state_->loop.get());
    return state_->width;
}

int PipeWireStream::height() const {
    Lock lock(state_->loop.get());
    return state_->height;
}

void PipeWireStream::stop() {
    shutDown(state_);
}

void PipeWireStream::shutDown(const std::shared_ptr<State>& state) {
    State& s = *state;
    {
        Lock lock(s.loop.get());
        s.stopped = true;  // no handler from here on
        if (pw_thread_loop_in_thread(s.loop.get())) {
            // A loop cannot be stopped from inside: the rest on a thread that waits for the
            // loop to let go of its lock.
            std::thread([state] { shutDown(state); }).detach();
            return;
        }
        if (s.tornDown) return;
        s.tornDown = true;
        s.held = nullptr;  // returned with the stream
        s.stream.reset();
        s.registry.reset();
        s.core.reset();
    }
    pw_thread_loop_stop(s.loop.get());
}

}  // namespace panelora
