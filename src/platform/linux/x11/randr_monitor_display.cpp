#include "platform/linux/x11/randr_monitor_display.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/x11/desktop_scale.h"
#include "platform/linux/x11/randr_handles.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "support/log.h"

namespace panelora::x11 {
namespace {

auto logger() {
    return log::get("display");
}

std::atomic<uint32_t> monitorCounter{0};

constexpr double kMillimetresPerPixel = 25.4 / 96.0;

struct PanningDeleter {
    void operator()(XRRPanning* p) const { XRRFreePanning(p); }
};
using PanningPtr = std::unique_ptr<XRRPanning, PanningDeleter>;

// One enabled CRTC as found before the display was made.
struct SavedCrtc {
    RRCrtc crtc = None;
    RRMode mode = None;
    Rotation rotation = RR_Rotate_0;
    std::vector<RROutput> outputs;
    int x = 0, y = 0, width = 0, height = 0;
    XRRPanning panning{};
};

struct SavedScreen {
    int width = 0, height = 0, mmWidth = 0, mmHeight = 0;
    std::vector<SavedCrtc> crtcs;
};

int mm(int pixels) {
    return std::max(1, static_cast<int>(std::lround(pixels * kMillimetresPerPixel)));
}

std::pair<int, int> rootSize(Display* display) {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                 &depth);
    return {static_cast<int>(width), static_cast<int>(height)};
}

std::optional<SavedScreen> readScreen(Display* display) {
    Window root = DefaultRootWindow(display);
    Resources resources(XRRGetScreenResourcesCurrent(display, root));
    if (!resources) return std::nullopt;
    SavedScreen screen;
    std::tie(screen.width, screen.height) = rootSize(display);
    screen.mmWidth = DisplayWidthMM(display, DefaultScreen(display));
    screen.mmHeight = DisplayHeightMM(display, DefaultScreen(display));
    for (int i = 0; i < resources->ncrtc; ++i) {
        CrtcInfo info(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[i]));
        if (!info || info->mode == None) continue;
        SavedCrtc crtc;
        crtc.crtc = resources->crtcs[i];
        crtc.mode = info->mode;
        crtc.rotation = info->rotation;
        crtc.outputs.assign(info->outputs, info->outputs + info->noutput);
        crtc.x = info->x;
        crtc.y = info->y;
        crtc.width = static_cast<int>(info->width);
        crtc.height = static_cast<int>(info->height);
        if (PanningPtr panning{XRRGetPanning(display, resources.get(), crtc.crtc)}) {
            crtc.panning = *panning;
        }
        screen.crtcs.push_back(std::move(crtc));
    }
    return screen;
}

bool setPanning(Display* display, XRRScreenResources* resources, RRCrtc crtc, XRRPanning panning) {
    panning.timestamp = CurrentTime;
    return XRRSetPanning(display, resources, crtc, &panning) == RRSetConfigSuccess;
}

bool panningSet(const XRRPanning& p) {
    return p.width != 0 || p.height != 0 || p.track_width != 0 || p.track_height != 0;
}

// A panning area equal to the CRTC (it never pans) and a tracking area of the whole screen, so
// that the pointer reaches parts of the screen no CRTC shows.
XRRPanning trackingPanning(int x, int y, int width, int height, int screenWidth, int screenHeight) {
    XRRPanning p{};
    p.left = static_cast<unsigned>(x);
    p.top = static_cast<unsigned>(y);
    p.width = static_cast<unsigned>(width);
    p.height = static_cast<unsigned>(height);
    p.track_width = static_cast<unsigned>(screenWidth);
    p.track_height = static_cast<unsigned>(screenHeight);
    return p;
}

bool isOurTracking(const XRRPanning& p, int x, int y, int width, int height) {
    return static_cast<int>(p.left) == x && static_cast<int>(p.top) == y &&
           static_cast<int>(p.width) == width && static_cast<int>(p.height) == height &&
           p.track_left == 0 && p.track_top == 0 &&
           (static_cast<int>(p.track_width) > width || static_cast<int>(p.track_height) > height);
}

