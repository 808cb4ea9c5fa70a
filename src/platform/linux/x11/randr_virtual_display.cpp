#include "platform/linux/x11/randr_virtual_display.h"

#include <X11/Xatom.h>
#include <X11/Xresource.h>
#include <X11/extensions/Xrandr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "platform/linux/x11/desktop_scale.h"
#include "platform/linux/x11/randr_handles.h"
#include "platform/linux/x11/randr_monitor_display.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/xlib/x11_connection.h"
#include "support/log.h"

namespace panelora {
namespace {

using x11::CrtcInfo;
using x11::OutputInfo;
using x11::Resources;
using x11::ServerGrab;

auto logger() {
    return log::get("display");
}

// Outputs picked by a display of this process that has not yet enabled them.
std::mutex claimedMutex;
std::set<RROutput> claimedOutputs;  // guarded by claimedMutex

std::atomic<uint32_t> modeCounter{0};

constexpr double kMillimetresPerPixel = 25.4 / 96.0;

struct Size {
    int width = 0;
    int height = 0;
};

Size rootSize(Display* display) {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                 &depth);
    return {static_cast<int>(width), static_cast<int>(height)};
}

// The bounding box (from the origin) of every enabled CRTC except `skip`, grown by `extra`.
Size crtcBoundingBox(Display* display, const XRRScreenResources& resources, RRCrtc skip,
                     const Rect* extra) {
    Size box;
    for (int i = 0; i < resources.ncrtc; ++i) {
        if (resources.crtcs[i] == skip) continue;
        CrtcInfo crtc(XRRGetCrtcInfo(display, const_cast<XRRScreenResources*>(&resources),
                                     resources.crtcs[i]));
        if (!crtc || crtc->mode == None) continue;
        box.width = std::max(box.width, crtc->x + static_cast<int>(crtc->width));
        box.height = std::max(box.height, crtc->y + static_cast<int>(crtc->height));
    }
    if (extra) {
        box.width = std::max(box.width, static_cast<int>(extra->maxX()));
        box.height = std::max(box.height, static_cast<int>(extra->maxY()));
    }
    return box;
}

void setScreenSize(Display* display, Size size) {
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    XRRGetScreenSizeRange(display, DefaultRootWindow(display), &minWidth, &minHeight, &maxWidth,
                          &maxHeight);
    size.width = std::clamp(size.width, minWidth, maxWidth);
    size.height = std::clamp(size.height, minHeight, maxHeight);
    Size current = rootSize(display);
    if (current.width == size.width && current.height == size.height) return;
    XRRSetScreenSize(display, DefaultRootWindow(display), size.width, size.height,
                     static_cast<int>(std::lround(size.width * kMillimetresPerPixel)),
                     static_cast<int>(std::lround(size.height * kMillimetresPerPixel)));
}

bool disableCrtc(Display* display, XRRScreenResources* resources, RRCrtc crtc) {
    return XRRSetCrtcConfig(display, resources, crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr,
                            0) == RRSetConfigSuccess;
}

bool isSpareOutputName(std::string_view name) {
    return name.starts_with("DUMMY") || name.starts_with("VIRTUAL");
}

// An output property left on every output this program has shown a display on. Drivers such as
// the dummy one report an output as connected from its first mode on, also once it is off again;
// the mark tells an output we released (spare again) from one that something else connected.
constexpr const char* kUsedOutputProperty = "PANELORA_VIRTUAL_DISPLAY";

Atom usedOutputAtom(Display* display) {
    return XInternAtom(display, kUsedOutputProperty, False);
}

void markUsed(Display* display, RROutput output) {
    long one = 1;
    XRRChangeOutputProperty(display, output, usedOutputAtom(display), XA_INTEGER, 32,
                            PropModeReplace, reinterpret_cast<unsigned char*>(&one), 1);
}

bool markedUsed(Display* display, RROutput output) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int status = XRRGetOutputProperty(display, output, usedOutputAtom(display), 0, 1, False, False,
                                      XA_INTEGER, &type, &format, &count, &after, &data);
    bool marked = status == Success && type == XA_INTEGER && count == 1;
    if (data) XFree(data);
    return marked;
}

// True when the mode was made by another process that is still running ("panelora-WxH-PID-N"):
// its display is alive, not left over, and taking it away would pull it from under that copy.
bool ownedByAnotherLiveProcess(std::string_view name) {
    name.remove_prefix(x11::kModePrefix.size());
    auto dash = name.find('-');
    if (dash == std::string_view::npos) return false;
    name.remove_prefix(dash + 1);
    return x11::isAnotherLiveProcess(name);
}

