#include "platform/linux/x11/x11_display_geometry.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/linux/x11/randr_handles.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "support/log.h"

namespace panelora {

namespace {

auto logger() {
    return log::get("x11input");
}

using ResourcesPtr = x11::Resources;
using CrtcInfoPtr = x11::CrtcInfo;

// Notifications that can change what the snapshot holds.
constexpr int kRandrSelectMask =
    RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask;

// RandR sends several notifications for one change (screen, then each CRTC and output); the
// watcher waits until none came for this long before it reads the arrangement, so that an
// arrangement half-way through a change is not reported. Bounded so a stream of changes cannot
// starve the report.
constexpr int kQuietMs = 20;
constexpr int kMaxSettleMs = 250;

struct ScreenSize {
    int width = 0;
    int height = 0;
    int mmWidth = 0;
    int mmHeight = 0;
};

ScreenSize currentScreenSize(Display* display) {
    ScreenSize size;
    Window root = DefaultRootWindow(display);
    Window rootReturn;
    int x, y;
    unsigned int width, height, border, depth;
    // The root window's geometry is current; Xlib's DisplayWidth() is only updated for clients
    // that handle RandR notifications.
    if (XGetGeometry(display, root, &rootReturn, &x, &y, &width, &height, &border, &depth)) {
        size.width = static_cast<int>(width);
        size.height = static_cast<int>(height);
    }
    int screen = DefaultScreen(display);
    size.mmWidth = DisplayWidthMM(display, screen);
    size.mmHeight = DisplayHeightMM(display, screen);
    return size;
}

// Millimetres for a new screen size at the screen's present density (96 dpi when unknown).
int millimetres(int pixels, int referencePixels, int referenceMm) {
    if (referencePixels > 0 && referenceMm > 0) {
        return std::max(1, static_cast<int>(std::lround(static_cast<double>(pixels) * referenceMm /
                                                        referencePixels)));
    }
    return std::max(1, static_cast<int>(std::lround(pixels * 25.4 / 96.0)));
}

bool setCrtcPosition(Display* display, RRCrtc crtc, int x, int y) {
    ResourcesPtr resources(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)));
    if (!resources) return false;
    CrtcInfoPtr info(XRRGetCrtcInfo(display, resources.get(), crtc));
    if (!info || info->mode == None) return false;
    Status status = XRRSetCrtcConfig(display, resources.get(), crtc, CurrentTime, x, y, info->mode,
                                     info->rotation, info->outputs, info->noutput);
    return status == RRSetConfigSuccess;
}

}  // namespace

std::shared_ptr<X11DisplayGeometry> X11DisplayGeometry::create(
    std::shared_ptr<X11ConnectionPool> pool, int scale, std::string* why) {
    {
        auto lease = pool->acquire();
        if (!lease) {
            if (why) *why = "cannot open X display \"" + pool->displayName() + "\"";
            return nullptr;
        }
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        if (!XRRQueryExtension(lease.display(), &eventBase, &errorBase) ||
            !XRRQueryVersion(lease.display(), &major, &minor) ||
            (major < 1 || (major == 1 && minor < 3))) {
            if (why) *why = "the X server has no RandR 1.3";
            return nullptr;
        }
    }
    auto geometry =
        std::shared_ptr<X11DisplayGeometry>(new X11DisplayGeometry(std::move(pool), scale));
    geometry->refresh();
    if (!geometry->startWatcher(why)) return nullptr;
    return geometry;
}

X11DisplayGeometry::X11DisplayGeometry(std::shared_ptr<X11ConnectionPool> pool, int scale)
    : pool_(std::move(pool)), scale_(std::max(1, scale)) {}

X11DisplayGeometry::~X11DisplayGeometry() {
    if (watcherThread_.joinable()) {
        uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) != sizeof one) {
            logger()->warn("{}", "cannot wake the RandR watcher");
        }
        watcherThread_.join();
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

// ---- snapshot

std::optional<X11DisplayGeometry::Layout> X11DisplayGeometry::readLayout(Display* display) const {
    Layout layout;
    {
        ResourcesPtr resources(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)));
        if (!resources) return std::nullopt;
        layout.stamp = resources->timestamp;
    }
    for (const auto& placement : x11::enabledOutputs(display)) {
        Output output;
        output.id = placement.id;
        output.output = placement.output;
        output.crtc = placement.crtc;
        output.x = static_cast<int>(placement.bounds.x);
        output.y = static_cast<int>(placement.bounds.y);
        output.width = static_cast<int>(placement.bounds.width);
        output.height = static_cast<int>(placement.bounds.height);
        layout.outputs.push_back(output);
    }
    RROutput primary = XRRGetOutputPrimary(display, DefaultRootWindow(display));
    const Output* main = nullptr;
    for (const auto& output : layout.outputs) {
        if (primary != None && output.output == primary) main = &output;
    }
    if (!main) {
        for (const auto& output : layout.outputs) {
            if (output.crtc != 0 && output.x == 0 && output.y == 0) {
                main = &output;
                break;
            }
        }
    }
    if (!main && !layout.outputs.empty()) main = &layout.outputs.front();
    if (main) {
        layout.mainID = main->id;
        layout.originX = main->x;
        layout.originY = main->y;
    }
    return layout;
}