bool moveCrtc(Display* display, XRRScreenResources* resources, const SavedCrtc& crtc, int x,
              int y) {
    return XRRSetCrtcConfig(display, resources, crtc.crtc, CurrentTime, x, y, crtc.mode,
                            crtc.rotation, const_cast<RROutput*>(crtc.outputs.data()),
                            static_cast<int>(crtc.outputs.size())) == RRSetConfigSuccess;
}

std::string atomName(Display* display, Atom atom) {
    char* name = XGetAtomName(display, atom);
    if (!name) return {};
    std::string result(name);
    XFree(name);
    return result;
}

// "PANELORA-<pid>-<n>" of another process still running: its display is alive.
bool ownedByAnotherLiveProcess(std::string_view name) {
    name.remove_prefix(kMonitorPrefix.size());
    return isAnotherLiveProcess(name);
}

// Takes our tracking panning off every CRTC and shrinks the screen to the CRTCs.
void dropTracking(X11Connection& c) {
    Display* display = c.display();
    Window root = c.root();
    {
        ServerGrab grab(display);
        auto now = readScreen(display);
        Resources resources(XRRGetScreenResourcesCurrent(display, root));
        if (!now || !resources) return;
        int w = 0, h = 0;
        for (const auto& crtc : now->crtcs) {
            if (isOurTracking(crtc.panning, crtc.x, crtc.y, crtc.width, crtc.height))
                setPanning(display, resources.get(), crtc.crtc, XRRPanning{});
            w = std::max(w, crtc.x + crtc.width);
            h = std::max(h, crtc.y + crtc.height);
        }
        int minW = 0, minH = 0, maxW = 0, maxH = 0;
        XRRGetScreenSizeRange(display, root, &minW, &minH, &maxW, &maxH);
        w = std::max(w, minW);
        h = std::max(h, minH);
        if (w > 0 && h > 0 && (w != now->width || h != now->height))
            XRRSetScreenSize(display, root, w, h, mm(w), mm(h));
    }
    c.sync();
}

class MonitorDisplay final : public PlatformVirtualDisplay {
  public:
    MonitorDisplay(std::unique_ptr<X11Connection> connection, int scale)
        : core_(std::make_shared<Core>(std::move(connection), scale)) {}