// Disables and deletes every "panelora-" mode that no live display owns: not one of this
// process, nor of another copy still running.
void cleanUpLeftovers(X11Connection& connection) {
    Display* display = connection.display();
    ServerGrab grab(display);
    Resources resources(XRRGetScreenResourcesCurrent(display, connection.root()));
    if (!resources) return;
    std::vector<std::pair<RRMode, std::string>> leftovers;
    for (int i = 0; i < resources->nmode; ++i) {
        const XRRModeInfo& mode = resources->modes[i];
        std::string name(mode.name, mode.nameLength);
        if (name.starts_with(x11::kModePrefix) && !x11::isRegisteredMode(mode.id) &&
            !ownedByAnotherLiveProcess(name)) {
            leftovers.emplace_back(mode.id, std::move(name));
        }
    }
    if (leftovers.empty()) return;
    bool disabledAny = false;
    for (const auto& [mode, name] : leftovers) {
        for (int i = 0; i < resources->ncrtc; ++i) {
            CrtcInfo crtc(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[i]));
            if (crtc && crtc->mode == mode) {
                disabledAny |= disableCrtc(display, resources.get(), resources->crtcs[i]);
            }
        }
        for (int i = 0; i < resources->noutput; ++i) {
            OutputInfo info(XRRGetOutputInfo(display, resources.get(), resources->outputs[i]));
            if (!info) continue;
            if (std::find(info->modes, info->modes + info->nmode, mode) !=
                info->modes + info->nmode) {
                XRRDeleteOutputMode(display, resources->outputs[i], mode);
            }
        }
        XRRDestroyMode(display, mode);
        logger()->info("{}", "removed the leftover virtual display mode " + name);
    }
    if (disabledAny) {
        Resources now(XRRGetScreenResourcesCurrent(display, connection.root()));
        if (now) setScreenSize(display, crtcBoundingBox(display, *now, None, nullptr));
    }
    connection.sync();
}

struct SpareOutput {
    RROutput output;
    RRCrtc crtc;
    std::string name;
};

// A DUMMYn or VIRTUALn output, disconnected or released by Panelora, not the primary and not
// claimed by a display of this process, with a free CRTC. Call with claimedMutex held.
std::optional<SpareOutput> findSpareOutput(Display* display, Window root,
                                           XRRScreenResources& resources) {
    RROutput primary = XRRGetOutputPrimary(display, root);
    std::set<RRCrtc> busyCrtcs;
    for (int i = 0; i < resources.ncrtc; ++i) {
        CrtcInfo crtc(XRRGetCrtcInfo(display, &resources, resources.crtcs[i]));
        if (!crtc || crtc->mode != None || crtc->noutput > 0) busyCrtcs.insert(resources.crtcs[i]);
    }
    for (int i = 0; i < resources.noutput; ++i) {
        RROutput output = resources.outputs[i];
        if (output == primary || claimedOutputs.contains(output)) continue;
        OutputInfo info(XRRGetOutputInfo(display, &resources, output));
        if (!info || info->crtc != None) continue;
        std::string name(info->name, static_cast<size_t>(info->nameLen));
        if (!isSpareOutputName(name)) continue;
        if (info->connection == RR_Connected && !markedUsed(display, output)) continue;
        for (int c = 0; c < info->ncrtc; ++c) {
            if (!busyCrtcs.contains(info->crtcs[c]))
                return SpareOutput{output, info->crtcs[c], name};
        }
    }
    return std::nullopt;
}

class RandrVirtualDisplay final : public PlatformVirtualDisplay {
  public:
    RandrVirtualDisplay(std::unique_ptr<X11Connection> connection, RROutput output, RRCrtc crtc,
                        std::string outputName, int scale)
        : connection_(std::move(connection)),
          output_(output),
          crtc_(crtc),
          outputName_(std::move(outputName)),
          scale_(scale) {}

