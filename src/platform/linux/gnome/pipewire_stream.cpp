#include "platform/linux/gnome/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("gnome");
}

constexpr int64_t kNegotiationTimeoutNanos = 5'000'000'000;
constexpr int kMaxCursorSide = 1024;
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

// The cursor bitmap of mutter's metadata, bounds-checked against the metadata's size; nothing
// when it is absent or malformed.
std::shared_ptr<const CursorBitmap> readBitmap(const spa_meta& meta, const spa_meta_cursor& cursor) {
    const size_t size = meta.size;
    if (cursor.bitmap_offset < sizeof(spa_meta_cursor) ||
        cursor.bitmap_offset > size - sizeof(spa_meta_bitmap) || size < sizeof(spa_meta_bitmap)) {
        return nullptr;
    }
    const auto* bitmap = SPA_PTROFF(&cursor, cursor.bitmap_offset, const spa_meta_bitmap);
    if (bitmap->format == 0) return nullptr;
    auto image = std::make_shared<CursorBitmap>();
    if (bitmap->offset == 0 || bitmap->size.width == 0 || bitmap->size.height == 0) {
        return image;  // no visible cursor
    }
    const bool rgba = bitmap->format == SPA_VIDEO_FORMAT_RGBA;
    const bool bgra = bitmap->format == SPA_VIDEO_FORMAT_BGRA;
    const uint64_t width = bitmap->size.width, height = bitmap->size.height;
    const int64_t stride = bitmap->stride;
    if ((!rgba && !bgra) || width > kMaxCursorSide || height > kMaxCursorSide ||
        stride < static_cast<int64_t>(width * 4)) {
        return nullptr;
    }
    const uint64_t end = uint64_t{cursor.bitmap_offset} + bitmap->offset +
                         static_cast<uint64_t>(stride) * (height - 1) + width * 4;
    if (end > size) return nullptr;
    const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const uint8_t);
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->hotX = cursor.hotspot.x;
    image->hotY = cursor.hotspot.y;
    image->pixels.resize(width * height);
    for (uint64_t row = 0; row < height; ++row) {
        const uint8_t* p = pixels + row * static_cast<uint64_t>(stride);
        for (uint64_t column = 0; column < width; ++column, p += 4) {
            const uint32_t r = rgba ? p[0] : p[2], g = p[1], b = rgba ? p[2] : p[0], a = p[3];
            image->pixels[row * width + column] = a << 24 | r << 16 | g << 8 | b;
        }
    }
    return image;
}

StreamCursor readCursor(spa_buffer* buffer) {
    StreamCursor result;
    spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_Cursor);
    if (!meta || meta->size < sizeof(spa_meta_cursor)) return result;
    const auto* cursor = static_cast<const spa_meta_cursor*>(meta->data);
    result.known = true;
    // Mutter writes the cursor into every buffer, with id 0 while it is off this monitor.
    result.onMonitor = cursor->id != 0;
    if (!result.onMonitor) return result;
    result.x = cursor->position.x;
    result.y = cursor->position.y;
    if (cursor->bitmap_offset != 0) result.bitmap = readBitmap(*meta, *cursor);
    return result;
}

// Nothing when the buffer has no damage metadata; else the damaged rectangles.
std::optional<std::vector<Rect>> readDamage(spa_buffer* buffer) {
    spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
    if (!meta) return std::nullopt;
    std::vector<Rect> rects;
    spa_meta_region* region;
    spa_meta_for_each(region, meta) {
        if (!spa_meta_region_is_valid(region)) break;
        rects.push_back(Rect{static_cast<double>(region->region.position.x),
                             static_cast<double>(region->region.position.y),
                             static_cast<double>(region->region.size.width),
                             static_cast<double>(region->region.size.height)});
    }
    return rects;
}

}  // namespace

struct PipeWireStream::State {
    Options options;
    FrameHandler handler;
    std::function<void()> onEnded;

    std::unique_ptr<pw_thread_loop, LoopDestroy> loop;
    std::unique_ptr<pw_context, ContextDestroy> context;
    std::unique_ptr<pw_core, CoreDisconnect> core;
    std::unique_ptr<pw_stream, StreamDestroy> stream;
    spa_hook coreListener{};
    spa_hook streamListener{};