void X11DisplayGeometry::refresh() const {
    auto lease = pool_->acquire();
    if (!lease) return;
    auto layout = readLayout(lease.display());
    if (layout && !lease->broken()) publish(std::move(*layout));
}

X11DisplayGeometry::Layout X11DisplayGeometry::snapshot() const {
    std::lock_guard lock(layoutMutex_);
    return layout_;
}

void X11DisplayGeometry::publish(Layout layout) const {
    std::lock_guard lock(layoutMutex_);
    // X timestamps are milliseconds that wrap around; compare by difference.
    if (published_ && static_cast<int32_t>(static_cast<uint32_t>(layout.stamp) -
                                           static_cast<uint32_t>(layout_.stamp)) < 0) {
        return;
    }
    layout_ = std::move(layout);
    published_ = true;
}

Rect X11DisplayGeometry::globalRect(const Layout& layout, const Output& output, int scale) {
    double s = scale;
    return Rect{(output.x - layout.originX) / s, (output.y - layout.originY) / s, output.width / s,
                output.height / s};
}

// ---- DisplayGeometry

Rect X11DisplayGeometry::bounds(DisplayID display) const {
    if (display == 0) return {};
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard lock(layoutMutex_);
            for (const auto& output : layout_.outputs) {
                if (output.id == display) return globalRect(layout_, output, scale_);
            }
        }
        // Not in the snapshot: a display made a moment ago, before the watcher saw it.
        if (attempt == 0) refresh();
    }
    return {};
}

DisplayID X11DisplayGeometry::mainDisplayID() const {
    {
        std::lock_guard lock(layoutMutex_);
        if (layout_.mainID != 0) return layout_.mainID;
    }
    refresh();
    std::lock_guard lock(layoutMutex_);
    return layout_.mainID;
}

X11DisplayGeometry::RootPixel X11DisplayGeometry::toRoot(Point global, DisplayID keepOn) const {
    int originX, originY;
    std::optional<Output> on;
    {
        std::lock_guard lock(layoutMutex_);
        originX = layout_.originX;
        originY = layout_.originY;
        for (const auto& output : layout_.outputs) {
            if (keepOn != 0 && output.id == keepOn) on = output;
        }
    }
    // X coordinates are 16-bit; anything further out is clamped, never wrapped.
    auto axis = [this](double value, int origin, int first, int size) {
        double pixel = std::floor(value * scale_) + origin;
        if (!std::isfinite(pixel)) pixel = 0;
        if (size > 0) pixel = std::clamp(pixel, double(first), double(first + size - 1));
        return static_cast<int>(std::clamp(pixel, -32768.0, 32767.0));
    };
    return RootPixel{axis(global.x, originX, on ? on->x : 0, on ? on->width : 0),
                     axis(global.y, originY, on ? on->y : 0, on ? on->height : 0)};
}

Point X11DisplayGeometry::toGlobal(int rootX, int rootY) const {
    std::lock_guard lock(layoutMutex_);
    double s = scale_;
    return Point{(rootX - layout_.originX) / s, (rootY - layout_.originY) / s};
}