    ~RandrVirtualDisplay() override {
        std::lock_guard lock(mutex_);
        if (mode_ != None) teardown();
        if (id_ != 0) x11::unregisterVirtualDisplay(id_);
        std::lock_guard claimed(claimedMutex);
        claimedOutputs.erase(output_);
    }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        if (settings.modes.empty()) return false;
        const VirtualDisplayMode& wanted = settings.modes.front();
        std::lock_guard lock(mutex_);
        if (connection_->broken()) return false;
        Display* display = connection_->display();
        const int64_t scale = scale_ > 0 ? scale_ : desktopScaleFactor(display);
        const int64_t width = static_cast<int64_t>(wanted.width) * scale;
        const int64_t height = static_cast<int64_t>(wanted.height) * scale;
        int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
        XRRGetScreenSizeRange(display, connection_->root(), &minWidth, &minHeight, &maxWidth,
                              &maxHeight);
        if (width < 1 || height < 1 || width > maxWidth || height > maxHeight) {
            logger()->warn("{}", "virtual display size " + std::to_string(width) + "x" +
                                     std::to_string(height) +
                                     " is outside what the X server allows");
            return false;
        }
        RRMode mode =
            createMode(static_cast<int>(width), static_cast<int>(height), wanted.refreshRate);
        if (mode == None) return false;
        if (!enable(mode, static_cast<int>(width), static_cast<int>(height))) {
            XRRDeleteOutputMode(display, output_, mode);
            XRRDestroyMode(display, mode);
            connection_->sync();
            return false;
        }
        RRMode previous = mode_;
        mode_ = mode;
        if (previous != None) {
            XRRDeleteOutputMode(display, output_, previous);
            XRRDestroyMode(display, previous);
            connection_->sync();
        }
        if (id_ == 0) id_ = static_cast<DisplayID>(mode);
        x11::registerVirtualDisplay(id_, output_, mode_);
        logger()->info("{}", "virtual display " + std::to_string(id_) + " on the spare output " +
                                 outputName_ + ": " + std::to_string(width) + "x" +
                                 std::to_string(height));
        return true;
    }

    DisplayID displayID() const override {
        std::lock_guard lock(mutex_);
        return id_;
    }

  private:
    RRMode createMode(int width, int height, double refreshRate) {
        Display* display = connection_->display();
        std::string name = std::string(x11::kModePrefix) + std::to_string(width) + "x" +
                           std::to_string(height) + "-" + std::to_string(getpid()) + "-" +
                           std::to_string(++modeCounter);
        double rate = refreshRate > 0 ? refreshRate : 60.0;
        XRRModeInfo info;
        std::memset(&info, 0, sizeof info);
        info.width = static_cast<unsigned>(width);
        info.height = static_cast<unsigned>(height);
        // Reduced-blanking style timings; the dummy and virtual outputs take any.
        info.hSyncStart = info.width + 48;
        info.hSyncEnd = info.width + 80;
        info.hTotal = info.width + 160;
        info.vSyncStart = info.height + 3;
        info.vSyncEnd = info.height + 8;
        info.vTotal = info.height + 30;
        info.dotClock = static_cast<unsigned long>(
            std::llround(static_cast<double>(info.hTotal) * info.vTotal * rate));
        info.name = name.data();
        info.nameLength = static_cast<unsigned>(name.size());
        info.modeFlags = RR_HSyncPositive | RR_VSyncNegative;
        RRMode mode = XRRCreateMode(display, connection_->root(), &info);
        if (!connection_->sync() || mode == None) {
            logger()->warn("{}", "the X server refused to create the mode " + name);
            return None;
        }
        XRRAddOutputMode(display, output_, mode);
        if (!connection_->sync()) {
            logger()->warn("{}", outputName_ + " refused the mode " + name);
            XRRDestroyMode(display, mode);
            connection_->sync();
            return None;
        }
        return mode;
    }

    // Shows `mode` on our CRTC to the right of the primary output, top aligned, growing the
    // screen first when the display reaches past it.
    bool enable(RRMode mode, int width, int height) {
        Display* display = connection_->display();
        bool ok = false;
        {
            ServerGrab grab(display);
            Resources resources(XRRGetScreenResourcesCurrent(display, connection_->root()));
            if (!resources) return false;
            Rect target = placement(width, height);
            Size needed = crtcBoundingBox(display, *resources, crtc_, &target);
            Size current = rootSize(display);
            setScreenSize(display, {std::max(needed.width, current.width),
                                    std::max(needed.height, current.height)});
            RROutput output = output_;
            markUsed(display, output_);
            ok = XRRSetCrtcConfig(display, resources.get(), crtc_, CurrentTime,
                                  static_cast<int>(target.x), static_cast<int>(target.y), mode,
                                  RR_Rotate_0, &output, 1) == RRSetConfigSuccess;
            if (!ok) setScreenSize(display, crtcBoundingBox(display, *resources, None, nullptr));
        }
        ok = connection_->sync() && ok;
        if (!ok) logger()->warn("{}", "the X server refused to enable " + outputName_);
        return ok;
    }

    // Right of the primary output (or of the first enabled one), top aligned; further right
    // when another output already sits there.
    Rect placement(int width, int height) {
        Display* display = connection_->display();
        auto enabled = x11::enabledOutputs(display);
        RROutput primary = XRRGetOutputPrimary(display, connection_->root());
        const x11::OutputPlacement* anchor = nullptr;
        for (const auto& o : enabled) {
            if (o.output == output_) continue;
            if (o.output == primary || !anchor) anchor = &o;
            if (o.output == primary) break;
        }
        Rect target{anchor ? anchor->bounds.maxX() : 0, anchor ? anchor->bounds.minY() : 0,
                    static_cast<double>(width), static_cast<double>(height)};
        for (const auto& o : enabled) {
            if (o.output == output_) continue;
            bool overlaps = o.bounds.minX() < target.maxX() && target.minX() < o.bounds.maxX() &&
                            o.bounds.minY() < target.maxY() && target.minY() < o.bounds.maxY();
            if (overlaps) {
                double right = 0;
                for (const auto& other : enabled) {
                    if (other.output != output_) right = std::max(right, other.bounds.maxX());
                }
                target.x = right;
                break;
            }
        }
        return target;
    }

    void teardown() {
        if (connection_->broken()) return;
        Display* display = connection_->display();
        {
            ServerGrab grab(display);
            Resources resources(XRRGetScreenResourcesCurrent(display, connection_->root()));
            if (resources) {
                disableCrtc(display, resources.get(), crtc_);
                setScreenSize(display, crtcBoundingBox(display, *resources, crtc_, nullptr));
            }
        }
        XRRDeleteOutputMode(display, output_, mode_);
        XRRDestroyMode(display, mode_);
        if (connection_->broken()) {
            logger()->info("{}", "virtual display on " + outputName_ + " gone with the X server");
        } else if (!connection_->sync()) {
            logger()->warn("{}", "removing the virtual display on " + outputName_ +
                                     " left an X error " +
                                     std::to_string(connection_->lastErrorCode()));
        } else {
            logger()->info(
                "{}", "virtual display " + std::to_string(id_) + " on " + outputName_ + " removed");
        }
        mode_ = None;
    }

    mutable std::mutex mutex_;
    const std::unique_ptr<X11Connection> connection_;  // X calls under mutex_
    const RROutput output_;
    const RRCrtc crtc_;
    const std::string outputName_;
    const int scale_;
    RRMode mode_ = None;  // guarded by mutex_
    DisplayID id_ = 0;    // guarded by mutex_
};

}  // namespace