    // Loop thread (or under the loop's lock).
    int width = 0;
    int height = 0;
    bool formatFixed = false;
    bool streaming = false;
    bool ended = false;
    std::string failure;
    pw_buffer* held = nullptr;  // the latest picture
    bool stopped = false;

    void end(const std::string& why) {
        if (ended) return;
        ended = true;
        if (failure.empty()) failure = why;
        pw_thread_loop_signal(loop.get(), false);
        if (streaming && !stopped) {
            logger()->info("{}", "PipeWire node " + std::to_string(options.node) + " ended: " + why);
            if (onEnded) onEnded();
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
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
            SPA_POD_Int(sizeof(spa_meta_header))));
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
                                     cursorMetaSize(kMaxCursorSide, kMaxCursorSide))));
        pw_stream_update_params(stream.get(), params, 4);
    }

    void process() {
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream.get())) {
            handle(buffer);
        }
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
        frame.cursor = readCursor(spa);
        frame.ptsNanos = header && header->pts > 0 ? header->pts : monotonicNanos();
        if (picture) {
            const auto damage = readDamage(spa);
            frame.pictureChanged = !damage || !damage->empty();
            if (damage) frame.damage = *damage;
            if (held && held != buffer) pw_stream_queue_buffer(stream.get(), held);
            held = buffer;
        }
        if (held) {
            const spa_data& current = held->buffer->datas[0];
            const int minimum = width * 4;
            const int stride = current.chunk->stride >= minimum ? current.chunk->stride : minimum;
            const uint64_t needed = uint64_t{current.chunk->offset} +
                                    static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
            if (needed <= current.maxsize) {
                frame.pixels = static_cast<uint8_t*>(current.data) + current.chunk->offset;
                frame.width = width;
                frame.height = height;
                frame.stride = stride;
            } else {
                frame.pictureChanged = false;  // a short buffer is no picture
            }
        }
        if (handler) handler(frame);
        if (!picture) pw_stream_queue_buffer(stream.get(), buffer);
    }
};

namespace {

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* s = static_cast<PipeWireStream::State*>(data);
    if (state == PW_STREAM_STATE_STREAMING) {
        s->streaming = true;
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
    if (options.width < 1 || options.height < 1 || options.fps < 1 || options.node == 0) {
        return fail("no node or no size to ask PipeWire for");
    }
    auto state = std::make_unique<State>();
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
        options.remote.empty() ? nullptr
                               : pw_properties_new(PW_KEY_REMOTE_NAME, options.remote.c_str(), nullptr);
    s.core.reset(pw_context_connect(s.context.get(), remote, 0));
    if (!s.core) {
        return fail("cannot reach the PipeWire daemon" +
                    (options.remote.empty() ? std::string() : " at " + options.remote) + ": " +
                    std::strerror(errno));
    }
    pw_core_add_listener(s.core.get(), &s.coreListener, &kCoreEvents, &s);
    s.stream.reset(pw_stream_new(
        s.core.get(), "panelora",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
    if (!s.stream) return fail("cannot make a PipeWire stream");
    pw_stream_add_listener(s.stream.get(), &s.streamListener, &kStreamEvents, &s);

    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(options.width),
                                       static_cast<uint32_t>(options.height));
    spa_fraction variable = SPA_FRACTION(0, 1);
    spa_fraction fastest = SPA_FRACTION(static_cast<uint32_t>(options.fps), 1);
    spa_fraction slowest = SPA_FRACTION(1, 1);
    // A fixed size and at most `fps` frames a second: mutter makes its virtual monitor of this
    // size and refresh rate, and paces the frames itself.
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&fastest, &slowest, &fastest)));
    if (pw_stream_connect(s.stream.get(), PW_DIRECTION_INPUT, options.node,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                       PW_STREAM_FLAG_MAP_BUFFERS),
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

PipeWireStream::PipeWireStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

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

int PipeWireStream::width() const {
    Lock lock(state_->loop.get());
    return state_->width;
}

int PipeWireStream::height() const {
    Lock lock(state_->loop.get());
    return state_->height;
}

void PipeWireStream::stop() {
    State& s = *state_;
    {
        Lock lock(s.loop.get());
        if (s.stopped) return;
        s.stopped = true;
        s.held = nullptr;  // returned with the stream
        s.stream.reset();
        s.core.reset();
    }
    pw_thread_loop_stop(s.loop.get());
}

}  // namespace panelora