bool X11DisplayGeometry::configureOrigin(DisplayID display, int32_t x, int32_t y) {
    if (auto mover = x11::monitorMover(display)) return moveMonitor(*mover, display, x, y);
    auto lease = pool_->acquire();
    if (!lease) return false;
    Display* d = lease.display();
    Window root = DefaultRootWindow(d);

    struct CrtcMove {
        RRCrtc crtc;
        long oldX, oldY, newX, newY, width, height;
    };

    XGrabServer(d);
    auto done = [&](bool ok) {
        XUngrabServer(d);
        XSync(d, False);
        if (auto after = readLayout(d); after && !lease->broken()) publish(std::move(*after));
        return ok;
    };

    auto layout = readLayout(d);
    if (!layout) return done(false);
    const Output* target = nullptr;
    for (const auto& output : layout->outputs) {
        if (output.id == display) target = &output;
    }
    if (!target) return done(false);

    std::map<RRCrtc, CrtcMove> moves;
    for (const auto& output : layout->outputs) {
        moves.try_emplace(output.crtc, CrtcMove{output.crtc, output.x, output.y, output.x, output.y,
                                                output.width, output.height});
    }
    auto& moved = moves.at(target->crtc);
    moved.newX = layout->originX + static_cast<long>(x) * scale_;
    moved.newY = layout->originY + static_cast<long>(y) * scale_;

    long minX = std::numeric_limits<long>::max(), minY = minX;
    long maxX = std::numeric_limits<long>::min(), maxY = maxX;
    for (const auto& [crtc, m] : moves) {
        minX = std::min(minX, m.newX);
        minY = std::min(minY, m.newY);
        maxX = std::max(maxX, m.newX + m.width);
        maxY = std::max(maxY, m.newY + m.height);
    }
    for (auto& [crtc, m] : moves) {
        m.newX -= minX;
        m.newY -= minY;
    }
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    XRRGetScreenSizeRange(d, root, &minWidth, &minHeight, &maxWidth, &maxHeight);
    long newWidth = std::max<long>(maxX - minX, minWidth);
    long newHeight = std::max<long>(maxY - minY, minHeight);
    if (newWidth > maxWidth || newHeight > maxHeight) {
        logger()->info("cannot place display {}: screen would be {}x{}, at most {}x{}", display,
                       newWidth, newHeight, maxWidth, maxHeight);
        return done(false);
    }

    const ScreenSize current = currentScreenSize(d);
    bool anyMove = false;
    for (const auto& [crtc, m] : moves)
        anyMove = anyMove || m.newX != m.oldX || m.newY != m.oldY;
    if (!anyMove && newWidth == current.width && newHeight == current.height) return done(true);

    auto setSize = [&](int width, int height) {
        XRRSetScreenSize(d, root, width, height, millimetres(width, current.width, current.mmWidth),
                         millimetres(height, current.height, current.mmHeight));
    };

    lease->sync();  // forget errors of earlier users of this connection
    // Grow first so every CRTC fits in the screen at each step, move, then shrink to the box.
    const int grownWidth = std::max(current.width, static_cast<int>(newWidth));
    const int grownHeight = std::max(current.height, static_cast<int>(newHeight));
    bool ok = true;
    if (grownWidth != current.width || grownHeight != current.height) {
        setSize(grownWidth, grownHeight);
        ok = lease->sync();
    }
    std::vector<const CrtcMove*> applied;
    for (const auto& [crtc, m] : moves) {
        if (!ok) break;
        if (m.newX == m.oldX && m.newY == m.oldY) continue;
        ok = setCrtcPosition(d, crtc, static_cast<int>(m.newX), static_cast<int>(m.newY)) &&
             lease->sync();
        if (ok) applied.push_back(&m);
    }
    if (ok && (newWidth != grownWidth || newHeight != grownHeight)) {
        setSize(static_cast<int>(newWidth), static_cast<int>(newHeight));
        ok = lease->sync();
    }
    if (!ok) {
        logger()->info("display {} could not be moved to ({}, {}): X error {}", display, x, y,
                       lease->lastErrorCode());
        // Put back what was changed: grow to hold both arrangements, restore, then the old size.
        setSize(std::max(grownWidth, current.width), std::max(grownHeight, current.height));
        for (const CrtcMove* m : applied) {
            setCrtcPosition(d, m->crtc, static_cast<int>(m->oldX), static_cast<int>(m->oldY));
        }
        setSize(current.width, current.height);
        lease->sync();
    }
    return done(ok);
}

// A monitor display has no CRTC: it moves itself (and the outputs, when it goes left of them) on
// its own connection, so no grab of ours may be held meanwhile.
bool X11DisplayGeometry::moveMonitor(const x11::MonitorMover& mover, DisplayID display, int32_t x,
                                     int32_t y) {
    refresh();
    int originX = 0, originY = 0;
    {
        std::lock_guard lock(layoutMutex_);
        originX = layout_.originX;
        originY = layout_.originY;
    }
    const long rootX = originX + static_cast<long>(x) * scale_;
    const long rootY = originY + static_cast<long>(y) * scale_;
    const bool ok = rootX > -32768 && rootX < 32768 && rootY > -32768 && rootY < 32768 &&
                    mover(static_cast<int>(rootX), static_cast<int>(rootY));
    if (!ok) logger()->info("display {} could not be moved to ({}, {})", display, x, y);
    refresh();
    return ok;
}

// ---- notifications

