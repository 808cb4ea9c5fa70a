#include "x11_helpers.h"

#include <X11/Xutil.h>
#include <poll.h>

#include "platform/linux/x11/randr_handles.h"

namespace panelora::test {
namespace {

using SteadyClock = std::chrono::steady_clock;
using x11::CrtcInfo;
using x11::OutputInfo;

void setScreenSize(Display* d, int width, int height) {
    XRRSetScreenSize(d, DefaultRootWindow(d), width, height, static_cast<int>(width * 25.4 / 96),
                     static_cast<int>(height * 25.4 / 96));
}

// The next event, or nothing when none comes before `deadline`.
std::optional<XEvent> nextEvent(Display* d, SteadyClock::time_point deadline) {
    while (XPending(d) == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
    }
    XEvent event;
    XNextEvent(d, &event);
    return event;
}

// Shows `mode` on `crtc` at root (x, y), growing the screen first to hold it, as
// `xrandr --output … --pos` does.
bool placeCrtc(Display* d, RRCrtc crtc, int x, int y, int width, int height, RRMode mode,
               Rotation rotation, RROutput* outputs, int count) {
    const ScreenSize size = screenSize(d);
    x11::ServerGrab grab(d);
    setScreenSize(d, std::max(size.width, x + width), std::max(size.height, y + height));
    const Status status = XRRSetCrtcConfig(d, screenResources(d).get(), crtc, CurrentTime, x, y,
                                           mode, rotation, outputs, count);
    XSync(d, False);
    return status == RRSetConfigSuccess;
}

std::string nameOf(const XRRModeInfo& mode) {
    return std::string(mode.name, mode.nameLength);
}

}  // namespace

x11::Resources screenResources(Display* d) {
    return x11::Resources(XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d)));
}

RROutput outputNamed(Display* d, const std::string& name) {
    auto res = screenResources(d);
    for (int i = 0; res && i < res->noutput; ++i) {
        OutputInfo info(XRRGetOutputInfo(d, res.get(), res->outputs[i]));
        if (info && std::string(info->name, size_t(info->nameLen)) == name) return res->outputs[i];
    }
    return None;
}

std::optional<CrtcPlacement> placementOf(Display* d, RROutput output) {
    auto res = screenResources(d);
    OutputInfo info(res ? XRRGetOutputInfo(d, res.get(), output) : nullptr);
    if (!info || info->crtc == None) return std::nullopt;
    CrtcInfo crtc(XRRGetCrtcInfo(d, res.get(), info->crtc));
    if (!crtc || crtc->mode == None) return std::nullopt;
    return CrtcPlacement{info->crtc, crtc->x, crtc->y, int(crtc->width), int(crtc->height)};
}

bool moveOutputRaw(Display* d, RROutput output, int x, int y) {
    auto placement = placementOf(d, output);
    if (!placement) return false;
    CrtcInfo crtc(XRRGetCrtcInfo(d, screenResources(d).get(), placement->crtc));
    return placeCrtc(d, placement->crtc, x, y, placement->width, placement->height, crtc->mode,
                     crtc->rotation, crtc->outputs, crtc->noutput);
}

DisplayPtr openDisplay(const std::string& name) {
    return DisplayPtr(XOpenDisplay(name.c_str()));
}

ScreenSize screenSize(Display* d) {
    Window root;
    int x, y;
    unsigned w = 0, h = 0, border, depth;
    XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &w, &h, &border, &depth);
    return {static_cast<int>(w), static_cast<int>(h)};
}

std::vector<std::string> modeNames(Display* d, std::string_view prefix) {
    std::vector<std::string> names;
    auto res = screenResources(d);
    for (int i = 0; res && i < res->nmode; ++i) {
        if (nameOf(res->modes[i]).starts_with(prefix)) names.push_back(nameOf(res->modes[i]));
    }
    return names;
}

std::vector<std::string> shownModeNames(Display* d, std::string_view prefix) {
    std::vector<std::string> names;
    auto res = screenResources(d);
    for (int c = 0; res && c < res->ncrtc; ++c) {
        CrtcInfo crtc(XRRGetCrtcInfo(d, res.get(), res->crtcs[c]));
        for (int m = 0; crtc && crtc->mode != None && m < res->nmode; ++m) {
            if (res->modes[m].id == crtc->mode && nameOf(res->modes[m]).starts_with(prefix))
                names.push_back(nameOf(res->modes[m]));
        }
    }
    return names;
}

RRMode createMode(Display* d, const std::string& name, int width, int height) {
    XRRModeInfo* info = XRRAllocModeInfo(name.c_str(), static_cast<int>(name.size()));
    info->width = static_cast<unsigned>(width);
    info->height = static_cast<unsigned>(height);
    info->hSyncStart = info->width + 48;
    info->hSyncEnd = info->width + 80;
    info->hTotal = info->width + 160;
    info->vSyncStart = info->height + 3;
    info->vSyncEnd = info->height + 8;
    info->vTotal = info->height + 30;
    info->dotClock = static_cast<unsigned long>(info->hTotal) * info->vTotal * 60;
    const RRMode mode = XRRCreateMode(d, DefaultRootWindow(d), info);
    XRRFreeModeInfo(info);
    XSync(d, False);
    return mode;
}

