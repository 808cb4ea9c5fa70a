#include "animator.h"

#include <X11/Xutil.h>

#include <algorithm>

namespace panelora::test {

using SteadyClock = std::chrono::steady_clock;

Animator::Render Animator::noise() {
    return [seed = uint64_t{0x9E3779B97F4A7C15}](std::vector<uint32_t>& pixels, int, int, int,
                                                 int) mutable {
        for (uint32_t& p : pixels) {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            p = uint32_t(seed) & 0xFFFFFF;
        }
    };
}

std::unique_ptr<Animator> Animator::start(const std::string& displayName, Rect rect, int fps,
                                          const Render& render, int frames) {
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

    // Rendered whole but sent in strips, and the client-side picture freed before the
    // animation starts.
    std::vector<uint32_t> pixels(size_t(w) * size_t(h));
    const int depth = DefaultDepth(d, DefaultScreen(d));
    constexpr int kStrip = 64;
    for (int i = 0; i < frames; ++i) {
        render(pixels, w, h, i, frames);
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

}  // namespace panelora::test
