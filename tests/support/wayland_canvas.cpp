#include "wayland_canvas.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "xdg-shell-client-protocol.h"

namespace panelora::test {
namespace {

using namespace std::chrono_literals;

// One shared-memory buffer of ARGB pixels; freed once the compositor let go of it, or with the
// canvas.
struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    bool released = false;
    void* data = nullptr;
    size_t size = 0;

    static std::unique_ptr<ShmBuffer> make(wl_shm* shm, int width, int height, uint32_t argb) {
        const int stride = width * 4;
        const size_t size = static_cast<size_t>(stride) * height;
        int fd = memfd_create("panelora-canvas", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            if (fd >= 0) close(fd);
            return nullptr;
        }
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        auto* pixels = static_cast<uint32_t*>(data);
        std::fill(pixels, pixels + size / 4, argb);
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(size));
        auto result = std::make_unique<ShmBuffer>();
        result->buffer =
            wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_ARGB8888);
        result->data = data;
        result->size = size;
        wl_shm_pool_destroy(pool);
        close(fd);
        static const wl_buffer_listener listener{
            [](void* self, wl_buffer*) { static_cast<ShmBuffer*>(self)->released = true; }};
        wl_buffer_add_listener(result->buffer, &listener, result.get());
        return result;
    }

    ~ShmBuffer() {
        if (buffer) wl_buffer_destroy(buffer);
        if (data) munmap(data, size);
    }
};

struct Output {
    wl_output* output = nullptr;
    int x = 0, y = 0;
    std::string name;
};

}  // namespace

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
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wl_surface* cursorSurface = nullptr;
    std::vector<std::unique_ptr<ShmBuffer>> buffers;  // connection thread
    int wakeFd = -1;
    std::thread thread;

    // Connection thread (and the opening thread before it runs).
    bool configured = false;
    int pendingWidth = 0, pendingHeight = 0;
    uint32_t enterSerial = 0;
    int hotX = 0, hotY = 0;
    bool hasPointerImage = false;

    mutable std::mutex mutex;
    int width = 0, height = 0;                // guarded by mutex
    std::vector<Key> keys;                    // guarded by mutex
    std::vector<Key> buttons;                 // guarded by mutex
    std::vector<Place> buttonPlaces;          // guarded by mutex
    Place pointerAt;                          // guarded by mutex
    double vertical = 0, horizontal = 0;      // guarded by mutex
    bool inside = false;                      // guarded by mutex
    std::vector<std::function<void()>> work;  // guarded by mutex
    bool quit = false;                        // guarded by mutex

    void paint(uint32_t argb) {
        int w, h;
        {
            std::lock_guard lock(mutex);
            w = width, h = height;
        }
        show(surface, ShmBuffer::make(shm, w, h, argb), w, h);
        wl_display_flush(display);
    }

    // Attaches and commits `buffer`, kept until the compositor releases it.
    void show(wl_surface* target, std::unique_ptr<ShmBuffer> buffer, int w, int h) {
        std::erase_if(buffers, [](const auto& b) { return b->released; });
        if (!buffer) return;
        wl_surface_attach(target, buffer->buffer, 0, 0);
        wl_surface_damage_buffer(target, 0, 0, w, h);
        wl_surface_commit(target);
        buffers.push_back(std::move(buffer));
    }

    void applyPointer() {
        if (pointer && enterSerial && hasPointerImage) {
            wl_pointer_set_cursor(pointer, enterSerial, cursorSurface, hotX, hotY);
            wl_display_flush(display);
        }
    }

    // Runs `task` on the connection thread and waits for it.
    void run(std::function<void()> task) {
        std::promise<void> done;
        auto finished = done.get_future();
        {
            std::lock_guard lock(mutex);
            work.push_back([&task, &done] {
                task();
                done.set_value();
            });
        }
        uint64_t one = 1;
        [[maybe_unused]] auto n = write(wakeFd, &one, sizeof one);
        finished.wait();
    }

    void loop() {
        const int fd = wl_display_get_fd(display);
        for (;;) {
            std::vector<std::function<void()>> tasks;
            {
                std::lock_guard lock(mutex);
                if (quit) return;
                tasks.swap(work);
            }
            for (auto& task : tasks)
                task();
            while (wl_display_prepare_read(display) != 0)
                wl_display_dispatch_pending(display);
            wl_display_flush(display);
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, 200) > 0 && (fds[0].revents & POLLIN)) {
                if (wl_display_read_events(display) < 0) return;
            } else {
                wl_display_cancel_read(display);
            }
            if (fds[1].revents & POLLIN) {
                uint64_t value;
                [[maybe_unused]] auto n = read(wakeFd, &value, sizeof value);
            }
            if (wl_display_dispatch_pending(display) < 0) return;
        }
    }

    ~State() {
        if (thread.joinable()) {
            {
                std::lock_guard lock(mutex);
                quit = true;
            }
            uint64_t one = 1;
            [[maybe_unused]] auto n = write(wakeFd, &one, sizeof one);
            thread.join();
        }
        buffers.clear();
        if (toplevel) xdg_toplevel_destroy(toplevel);
        if (xdgSurface) xdg_surface_destroy(xdgSurface);
        for (wl_surface* s : {surface, cursorSurface}) {
            if (s) wl_surface_destroy(s);
        }
        if (pointer) wl_pointer_destroy(pointer);
        if (keyboard) wl_keyboard_destroy(keyboard);
        if (seat) wl_seat_destroy(seat);
        for (const auto& o : outputs)
            wl_output_destroy(o.output);
        if (wmBase) xdg_wm_base_destroy(wmBase);
        if (shm) wl_shm_destroy(shm);
        if (compositor) wl_compositor_destroy(compositor);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
        if (wakeFd >= 0) close(wakeFd);
    }
};

