#include "x11_scene.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/x11/x11_display_registry.h"

namespace panelora::e2e {

using SteadyClock = std::chrono::steady_clock;

XDisplayPtr openDisplay(const std::string& name) {
    return XDisplayPtr(XOpenDisplay(name.empty() ? nullptr : name.c_str()));
}

std::optional<Rect> rootBounds(Display* display, DisplayID id) {
    return x11::displayBounds(display, id);
}

VirtualDisplayTraces virtualDisplayTraces(Display* display) {
    VirtualDisplayTraces traces;
    XRRScreenResources* resources = XRRGetScreenResources(display, DefaultRootWindow(display));
    if (!resources) return traces;
    auto isOurs = [](const XRRModeInfo& mode) {
        return mode.name && std::string_view(mode.name).starts_with(x11::kModePrefix);
    };
    for (int i = 0; i < resources->nmode; ++i) {
        if (!isOurs(resources->modes[i])) continue;
        ++traces.modes;
        traces.modeNames.push_back(std::string(resources->modes[i].name) + " " +
                                   std::to_string(resources->modes[i].width) + "x" +
                                   std::to_string(resources->modes[i].height));
    }
    for (int i = 0; i < resources->ncrtc; ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
        if (!crtc) continue;
        for (int m = 0; crtc->mode != 0 && m < resources->nmode; ++m) {
            if (resources->modes[m].id == crtc->mode && isOurs(resources->modes[m])) {
                traces.outputs += crtc->noutput;
            }
        }
        XRRFreeCrtcInfo(crtc);
    }
    XRRFreeScreenResources(resources);
    return traces;
}

// --- PatternWindow ---------------------------------------------------------------------------

std::unique_ptr<PatternWindow> PatternWindow::create(const std::string& displayName, Rect rect) {
    std::unique_ptr<PatternWindow> w(new PatternWindow);
    w->display_ = openDisplay(displayName);
    if (!w->display_) return nullptr;
    Display* d = w->display_.get();
    w->rect_ = rect;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(d, DefaultScreen(d));
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask |
                            ExposureMask | StructureNotifyMask;
    w->window_ =
        XCreateWindow(d, DefaultRootWindow(d), int(rect.x), int(rect.y), unsigned(rect.width),
                      unsigned(rect.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XMapRaised(d, w->window_);
    // Painted once mapped; Expose events repaint (there is no compositor keeping the contents).
    XEvent event;
    do {
        XWindowEvent(d, w->window_, StructureNotifyMask, &event);
    } while (event.type != MapNotify);
    w->paint();
    XSync(d, False);
    return w;
}

PatternWindow::~PatternWindow() {
    if (display_ && window_) {
        XDestroyWindow(display_.get(), window_);
        XSync(display_.get(), False);
    }
}

void PatternWindow::paint() {
    Display* d = display_.get();
    GC gc = XCreateGC(d, window_, 0, nullptr);
    const int w = int(rect_.width), h = int(rect_.height);
    const int halfW = w / 2, halfH = h / 2;
    const int xs[4] = {0, halfW, 0, halfW};
    const int ys[4] = {0, 0, halfH, halfH};
    for (int q = 0; q < 4; ++q) {
        XSetForeground(d, gc, kQuadrantColours[q]);
        XFillRectangle(d, window_, gc, xs[q], ys[q], unsigned(q % 2 ? w - halfW : halfW),
                       unsigned(q < 2 ? halfH : h - halfH));
    }
    XFreeGC(d, gc);
    XFlush(d);
}

void PatternWindow::focus() {
    XSetInputFocus(display_.get(), window_, RevertToParent, CurrentTime);
    XSync(display_.get(), False);
}

std::optional<XEvent> PatternWindow::waitForEvent(int type, std::chrono::milliseconds timeout) {
    Display* d = display_.get();
    const auto deadline = SteadyClock::now() + timeout;
    while (true) {
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == Expose && event.xexpose.count == 0) paint();
            if (event.type == type && event.xany.window == window_) return event;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        ::poll(&p, 1, int(std::min<int64_t>(left.count(), 100)));
    }
}

// --- Animator --------------------------------------------------------------------------------

namespace {

uint32_t nextRandom(uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return uint32_t(state);
}

void renderFrame(std::vector<uint32_t>& pixels, int w, int h, int index, int frames,
                 Animator::Content content, uint64_t& seed) {
    if (content == Animator::Content::noise) {
        for (uint32_t& p : pixels)
            p = nextRandom(seed) & 0xFFFFFF;
        return;
    }
    // A diagonal gradient that scrolls, eight vertical bars that move, and a noisy patch.
    const int shift = index * w / frames;
    for (int y = 0; y < h; ++y) {
        uint32_t* row = pixels.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            const int u = (x + shift) % w;
            const uint32_t r = uint32_t(255 * u / w);
            const uint32_t g = uint32_t(255 * y / h);
            const uint32_t b = uint32_t((u + y) & 0xFF);
            row[x] = (r << 16) | (g << 8) | b;
        }
    }
    for (int bar = 0; bar < 8; ++bar) {
        const int x0 = (bar * w / 8 + index * 7 * (bar + 1)) % w;
        const uint32_t colour = 0x203040u * uint32_t(bar + 1);
        for (int y = h / 4; y < 3 * h / 4; ++y)
            for (int x = x0; x < std::min(w, x0 + w / 40); ++x)
                pixels[size_t(y) * size_t(w) + size_t(x)] = colour;
    }
    const int patch = std::min({256, w / 4, h / 4});
    for (int y = 0; y < patch; ++y)
        for (int x = 0; x < patch; ++x)
            pixels[size_t(y + h / 8) * size_t(w) + size_t(x + w / 8)] = nextRandom(seed) & 0xFFFFFF;
}

}  // namespace

std::unique_ptr<Animator> Animator::start(const std::string& displayName, Rect rect, int fps,
                                          Content content, int frames) {
    std::unique_ptr<Animator> a(new Animator);
    a->display_ = openDisplay(displayName);
    if (!a->display_) return nullptr;
    Display* d = a->display_.get();
    a->rect_ = rect;
    a->fps_ = std::max(1, fps);
    const int w = int(rect.width), h = int(rect.height);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    a->window_ = XCreateWindow(d, DefaultRootWindow(d), int(rect.x), int(rect.y), unsigned(w),
                               unsigned(h), 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect, &attributes);
    XMapRaised(d, a->window_);
    a->gc_ = XCreateGC(d, a->window_, 0, nullptr);

    // Rendered whole (the scene's pictures depend on the whole frame) but sent in strips, and the
    // client-side picture freed before the animation starts.
    std::vector<uint32_t> pixels(size_t(w) * size_t(h));
    const int depth = DefaultDepth(d, DefaultScreen(d));
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    constexpr int kStrip = 64;
    for (int i = 0; i < frames; ++i) {
        renderFrame(pixels, w, h, i, frames, content, seed);
        Pixmap pixmap = XCreatePixmap(d, a->window_, unsigned(w), unsigned(h), unsigned(depth));
        for (int y = 0; y < h; y += kStrip) {
            const int rows = std::min(kStrip, h - y);
            XImage* image =
                XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), unsigned(depth), ZPixmap, 0,
                             reinterpret_cast<char*>(pixels.data() + size_t(y) * size_t(w)),
                             unsigned(w), unsigned(rows), 32, w * 4);
            XPutImage(d, pixmap, a->gc_, image, 0, 0, 0, y, unsigned(w), unsigned(rows));
            image->data = nullptr;  // the vector owns the pixels
            XDestroyImage(image);
        }
        XSync(d, False);
        a->pixmaps_.push_back(pixmap);
    }
    std::vector<uint32_t>().swap(pixels);
    a->startedAt_ = SteadyClock::now();
    a->thread_ = std::thread([raw = a.get()] { raw->run(); });
    return a;
}

void Animator::run() {
    Display* d = display_.get();
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps_);
    auto next = SteadyClock::now();
    size_t index = 0;
    while (!stop_.load()) {
        XCopyArea(d, pixmaps_[index], window_, gc_, 0, 0, unsigned(rect_.width),
                  unsigned(rect_.height), 0, 0);
        // A round trip per frame keeps the copies from piling up in the server.
        XSync(d, False);
        shown_.fetch_add(1);
        index = (index + 1) % pixmaps_.size();
        next += interval;
        const auto now = SteadyClock::now();
        if (next < now) next = now;  // fell behind: do not burst to catch up
        std::this_thread::sleep_until(next);
    }
}

double Animator::framesPerSecond() const {
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - startedAt_).count();
    return elapsed > 0 ? double(shown_.load()) / elapsed : 0;
}

Animator::~Animator() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    Display* d = display_.get();
    if (!d) return;
    for (Pixmap p : pixmaps_)
        XFreePixmap(d, p);
    if (gc_) XFreeGC(d, gc_);
    if (window_) XDestroyWindow(d, window_);
    XSync(d, False);
}

}  // namespace panelora::e2e
