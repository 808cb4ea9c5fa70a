#include "wayland_canvas.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "xdg-shell-client-protocol.h"

namespace panelora::test {
namespace {

// Listener entries for events the canvas does not use.
constexpr auto kIgnore = [](auto...) {};

// One shared-memory buffer of one colour; destroyed once the compositor let go of it, or with
// the canvas.
struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    bool released = false;
    ~ShmBuffer() {
        if (buffer) wl_buffer_destroy(buffer);
    }
};

std::unique_ptr<ShmBuffer> makeBuffer(wl_shm* shm, int width, int height, uint32_t argb) {
    const std::vector<uint32_t> pixels(size_t(width) * size_t(height), argb);
    const size_t size = pixels.size() * 4;
    const int fd = memfd_create("panelora-canvas", MFD_CLOEXEC);
    if (fd < 0 || write(fd, pixels.data(), size) != ssize_t(size)) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, int32_t(size));
    auto result = std::make_unique<ShmBuffer>();
    result->buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    static const wl_buffer_listener listener{
        [](void* self, wl_buffer*) { static_cast<ShmBuffer*>(self)->released = true; }};
    wl_buffer_add_listener(result->buffer, &listener, result.get());
    return result;
}

struct Output {
    wl_output* output = nullptr;
    int x = 0, y = 0;
    std::string name;
};

}  // namespace

// Events are read only by calls holding the mutex (and by open() before them).
struct WaylandCanvas::State {
    Options options;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::vector<Output> outputs;
    wl_surface* surface = nullptr;
    wl_surface* cursorSurface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    std::vector<std::unique_ptr<ShmBuffer>> buffers;

    int pendingWidth = 0, pendingHeight = 0, width = 0, height = 0;
    uint32_t enterSerial = 0;
    bool hasPointerImage = false;
    Received received;
    std::pair<double, double> pointerAt;
    std::mutex mutex;

    // Reads everything the compositor sent until now.
    void pump() { wl_display_roundtrip(display); }

    // Attaches and commits a picture of one colour, its buffer kept until the compositor
    // releases it.
    void show(wl_surface* target, int w, int h, uint32_t argb) {
        std::erase_if(buffers, [](const auto& b) { return b->released; });
        auto buffer = makeBuffer(shm, w, h, argb);
        if (!buffer) return;
        wl_surface_attach(target, buffer->buffer, 0, 0);
        wl_surface_damage_buffer(target, 0, 0, w, h);
        wl_surface_commit(target);
        wl_display_flush(display);
        buffers.push_back(std::move(buffer));
    }

    void applyPointer() {
        if (pointer && enterSerial && hasPointerImage) {
            wl_pointer_set_cursor(pointer, enterSerial, cursorSurface, 0, 0);
            wl_display_flush(display);
        }
    }

    // Disconnecting closes the window and everything else of ours in the compositor; the
    // proxies are only freed here.
    ~State() {
        buffers.clear();
        for (const auto& o : outputs)
            wl_output_destroy(o.output);
        for (void* proxy :
             std::initializer_list<void*>{toplevel, xdgSurface, surface, cursorSurface, pointer,
                                          keyboard, seat, wmBase, shm, compositor, registry}) {
            if (proxy) wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
        }
        if (display) wl_display_disconnect(display);
    }
};