X11DisplayGeometry::CallbackToken X11DisplayGeometry::addReconfigurationCallback(
    ReconfigurationCallback callback) {
    return callbacks_.add(std::move(callback));
}

void X11DisplayGeometry::removeReconfigurationCallback(CallbackToken token) {
    callbacks_.remove(token);
}

std::vector<std::pair<DisplayID, uint32_t>> X11DisplayGeometry::changes(const Layout& before,
                                                                        const Layout& after,
                                                                        int scale) {
    std::vector<std::pair<DisplayID, uint32_t>> result;
    auto find = [](const Layout& layout, DisplayID id) -> const Output* {
        for (const auto& output : layout.outputs) {
            if (output.id == id) return &output;
        }
        return nullptr;
    };
    for (const auto& output : after.outputs) {
        const Output* old = find(before, output.id);
        uint32_t flags = 0;
        if (!old) {
            flags = DisplayChange::addFlag;
        } else {
            Rect was = globalRect(before, *old, scale);
            Rect now = globalRect(after, output, scale);
            if (was.x != now.x || was.y != now.y) flags |= DisplayChange::movedFlag;
            if (was.width != now.width || was.height != now.height) {
                flags |= DisplayChange::setModeFlag;
            }
        }
        if (output.id == after.mainID && before.mainID != after.mainID) {
            flags |= DisplayChange::setMainFlag;
        }
        if (flags != 0) result.emplace_back(output.id, flags);
    }
    for (const auto& output : before.outputs) {
        if (!find(after, output.id)) result.emplace_back(output.id, DisplayChange::removeFlag);
    }
    return result;
}

bool X11DisplayGeometry::startWatcher(std::string* why) {
    watcherConnection_ = pool_->openDedicated(why);
    if (!watcherConnection_) return false;
    Display* d = watcherConnection_->display();
    int errorBase = 0;
    if (!XRRQueryExtension(d, &randrEventBase_, &errorBase)) {
        if (why) *why = "the X server has no RandR";
        return false;
    }
    XRRSelectInput(d, DefaultRootWindow(d), kRandrSelectMask);
    XSync(d, False);
    // Read after selecting, so that no change falls between the first picture and the events.
    Layout initial = readLayout(d).value_or(Layout{});
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        if (why) *why = "cannot create an eventfd";
        return false;
    }
    watcherThread_ = std::thread([this, initial = std::move(initial)]() mutable {
        watch(std::move(initial));
        if (!watcherConnection_->broken()) return;  // woken to stop
        logger()->error("{}", "the X server went away");
        std::function<void()> gone;
        {
            std::lock_guard lock(goneMutex_);
            gone = std::move(onServerGone_);
        }
        if (gone) gone();
    });
    return true;
}

void X11DisplayGeometry::setOnServerGone(std::function<void()> handler) {
    std::lock_guard lock(goneMutex_);
    onServerGone_ = std::move(handler);
}

// The watcher thread's loop; returns when woken to stop or when the connection broke.
void X11DisplayGeometry::watch(Layout initial) {
    Layout last = std::move(initial);
    Display* d = watcherConnection_->display();
    // True when a RandR notification was read.
    auto drain = [&] {
        bool seen = false;
        while (!watcherConnection_->broken() && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            int kind = event.type - randrEventBase_;
            if (kind == RRScreenChangeNotify || kind == RRNotify) seen = true;
            XRRUpdateConfiguration(&event);
        }
        return seen;
    };
    // 0: timeout, 1: X readable, -1: stop (woken, or the connection failed).
    auto wait = [&](int timeoutMs) {
        pollfd fds[2] = {{watcherConnection_->fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int n = ::poll(fds, 2, timeoutMs);
        if (n < 0) return errno == EINTR ? 0 : -1;
        if (fds[1].revents != 0) return -1;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            watcherConnection_->markBroken();
            return -1;
        }
        return n > 0 ? 1 : 0;
    };
    for (;;) {
        bool changed = drain();
        if (watcherConnection_->broken()) return;
        if (changed) {
            for (int waited = 0; waited < kMaxSettleMs; waited += kQuietMs) {
                int r = wait(kQuietMs);
                if (r < 0) return;
                if (r == 0) break;
                drain();
                if (watcherConnection_->broken()) return;
            }
            auto now = readLayout(d);
            if (now && !watcherConnection_->broken()) {
                publish(*now);
                callbacks_.deliver(changes(last, *now, scale_));
                last = std::move(*now);
            }
            continue;  // read what arrived meanwhile before waiting again
        }
        if (wait(-1) < 0) return;
    }
}

}  // namespace panelora