    ~MonitorDisplay() override {
        DisplayID id = 0;
        {
            std::lock_guard lock(core_->mutex);
            id = core_->id;
            if (core_->shown) core_->remove();
            core_->ended = true;
        }
        if (id != 0) unregisterVirtualDisplay(id);
    }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        if (settings.modes.empty()) return false;
        const VirtualDisplayMode& wanted = settings.modes.front();
        DisplayID newID = 0;
        {
            std::lock_guard lock(core_->mutex);
            if (!core_->apply(wanted.width, wanted.height)) return false;
            if (core_->registered) return true;
            core_->registered = true;
            newID = core_->id;
        }
        std::weak_ptr<Core> weak = core_;
        registerMonitorDisplay(newID, [weak](int rootX, int rootY) {
            auto core = weak.lock();
            if (!core) return false;
            std::lock_guard lock(core->mutex);
            return !core->ended && core->shown && core->moveTo(rootX, rootY);
        });
        return true;
    }

    DisplayID displayID() const override {
        std::lock_guard lock(core_->mutex);
        return core_->id;
    }

  private:
    struct Core {
        Core(std::unique_ptr<X11Connection> c, int s) : connection(std::move(c)), scale(s) {}

        std::mutex mutex;
        const std::unique_ptr<X11Connection> connection;  // X calls under mutex
        const int scale;
        // All guarded by mutex.
        SavedScreen saved;  // before the display was made
        bool shown = false;
        bool ended = false;
        bool registered = false;
        std::string name;
        Atom atom = None;
        DisplayID id = 0;
        int shiftX = 0, shiftY = 0;  // how far the outputs were moved right and down
        int x = 0, y = 0;            // the monitor in the saved screen's coordinates
        int width = 0, height = 0;

        bool apply(uint32_t pointsWide, uint32_t pointsHigh) {
            if (connection->broken()) return false;
            Display* display = connection->display();
            const int64_t s = scale > 0 ? scale : desktopScaleFactor(display);
            const int64_t w = static_cast<int64_t>(pointsWide) * s;
            const int64_t h = static_cast<int64_t>(pointsHigh) * s;
            int minW = 0, minH = 0, maxW = 0, maxH = 0;
            XRRGetScreenSizeRange(display, connection->root(), &minW, &minH, &maxW, &maxH);
            if (w < 1 || h < 1 || w > maxW || h > maxH) {
                logger()->warn("virtual display size {}x{} is outside what the X server allows", w,
                               h);
                return false;
            }
            if (!shown) {
                auto screen = readScreen(display);
                if (!screen || screen->crtcs.empty()) {
                    logger()->warn("{}", "no virtual display: the X server shows no output");
                    return false;
                }
                saved = std::move(*screen);
                name = std::string(kMonitorPrefix) + std::to_string(getpid()) + "-" +
                       std::to_string(++monitorCounter);
                atom = XInternAtom(display, name.c_str(), False);
                placeRight(static_cast<int>(w), static_cast<int>(h));
            }
            const int oldW = width, oldH = height;
            width = static_cast<int>(w);
            height = static_cast<int>(h);
            if (!arrange(shiftX, shiftY)) {
                width = oldW;
                height = oldH;
                return false;
            }
            if (!shown) {
                id = monitorDisplayID(atom);
                logger()->info(
                    "virtual display {} as the RandR monitor {} on an enlarged screen (no spare "
                    "output): {}x{} at +{}+{}",
                    id, name, width, height, x + shiftX, y + shiftY);
                if (auto gnome = gnomeWindowManager(display); !gnome.empty()) {
                    logger()->info(
                        "{} builds its monitors from outputs: windows can be dragged onto the "
                        "virtual display but not maximized there",
                        gnome);
                }
            }
            shown = true;
            return true;
        }

        // Right of the primary output (or the first), top aligned; right of everything when
        // another output is in the way.
        void placeRight(int w, int h) {
            Display* display = connection->display();
            RROutput primary = XRRGetOutputPrimary(display, connection->root());
            const SavedCrtc* anchor = &saved.crtcs.front();
            for (const auto& crtc : saved.crtcs) {
                if (std::find(crtc.outputs.begin(), crtc.outputs.end(), primary) !=
                    crtc.outputs.end()) {
                    anchor = &crtc;
                }
            }
            x = anchor->x + anchor->width;
            y = anchor->y;
            int right = 0;
            bool overlaps = false;
            for (const auto& crtc : saved.crtcs) {
                right = std::max(right, crtc.x + crtc.width);
                overlaps |= crtc.x < x + w && x < crtc.x + crtc.width && crtc.y < y + h &&
                            y < crtc.y + crtc.height;
            }
            if (overlaps) x = right;
        }

        // Lays the screen out with the outputs moved by (sx, sy) from where they were and the
        // monitor at (x, y) + (sx, sy). One server grab; an error puts the saved layout back.
        bool arrange(int sx, int sy) {
            Display* display = connection->display();
            Window root = connection->root();
            connection->sync();  // forget older errors
            bool ok = true;
            {
                ServerGrab grab(display);
                Resources resources(XRRGetScreenResourcesCurrent(display, root));
                if (!resources) return false;
                int finalW = std::max(saved.width + sx, x + sx + width);
                int finalH = std::max(saved.height + sy, y + sy + height);
                for (const auto& crtc : saved.crtcs) {
                    finalW = std::max(finalW, crtc.x + sx + crtc.width);
                    finalH = std::max(finalH, crtc.y + sy + crtc.height);
                }
                int minW = 0, minH = 0, maxW = 0, maxH = 0;
                XRRGetScreenSizeRange(display, root, &minW, &minH, &maxW, &maxH);
                if (finalW > maxW || finalH > maxH) {
                    logger()->warn("the screen cannot grow to {}x{} (at most {}x{})", finalW,
                                   finalH, maxW, maxH);
                    return false;
                }
                if (atom != None) XRRDeleteMonitor(display, root, atom);
                connection->sync();  // the monitor may not exist yet
                for (const auto& crtc : saved.crtcs)
                    setPanning(display, resources.get(), crtc.crtc, XRRPanning{});
                auto [curW, curH] = rootSize(display);
                if (curW < finalW || curH < finalH) {
                    XRRSetScreenSize(display, root, std::max(curW, finalW), std::max(curH, finalH),
                                     mm(std::max(curW, finalW)), mm(std::max(curH, finalH)));
                }
                for (const auto& crtc : saved.crtcs) {
                    if (ok) ok = moveCrtc(display, resources.get(), crtc, crtc.x + sx, crtc.y + sy);
                }
                XRRSetScreenSize(display, root, finalW, finalH, mm(finalW), mm(finalH));
                bool tracking = true;
                for (const auto& crtc : saved.crtcs) {
                    tracking &= setPanning(display, resources.get(), crtc.crtc,
                                           trackingPanning(crtc.x + sx, crtc.y + sy, crtc.width,
                                                           crtc.height, finalW, finalH));
                }
                if (!tracking) {
                    logger()->warn("{}",
                                   "the X server refused a panning tracking area: the "
                                   "pointer may not reach the virtual display");
                }
                XRRMonitorInfo* monitor = XRRAllocateMonitor(display, 0);
                monitor->name = atom;
                monitor->primary = False;
                monitor->automatic = False;
                monitor->x = x + sx;
                monitor->y = y + sy;
                monitor->width = width;
                monitor->height = height;
                monitor->mwidth = mm(width);
                monitor->mheight = mm(height);
                XRRSetMonitor(display, root, monitor);
                XRRFreeMonitors(monitor);
                ok = connection->sync() && ok;
            }
            if (!ok) {
                logger()->warn("the X server refused the enlarged screen (X error {})",
                               connection->lastErrorCode());
                restoreSaved();
                return false;
            }
            shiftX = sx;
            shiftY = sy;
            return true;
        }

        // The monitor's top-left to root (rootX, rootY) of the current screen.
        bool moveTo(int rootX, int rootY) {
            const int ox = rootX - shiftX, oy = rootY - shiftY;  // in the saved screen
            const int sx = std::max(0, -ox), sy = std::max(0, -oy);
            const int oldX = x, oldY = y;
            x = ox;
            y = oy;
            if (arrange(sx, sy)) return true;
            x = oldX;
            y = oldY;
            arrange(shiftX, shiftY);
            return false;
        }

        // True when every saved CRTC still shows its mode where we put it.
        bool intact() {
            Display* display = connection->display();
            auto now = readScreen(display);
            if (!now || now->crtcs.size() != saved.crtcs.size()) return false;
            for (const auto& crtc : saved.crtcs) {
                auto found = std::find_if(now->crtcs.begin(), now->crtcs.end(),
                                          [&](const SavedCrtc& c) { return c.crtc == crtc.crtc; });
                if (found == now->crtcs.end() || found->mode != crtc.mode ||
                    found->x != crtc.x + shiftX || found->y != crtc.y + shiftY) {
                    return false;
                }
            }
            return true;
        }

        void restoreSaved() {
            Display* display = connection->display();
            Window root = connection->root();
            {
                ServerGrab grab(display);
                Resources resources(XRRGetScreenResourcesCurrent(display, root));
                if (!resources) return;
                if (atom != None) XRRDeleteMonitor(display, root, atom);
                connection->sync();  // it may not have been set
                for (const auto& crtc : saved.crtcs)
                    setPanning(display, resources.get(), crtc.crtc, XRRPanning{});
                for (const auto& crtc : saved.crtcs)
                    moveCrtc(display, resources.get(), crtc, crtc.x, crtc.y);
                XRRSetScreenSize(display, root, saved.width, saved.height, saved.mmWidth,
                                 saved.mmHeight);
                for (const auto& crtc : saved.crtcs) {
                    if (panningSet(crtc.panning))
                        setPanning(display, resources.get(), crtc.crtc, crtc.panning);
                }
            }
            connection->sync();
        }

        void remove() {
            if (connection->broken()) return;
            Display* display = connection->display();
            Window root = connection->root();
            connection->sync();
            if (atom != None) XRRDeleteMonitor(display, root, atom);
            connection->sync();  // gone already when something else deleted it
            if (intact()) {
                restoreSaved();
            } else {
                // Something else rearranged the outputs: keep its arrangement, drop ours.
                logger()->info("{}",
                               "the outputs changed under the virtual display; only its "
                               "monitor and panning are removed");
                dropTracking(*connection);
            }
            shown = false;
            if (connection->broken()) {
                logger()->info("virtual display {} gone with the X server", id);
            } else {
                logger()->info("virtual display {} ({}) removed", id, name);
            }
        }
    };

    std::shared_ptr<Core> core_;
};

}  // namespace