namespace {

using State = WaylandCanvas::State;

Output& outputOf(void* data, wl_output* output) {
    auto& outputs = static_cast<State*>(data)->outputs;
    return *std::ranges::find(outputs, output, &Output::output);  // each is listened to once bound
}
void outputGeometry(void* data, wl_output* output, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                    const char*, const char*, int32_t) {
    outputOf(data, output).x = x;
    outputOf(data, output).y = y;
}
void outputName(void* data, wl_output* output, const char* name) {
    outputOf(data, output).name = name;
}
const wl_output_listener kOutputListener{outputGeometry, kIgnore,    kIgnore,
                                         kIgnore,        outputName, kIgnore};

const xdg_wm_base_listener kWmBaseListener{
    [](void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }};

void pointerEnter(void* data, wl_pointer*, uint32_t serial, wl_surface*, wl_fixed_t x,
                  wl_fixed_t y) {
    auto* s = static_cast<State*>(data);
    s->enterSerial = serial;
    s->received.pointerInside = true;
    s->pointerAt = {wl_fixed_to_double(x), wl_fixed_to_double(y)};
    s->applyPointer();
}
void pointerLeave(void* data, wl_pointer*, uint32_t, wl_surface*) {
    static_cast<State*>(data)->received.pointerInside = false;
}
void pointerMotion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    static_cast<State*>(data)->pointerAt = {wl_fixed_to_double(x), wl_fixed_to_double(y)};
}
void pointerButton(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
    auto* s = static_cast<State*>(data);
    s->received.buttons.push_back({button, state == WL_POINTER_BUTTON_STATE_PRESSED,
                                   s->pointerAt.first, s->pointerAt.second});
}
void pointerAxis(void* data, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
    WaylandCanvas::Received& r = static_cast<State*>(data)->received;
    (axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? r.vertical : r.horizontal) +=
        wl_fixed_to_double(value);
}
const wl_pointer_listener kPointerListener{pointerEnter, pointerLeave, pointerMotion, pointerButton,
                                           pointerAxis,  kIgnore,      kIgnore,       kIgnore,
                                           kIgnore,      kIgnore};

void keyboardKeymap(void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t) {
    close(fd);
}
void keyboardKey(void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
    static_cast<State*>(data)->received.keys.push_back(
        {key, state == WL_KEYBOARD_KEY_STATE_PRESSED});
}
const wl_keyboard_listener kKeyboardListener{keyboardKeymap, kIgnore, kIgnore,
                                             keyboardKey,    kIgnore, kIgnore};

const wl_seat_listener kSeatListener{
    [](void* data, wl_seat* seat, uint32_t capabilities) {
        auto* s = static_cast<State*>(data);
        if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !s->pointer) {
            s->pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(s->pointer, &kPointerListener, s);
        }
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !s->keyboard) {
            s->keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(s->keyboard, &kKeyboardListener, s);
        }
    },
    kIgnore};

template <class T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface& interface, uint32_t version) {
    return static_cast<T*>(wl_registry_bind(registry, name, &interface, version));
}

const wl_registry_listener kRegistryListener{
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* s = static_cast<State*>(data);
        const std::string_view is = interface;
        if (is == wl_compositor_interface.name) {
            s->compositor = bind<wl_compositor>(registry, name, wl_compositor_interface, 4);
        } else if (is == wl_shm_interface.name) {
            s->shm = bind<wl_shm>(registry, name, wl_shm_interface, 1);
        } else if (is == xdg_wm_base_interface.name) {
            s->wmBase = bind<xdg_wm_base>(registry, name, xdg_wm_base_interface, 1);
            xdg_wm_base_add_listener(s->wmBase, &kWmBaseListener, s);
        } else if (is == wl_seat_interface.name && !s->seat) {
            s->seat = bind<wl_seat>(registry, name, wl_seat_interface, 5);
            wl_seat_add_listener(s->seat, &kSeatListener, s);
        } else if (is == wl_output_interface.name) {
            s->outputs.emplace_back().output =
                bind<wl_output>(registry, name, wl_output_interface, std::min(version, 4u));
            wl_output_add_listener(s->outputs.back().output, &kOutputListener, s);
        }
    },
    kIgnore};

const xdg_surface_listener kXdgSurfaceListener{
    [](void* data, xdg_surface* surface, uint32_t serial) {
        auto* s = static_cast<State*>(data);
        xdg_surface_ack_configure(surface, serial);
        if (s->pendingWidth > 0 && s->pendingHeight > 0)
            s->width = s->pendingWidth, s->height = s->pendingHeight;
        // Every configure is answered with a commit of a picture of its size; sway sizes a
        // window only once it has shown something: a small picture first.
        s->show(s->surface, s->width > 0 ? s->width : 16, s->width > 0 ? s->height : 16,
                s->options.argb);
    }};