std::unique_ptr<SpareOutput> SpareOutput::enable(Display* d, const std::string& outputName,
                                                 int width, int height, int x, int y,
                                                 const std::string& modeName) {
    std::unique_ptr<SpareOutput> spare(new SpareOutput);
    spare->output_ = outputNamed(d, outputName);
    if (spare->output_ == None) return nullptr;
    spare->d_ = d;
    spare->width_ = width;
    spare->height_ = height;
    spare->mode_ = createMode(d, modeName.empty() ? "test-" + outputName : modeName, width, height);
    XRRAddOutputMode(d, spare->output_, spare->mode_);
    auto res = screenResources(d);
    OutputInfo out(XRRGetOutputInfo(d, res.get(), spare->output_));
    for (int i = 0; out && i < out->ncrtc && spare->crtc_ == None; ++i) {
        CrtcInfo crtc(XRRGetCrtcInfo(d, res.get(), out->crtcs[i]));
        if (crtc && crtc->noutput == 0 && crtc->mode == None) spare->crtc_ = out->crtcs[i];
    }
    return spare->crtc_ != None && spare->moveTo(x, y) ? std::move(spare) : nullptr;
}

bool SpareOutput::moveTo(int x, int y) {
    RROutput output = output_;
    return placeCrtc(d_, crtc_, x, y, width_, height_, mode_, RR_Rotate_0, &output, 1);
}

SpareOutput::~SpareOutput() {
    if (!d_) return;
    auto res = screenResources(d_);
    if (crtc_ != None) {
        XRRSetCrtcConfig(d_, res.get(), crtc_, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    }
    XRRDeleteOutputMode(d_, output_, mode_);
    XRRDestroyMode(d_, mode_);
    XSync(d_, False);
}

void resetScreen(Display* d) {
    RROutput primary = XRRGetOutputPrimary(d, DefaultRootWindow(d));
    if (primary == None) primary = outputNamed(d, "DUMMY0");
    auto res = screenResources(d);
    OutputInfo primaryInfo(XRRGetOutputInfo(d, res.get(), primary));
    x11::ServerGrab grab(d);
    for (int i = 0; i < res->ncrtc; ++i) {
        if (primaryInfo && res->crtcs[i] == primaryInfo->crtc) continue;
        CrtcInfo crtc(XRRGetCrtcInfo(d, res.get(), res->crtcs[i]));
        if (crtc && crtc->mode != None) {
            XRRSetCrtcConfig(d, res.get(), res->crtcs[i], CurrentTime, 0, 0, None, RR_Rotate_0,
                             nullptr, 0);
        }
    }
    if (primaryInfo && primaryInfo->crtc != None) {
        CrtcInfo crtc(XRRGetCrtcInfo(d, res.get(), primaryInfo->crtc));
        if (crtc->x != 0 || crtc->y != 0) {
            XRRSetCrtcConfig(d, res.get(), primaryInfo->crtc, CurrentTime, 0, 0, crtc->mode,
                             crtc->rotation, crtc->outputs, crtc->noutput);
        }
        setScreenSize(d, static_cast<int>(crtc->width), static_cast<int>(crtc->height));
    }
    XSync(d, False);
}

void fillRoot(Display* d, int x, int y, int width, int height, uint32_t rgb) {
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, rgb);
    XSetSubwindowMode(d, gc, IncludeInferiors);
    XFillRectangle(d, DefaultRootWindow(d), gc, x, y, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
    XFreeGC(d, gc);
    XSync(d, False);
}

std::pair<int, int> pointerPosition(Display* d) {
    Window root, child;
    int rootX = 0, rootY = 0, x, y;
    unsigned mask;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &x, &y, &mask);
    return {rootX, rootY};
}

std::optional<XEvent> waitForEvent(Display* d, const std::function<bool(const XEvent&)>& match,
                                   std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (auto event = nextEvent(d, deadline)) {
        if (match(*event)) return event;
    }
    return std::nullopt;
}

std::vector<XEvent> drainEvents(Display* d, std::chrono::milliseconds quiet,
                                std::chrono::milliseconds limit) {
    std::vector<XEvent> events;
    const auto end = SteadyClock::now() + limit;
    while (auto event = nextEvent(d, std::min(end, SteadyClock::now() + quiet)))
        events.push_back(*event);
    return events;
}

KeySym typedKeysym(XKeyEvent event) {
    char text[8];
    KeySym keysym = NoSymbol;
    XLookupString(&event, text, sizeof text, &keysym, nullptr);
    return keysym;
}

TestWindow::TestWindow(Display* d, int x, int y, int width, int height, bool quadrants) : d_(d) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            KeyReleaseMask | StructureNotifyMask;
    window_ = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(d, window_);
    waitForEvent(
        d, [this](const XEvent& e) { return e.type == MapNotify && e.xmap.window == window_; });
    if (quadrants) {
        GC gc = XCreateGC(d, window_, 0, nullptr);
        const int halfW = width / 2, halfH = height / 2;
        for (int q = 0; q < 4; ++q) {
            XSetForeground(d, gc, kQuadrantColours[q]);
            XFillRectangle(d, window_, gc, q % 2 ? halfW : 0, q < 2 ? 0 : halfH,
                           static_cast<unsigned>(q % 2 ? width - halfW : halfW),
                           static_cast<unsigned>(q < 2 ? halfH : height - halfH));
        }
        XFreeGC(d, gc);
    }
    XSetInputFocus(d, window_, RevertToParent, CurrentTime);
    XSync(d, False);
    drainEvents(d, std::chrono::milliseconds(50));
}

TestWindow::~TestWindow() {
    XDestroyWindow(d_, window_);
    XSync(d_, False);
}

}  // namespace panelora::test