bool monitorRouteAvailable(Display* display, std::string* why) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 5)) {
        if (why) *why = "the X server has no spare output and no RandR 1.5 for a monitor";
        return false;
    }
    return true;
}

void cleanUpLeftoverMonitors(X11Connection& connection) {
    Display* display = connection.display();
    if (!monitorRouteAvailable(display)) return;
    Window root = connection.root();
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, False, &count);
    if (!monitors) return;
    struct Leftover {
        Atom atom;
        std::string name;
        int x, width;
    };
    std::vector<Leftover> leftovers;
    for (int i = 0; i < count; ++i) {
        std::string name = atomName(display, monitors[i].name);
        if (name.starts_with(kMonitorPrefix) &&
            !isRegisteredDisplay(monitorDisplayID(monitors[i].name)) &&
            !ownedByAnotherLiveProcess(name)) {
            leftovers.push_back(
                {monitors[i].name, std::move(name), monitors[i].x, monitors[i].width});
        }
    }
    XRRFreeMonitors(monitors);
    if (leftovers.empty()) return;
    for (const auto& leftover : leftovers) {
        {
            ServerGrab grab(display);
            XRRDeleteMonitor(display, root, leftover.atom);
            // A display left of the outputs had moved them right by its width: move them back.
            auto now = readScreen(display);
            Resources resources(XRRGetScreenResourcesCurrent(display, root));
            if (now && resources && leftover.x == 0) {
                int left = now->width;
                for (const auto& crtc : now->crtcs)
                    left = std::min(left, crtc.x);
                if (left == leftover.width) {
                    for (const auto& crtc : now->crtcs)
                        setPanning(display, resources.get(), crtc.crtc, XRRPanning{});
                    for (const auto& crtc : now->crtcs)
                        moveCrtc(display, resources.get(), crtc, crtc.x - left, crtc.y);
                }
            }
        }
        connection.sync();
        logger()->info("{}", "removed the leftover virtual display monitor " + leftover.name);
    }
    dropTracking(connection);
}