X11VirtualDisplayBackend::X11VirtualDisplayBackend(std::string displayName, int scale, Route route)
    : displayName_(std::move(displayName)), scale_(scale), route_(route) {}

bool X11VirtualDisplayBackend::available(std::string* why) const {
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    auto connection = X11Connection::open(displayName_, why);
    if (!connection) return false;
    Display* display = connection->display();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 2)) {
        return fail("the X server lacks RandR 1.2");
    }
    Resources resources(XRRGetScreenResourcesCurrent(display, connection->root()));
    if (!resources) return fail("the X server gave no RandR resources");
    if (route_ != Route::monitor) {
        std::lock_guard claimed(claimedMutex);
        if (!claimedOutputs.empty() || findSpareOutput(display, connection->root(), *resources)) {
            return true;
        }
    }
    if (route_ != Route::spareOutput) return x11::monitorRouteAvailable(display, why);
    return fail("the X server has no spare output (a DUMMYn or VIRTUALn output)");
}

std::unique_ptr<PlatformVirtualDisplay> X11VirtualDisplayBackend::create(
    const VirtualDisplayDescriptor& /*descriptor*/) {
    std::string why;
    auto connection = X11Connection::open(displayName_, &why);
    if (!connection) {
        logger()->warn("{}", "no virtual display: " + why);
        return nullptr;
    }
    Display* display = connection->display();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) ||
        !XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 2)) {
        logger()->warn("{}", "no virtual display: the X server lacks RandR 1.2");
        return nullptr;
    }
    cleanUpLeftovers(*connection);
    x11::cleanUpLeftoverMonitors(*connection);

    Resources resources(XRRGetScreenResourcesCurrent(display, connection->root()));
    if (!resources) {
        logger()->warn("{}", "no virtual display: the X server gave no RandR resources");
        return nullptr;
    }
    if (route_ != Route::monitor) {
        std::lock_guard claimed(claimedMutex);
        if (auto spare = findSpareOutput(display, connection->root(), *resources)) {
            claimedOutputs.insert(spare->output);
            return std::make_unique<RandrVirtualDisplay>(
                std::move(connection), spare->output, spare->crtc, std::move(spare->name), scale_);
        }
    }
    if (route_ != Route::spareOutput) {
        if (x11::monitorRouteAvailable(display, &why))
            return x11::makeMonitorDisplay(std::move(connection), scale_);
        logger()->warn("{}", "no virtual display: " + why);
        return nullptr;
    }
    logger()->warn(
        "{}",
        "no virtual display: the X server has no spare output (a DUMMYn or VIRTUALn output, "
        "disconnected or released by Panelora, with a free CRTC) to show it on");
    return nullptr;
}

}  // namespace panelora