namespace {

using State = WaylandCanvas::State;

const wl_output_listener kOutputListener{
    [](void* data, wl_output* output, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
       const char*, int32_t) {
        for (auto& o : static_cast<State*>(data)->outputs) {
            if (o.output == output) o.x = x, o.y = y;
        }
    },
    [](void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {},
    [](void*, wl_output*) {},
    [](void*, wl_output*, int32_t) {},
    [](void* data, wl_output* output, const char* name) {
        for (auto& o : static_cast<State*>(data)->outputs) {
            if (o.output == output) o.name = name;
        }
    },
    [](void*, wl_output*, const char*) {},
};

const xdg_wm_base_listener kWmBaseListener{
    [](void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }};

const wl_pointer_listener kPointerListener{
    [](void* data, wl_pointer*, uint32_t serial, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
        auto* s = static_cast<State*>(data);
        s->enterSerial = serial;
        {
            std::lock_guard lock(s->mutex);
            s->inside = true;
            s->pointerAt = {wl_fixed_to_double(x), wl_fixed_to_double(y)};
        }
        s->applyPointer();
    },
    [](void* data, wl_pointer*, uint32_t, wl_surface*) {
        auto* s = static_cast<State*>(data);
        std::lock_guard lock(s->mutex);
        s->inside = false;
    },
    [](void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        auto* s = static_cast<State*>(data);
        std::lock_guard lock(s->mutex);
        s->pointerAt = {wl_fixed_to_double(x), wl_fixed_to_double(y)};
    },
    [](void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        auto* s = static_cast<State*>(data);
        std::lock_guard lock(s->mutex);
        s->buttons.push_back({button, state == WL_POINTER_BUTTON_STATE_PRESSED});
        s->buttonPlaces.push_back(s->pointerAt);
    },
    [](void* data, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
        auto* s = static_cast<State*>(data);
        std::lock_guard lock(s->mutex);
        (axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? s->vertical : s->horizontal) +=
            wl_fixed_to_double(value);
    },
    [](void*, wl_pointer*) {},
    [](void*, wl_pointer*, uint32_t) {},
    [](void*, wl_pointer*, uint32_t, uint32_t) {},
    [](void*, wl_pointer*, uint32_t, int32_t) {},
    [](void*, wl_pointer*, uint32_t, int32_t) {},
};

const wl_keyboard_listener kKeyboardListener{
    [](void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t) { close(fd); },
    [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
    [](void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
        auto* s = static_cast<State*>(data);
        std::lock_guard lock(s->mutex);
        s->keys.push_back({key, state == WL_KEYBOARD_KEY_STATE_PRESSED});
    },
    [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void*, wl_keyboard*, int32_t, int32_t) {},
};

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
    [](void*, wl_seat*, const char*) {},
};

const wl_registry_listener kRegistryListener{
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* s = static_cast<State*>(data);
        if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
            s->compositor = static_cast<wl_compositor*>(
                wl_registry_bind(registry, name, &wl_compositor_interface, 4));
        } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            s->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
            s->wmBase = static_cast<xdg_wm_base*>(
                wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(s->wmBase, &kWmBaseListener, s);
        } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !s->seat) {
            s->seat =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
            wl_seat_add_listener(s->seat, &kSeatListener, s);
        } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
            auto* output = static_cast<wl_output*>(
                wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
            s->outputs.push_back({output, 0, 0, {}});
            wl_output_add_listener(output, &kOutputListener, s);
        }
    },
    [](void*, wl_registry*, uint32_t) {},
};