std::unique_ptr<PlatformVirtualDisplay> makeMonitorDisplay(
    std::unique_ptr<X11Connection> connection, int scale) {
    return std::make_unique<MonitorDisplay>(std::move(connection), scale);
}

std::string gnomeWindowManager(Display* display) {
    Window root = DefaultRootWindow(display);
    auto windowProperty = [&](Window w, const char* name, Atom type) -> std::string {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::string value;
        if (XGetWindowProperty(display, w, XInternAtom(display, name, False), 0, 64, False, type,
                               &actual, &format, &count, &after, &data) == Success &&
            data && actual == type) {
            if (type == XA_WINDOW && format == 32 && count == 1) {
                value = std::to_string(*reinterpret_cast<unsigned long*>(data));
            } else if (format == 8) {
                value.assign(reinterpret_cast<char*>(data), count);
            }
        }
        if (data) XFree(data);
        return value;
    };
    const std::string check = windowProperty(root, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    if (check.empty()) return {};
    const Window wm = std::stoul(check);
    const std::string wmName =
        windowProperty(wm, "_NET_WM_NAME", XInternAtom(display, "UTF8_STRING", False));
    const bool gnome = wmName.starts_with("GNOME") || wmName.find("Mutter") != std::string::npos ||
                       wmName.find("mutter") != std::string::npos;
    return gnome ? wmName : std::string{};
}

}  // namespace panelora::x11