const xdg_toplevel_listener kToplevelListener{
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        auto* s = static_cast<State*>(data);
        s->pendingWidth = width;
        s->pendingHeight = height;
    },
    kIgnore, kIgnore, kIgnore};

}  // namespace

std::unique_ptr<WaylandCanvas> WaylandCanvas::open(const Options& options, std::string* error) {
    return open(options, {}, error);
}

std::unique_ptr<WaylandCanvas> WaylandCanvas::open(const Options& options,
                                                   const std::string& outputName,
                                                   std::string* error) {
    auto fail = [error](std::string why) -> std::unique_ptr<WaylandCanvas> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    auto state = std::make_unique<State>();
    State& s = *state;
    s.options = options;
    s.display = wl_display_connect(options.socket.c_str());
    if (!s.display) return fail("cannot connect to the compositor at " + options.socket);
    s.registry = wl_display_get_registry(s.display);
    wl_registry_add_listener(s.registry, &kRegistryListener, &s);
    wl_display_roundtrip(s.display);
    wl_display_roundtrip(s.display);  // the outputs' and the seat's first events
    if (!s.compositor || !s.shm || !s.wmBase) return fail("the compositor lacks a global we need");
    // The newest output there: mutter keeps the global of a monitor that went away for a while,
    // and a new monitor often takes its place.
    wl_output* target = nullptr;
    for (const auto& o : s.outputs) {
        if (outputName.empty() ? o.x == options.outputX && o.y == options.outputY
                               : o.name == outputName) {
            target = o.output;
        }
    }
    if (!target && !outputName.empty()) return fail("no output " + outputName);
    if (!target) {
        return fail("no output at (" + std::to_string(options.outputX) + ", " +
                    std::to_string(options.outputY) + ")");
    }
    s.surface = wl_compositor_create_surface(s.compositor);
    s.cursorSurface = wl_compositor_create_surface(s.compositor);
    s.xdgSurface = xdg_wm_base_get_xdg_surface(s.wmBase, s.surface);
    xdg_surface_add_listener(s.xdgSurface, &kXdgSurfaceListener, &s);
    s.toplevel = xdg_surface_get_toplevel(s.xdgSurface);
    xdg_toplevel_add_listener(s.toplevel, &kToplevelListener, &s);
    xdg_toplevel_set_title(s.toplevel, "panelora canvas");
    xdg_toplevel_set_fullscreen(s.toplevel, target);
    wl_surface_commit(s.surface);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (s.width == 0) {  // set by a configure
        if (std::chrono::steady_clock::now() > deadline) return fail("the window was not shown");
        if (wl_display_dispatch(s.display) < 0) return fail("the compositor went away");
    }
    wl_display_roundtrip(s.display);
    return std::unique_ptr<WaylandCanvas>(new WaylandCanvas(std::move(state)));
}

WaylandCanvas::WaylandCanvas(std::unique_ptr<State> state) : state_(std::move(state)) {}

WaylandCanvas::~WaylandCanvas() = default;

void WaylandCanvas::fill(uint32_t argb) {
    std::lock_guard lock(state_->mutex);
    state_->pump();
    state_->options.argb = argb;
    state_->show(state_->surface, state_->width, state_->height, argb);
}

void WaylandCanvas::setPointer(int side, uint32_t argb) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    s.pump();
    s.show(s.cursorSurface, side, side, argb);
    s.hasPointerImage = true;
    s.applyPointer();
}

WaylandCanvas::Received WaylandCanvas::received() const {
    std::lock_guard lock(state_->mutex);
    state_->pump();
    return state_->received;
}

std::pair<int, int> WaylandCanvas::size() const {
    std::lock_guard lock(state_->mutex);
    state_->pump();
    return {state_->width, state_->height};
}

}  // namespace panelora::test
