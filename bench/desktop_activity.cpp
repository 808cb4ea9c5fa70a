#include "desktop_activity.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace panelora::bench {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kText =
    "The quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs. ";
constexpr int kCharWidth = 6, kLineHeight = 16, kRowHeight = 24, kScrollStep = 3;
constexpr unsigned long kWhite = 0xFFFFFF, kInk = 0x202020, kDesk = 0x3A6EA5, kRowA = 0xF4F4F4,
                        kRowB = 0xE2E8F0;

}  // namespace

std::unique_ptr<DesktopActivity> DesktopActivity::start(const std::string& displayName, Rect rect,
                                                        int fps) {
    std::unique_ptr<DesktopActivity> a(new DesktopActivity);
    a->display_ = test::openDisplay(displayName);
    if (!a->display_) return nullptr;
    Display* d = a->display_.get();
    a->rect_ = rect;
    a->fps_ = std::max(1, fps);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    a->window_ = XCreateWindow(d, DefaultRootWindow(d), int(rect.x), int(rect.y),
                               unsigned(rect.width), unsigned(rect.height), 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
    XMapRaised(d, a->window_);
    a->gc_ = XCreateGC(d, a->window_, 0, nullptr);
    const int w = int(rect.width), h = int(rect.height), margin = 24;
    a->editor_ = {double(margin), double(margin), double(w * 2 / 3 - 2 * margin),
                  double(h - 2 * margin)};
    a->list_ = {double(w * 2 / 3), double(margin), double(w / 3 - margin), double(h - 2 * margin)};
    auto fill = [&](unsigned long colour, const Rect& r) {
        XSetForeground(d, a->gc_, colour);
        XFillRectangle(d, a->window_, a->gc_, int(r.x), int(r.y), unsigned(r.width),
                       unsigned(r.height));
    };
    fill(kDesk, {0, 0, rect.width, rect.height});
    fill(kWhite, a->editor_);
    for (int y = 0; y < int(a->list_.height); y += kRowHeight)
        fill((y / kRowHeight) % 2 ? kRowB : kRowA,
             {a->list_.x, a->list_.y + y, a->list_.width,
              double(std::min(kRowHeight, int(a->list_.height) - y))});
    a->caretX_ = int(a->editor_.x) + 8;
    a->caretY_ = int(a->editor_.y) + 8;
    XSync(d, False);
    a->startedAt_ = SteadyClock::now();
    a->thread_ = std::thread([raw = a.get()] { raw->run(); });
    return a;
}

// A character every 80 ms (a brisk typist), wrapping at the editor's edge and starting over
// on a cleared page at its bottom.
bool DesktopActivity::type(int tick) {
    if (tick % std::max(1, fps_ * 80 / 1000) != 0) return false;
    Display* d = display_.get();
    if (caretX_ + 2 * kCharWidth > editor_.x + editor_.width) {
        caretX_ = int(editor_.x) + 8;
        caretY_ += kLineHeight;
    }
    if (caretY_ + kLineHeight > editor_.y + editor_.height) {
        caretY_ = int(editor_.y) + 8;
        XSetForeground(d, gc_, kWhite);
        XFillRectangle(d, window_, gc_, int(editor_.x), int(editor_.y), unsigned(editor_.width),
                       unsigned(editor_.height));
    }
    XSetForeground(d, gc_, kWhite);
    XFillRectangle(d, window_, gc_, caretX_, caretY_, kCharWidth + 2, kLineHeight);
    XSetForeground(d, gc_, kInk);
    const char c = kText[size_t(typed_++) % kText.size()];
    XDrawString(d, window_, gc_, caretX_, caretY_ + kLineHeight - 4, &c, 1);
    caretX_ += kCharWidth;
    caretShown_ = false;
    return true;
}

// The caret drawn and erased every half second.
bool DesktopActivity::blink(int tick) {
    if (tick % std::max(1, fps_ / 2) != 0) return false;
    caretShown_ = !caretShown_;
    XSetForeground(display_.get(), gc_, caretShown_ ? kInk : kWhite);
    XFillRectangle(display_.get(), window_, gc_, caretX_ + kCharWidth, caretY_, 2, kLineHeight);
    return true;
}

// The first second of every four: the list moves up by a few pixels per tick (a copy of itself
// onto itself) and the rows coming in at its bottom are drawn.
bool DesktopActivity::scroll(int tick) {
    if (tick % (4 * fps_) >= fps_) return false;
    Display* d = display_.get();
    const int x = int(list_.x), y = int(list_.y), w = int(list_.width), h = int(list_.height);
    XCopyArea(d, window_, window_, gc_, x, y + kScrollStep, unsigned(w), unsigned(h - kScrollStep),
              x, y);
    for (int i = 0; i < kScrollStep; ++i) {
        const int content = scrolled_ + h + i;  // the list row this screen row now shows
        const int row = content / kRowHeight;
        XSetForeground(d, gc_, row % 2 ? kRowB : kRowA);
        XFillRectangle(d, window_, gc_, x, y + h - kScrollStep + i, unsigned(w), 1);
    }
    scrolled_ += kScrollStep;
    // A row's text once the whole row is in.
    const int bottom = scrolled_ + h;
    if (bottom % kRowHeight < kScrollStep) {
        const int rowTop = y + h - (bottom % kRowHeight) - kRowHeight;
        char label[32];
        const int n = std::snprintf(label, sizeof label, "Item %d", bottom / kRowHeight);
        XSetForeground(d, gc_, kInk);
        XDrawString(d, window_, gc_, x + 12, rowTop + kRowHeight - 7, label, n);
    }
    return true;
}

void DesktopActivity::run() {
    Display* d = display_.get();
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps_);
    auto next = SteadyClock::now();
    for (int tick = 0; !stop_.load(); ++tick) {
        // Evaluated apart: each change has its own schedule.
        const bool typed = type(tick), blinked = blink(tick), scrolled = scroll(tick);
        if (typed || blinked || scrolled) {
            // A round trip per tick keeps the drawings from piling up in the server.
            XSync(d, False);
            changes_.fetch_add(1);
        }
        next += interval;
        const auto now = SteadyClock::now();
        if (next < now) next = now;  // fell behind: do not burst to catch up
        std::this_thread::sleep_until(next);
    }
}

double DesktopActivity::framesPerSecond() const {
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - startedAt_).count();
    return elapsed > 0 ? double(changes_.load()) / elapsed : 0;
}

DesktopActivity::~DesktopActivity() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    Display* d = display_.get();
    if (!d) return;
    if (gc_) XFreeGC(d, gc_);
    if (window_) XDestroyWindow(d, window_);
    XSync(d, False);
}

}  // namespace panelora::bench