const xdg_surface_listener kXdgSurfaceListener{
    [](void* data, xdg_surface* surface, uint32_t serial) {
        auto* s = static_cast<State*>(data);
        xdg_surface_ack_configure(surface, serial);
        {
            std::lock_guard lock(s->mutex);
            if (s->pendingWidth > 0 && s->pendingHeight > 0) {
                s->width = s->pendingWidth, s->height = s->pendingHeight;
            }
        }
        s->configured = true;
        // Every configure is answered with a commit of a picture of its size.
        if (s->width > 0) {
            s->paint(s->options.argb);
        } else {
            // sway sizes a window only once it has shown something: a small picture first.
            s->show(s->surface, ShmBuffer::make(s->shm, 16, 16, s->options.argb), 16, 16);
        }
    }};

const xdg_toplevel_listener kToplevelListener{
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        auto* s = static_cast<State*>(data);
        s->pendingWidth = width;
        s->pendingHeight = height;
    },
    [](void*, xdg_toplevel*) {},
    [](void*, xdg_toplevel*, int32_t, int32_t) {},
    [](void*, xdg_toplevel*, wl_array*) {},
};

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
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!(s.configured && s.width > 0)) {
        if (std::chrono::steady_clock::now() > deadline) return fail("the window was not shown");
        if (wl_display_dispatch(s.display) < 0) return fail("the compositor went away");
    }
    wl_display_roundtrip(s.display);
    s.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    State* raw = &s;
    s.thread = std::thread([raw] { raw->loop(); });
    return std::unique_ptr<WaylandCanvas>(new WaylandCanvas(std::move(state)));
}

WaylandCanvas::WaylandCanvas(std::unique_ptr<State> state) : state_(std::move(state)) {}

WaylandCanvas::~WaylandCanvas() = default;

void WaylandCanvas::fill(uint32_t argb) {
    State* s = state_.get();
    s->run([s, argb] {
        s->options.argb = argb;
        s->paint(argb);
    });
}

void WaylandCanvas::setPointer(int width, int height, uint32_t argb, int hotX, int hotY) {
    State* s = state_.get();
    s->run([=] {
        s->show(s->cursorSurface, ShmBuffer::make(s->shm, width, height, argb), width, height);
        s->hotX = hotX;
        s->hotY = hotY;
        s->hasPointerImage = true;
        s->applyPointer();
    });
}

std::vector<WaylandCanvas::Key> WaylandCanvas::keys() const {
    std::lock_guard lock(state_->mutex);
    return state_->keys;
}

std::vector<WaylandCanvas::Key> WaylandCanvas::buttons() const {
    std::lock_guard lock(state_->mutex);
    return state_->buttons;
}

std::vector<WaylandCanvas::Place> WaylandCanvas::buttonPlaces() const {
    std::lock_guard lock(state_->mutex);
    return state_->buttonPlaces;
}

std::pair<int, int> WaylandCanvas::size() const {
    std::lock_guard lock(state_->mutex);
    return {state_->width, state_->height};
}

double WaylandCanvas::verticalScroll() const {
    std::lock_guard lock(state_->mutex);
    return state_->vertical;
}

double WaylandCanvas::horizontalScroll() const {
    std::lock_guard lock(state_->mutex);
    return state_->horizontal;
}

bool WaylandCanvas::pointerInside() const {
    std::lock_guard lock(state_->mutex);
    return state_->inside;
}

}  // namespace panelora::test
