#include "platform/linux/x11/x11_display_registry.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/x11/randr_handles.h"

namespace panelora::x11 {

bool isAnotherLiveProcess(std::string_view text) {
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (ec != std::errc() || end == text.data() || pid <= 0 || pid == getpid()) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

namespace {

struct Entry {
    RROutput output = 0;
    RRMode mode = 0;
    std::shared_ptr<MonitorMover> mover;  // monitor displays only
};

struct Registry {
    std::mutex mutex;
    std::map<DisplayID, Entry> entries;  // guarded by mutex
};

Registry& registry() {
    static auto* instance = new Registry;  // never destroyed: displays may be released late
    return *instance;
}

std::optional<DisplayID> registeredIdFor(RROutput output) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& [id, entry] : r.entries) {
        if (entry.output != 0 && entry.output == output) return id;
    }
    return std::nullopt;
}

std::string modeName(const XRRScreenResources& resources, RRMode mode) {
    for (int i = 0; i < resources.nmode; ++i) {
        if (resources.modes[i].id == mode) {
            return std::string(resources.modes[i].name, resources.modes[i].nameLength);
        }
    }
    return {};
}

// The "PANELORA-" monitors inside the screen; one the screen no longer holds (something shrank
// it) is no display: reading it would fail or show nothing.
void appendMonitors(Display* display, std::vector<OutputPlacement>& result) {
    int major = 0, minor = 0;
    if (!XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 5)) return;
    Window root = DefaultRootWindow(display);
    int count = 0;
    std::unique_ptr<XRRMonitorInfo, MonitorsDeleter> monitors(
        XRRGetMonitors(display, root, False, &count));
    if (!monitors || count == 0) return;
    Window rootReturn;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XGetGeometry(display, root, &rootReturn, &x, &y, &width, &height, &border, &depth);
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors.get()[i];
        if (m.noutput != 0 || m.x < 0 || m.y < 0 || m.width <= 0 || m.height <= 0 ||
            m.x + m.width > static_cast<int>(width) || m.y + m.height > static_cast<int>(height)) {
            continue;
        }
        char* name = XGetAtomName(display, m.name);
        const bool ours = name && std::string_view(name).starts_with(kMonitorPrefix);
        if (name) XFree(name);
        if (!ours) continue;
        OutputPlacement placement;
        placement.id = monitorDisplayID(m.name);
        placement.name = "monitor";
        placement.bounds = Rect{static_cast<double>(m.x), static_cast<double>(m.y),
                                static_cast<double>(m.width), static_cast<double>(m.height)};
        placement.isVirtual = true;
        placement.isMonitor = true;
        result.push_back(std::move(placement));
    }
}

}  // namespace

std::vector<OutputPlacement> enabledOutputs(Display* display) {
    std::vector<OutputPlacement> result;
    Window root = DefaultRootWindow(display);
    std::unique_ptr<XRRScreenResources, ResourcesDeleter> resources(
        XRRGetScreenResourcesCurrent(display, root));
    if (!resources) return result;
    for (int i = 0; i < resources->noutput; ++i) {
        std::unique_ptr<XRROutputInfo, OutputInfoDeleter> info(
            XRRGetOutputInfo(display, resources.get(), resources->outputs[i]));
        if (!info || info->crtc == None) continue;
        std::unique_ptr<XRRCrtcInfo, CrtcInfoDeleter> crtc(
            XRRGetCrtcInfo(display, resources.get(), info->crtc));
        if (!crtc || crtc->mode == None || crtc->width == 0 || crtc->height == 0) continue;
        OutputPlacement placement;
        placement.output = resources->outputs[i];
        placement.crtc = info->crtc;
        placement.mode = crtc->mode;
        placement.name.assign(info->name, static_cast<size_t>(info->nameLen));
        placement.bounds =
            Rect{static_cast<double>(crtc->x), static_cast<double>(crtc->y),
                 static_cast<double>(crtc->width), static_cast<double>(crtc->height)};
        if (auto id = registeredIdFor(placement.output)) {
            placement.id = *id;
            placement.isVirtual = true;
        } else if (modeName(*resources, crtc->mode).starts_with(kModePrefix)) {
            placement.id = static_cast<DisplayID>(crtc->mode);
            placement.isVirtual = true;
        } else {
            placement.id = static_cast<DisplayID>(placement.output);
        }
        result.push_back(std::move(placement));
    }
    appendMonitors(display, result);
    return result;
}

std::optional<OutputPlacement> findDisplay(Display* display, DisplayID id) {
    if (id == 0) return std::nullopt;
    for (auto& placement : enabledOutputs(display)) {
        if (placement.id == id) return placement;
    }
    return std::nullopt;
}

std::optional<Rect> displayBounds(Display* display, DisplayID id) {
    auto placement = findDisplay(display, id);
    if (!placement) return std::nullopt;
    return placement->bounds;
}

void registerVirtualDisplay(DisplayID id, RROutput output, RRMode mode) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries[id] = Entry{output, mode, nullptr};
}

void unregisterVirtualDisplay(DisplayID id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries.erase(id);
}

DisplayID monitorDisplayID(Atom name) {
    return static_cast<DisplayID>(name) | 0x40000000u;
}

void registerMonitorDisplay(DisplayID id, MonitorMover mover) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries[id] = Entry{0, 0, std::make_shared<MonitorMover>(std::move(mover))};
}

std::shared_ptr<MonitorMover> monitorMover(DisplayID id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.entries.find(id);
    return found == r.entries.end() ? nullptr : found->second.mover;
}

bool isRegisteredDisplay(DisplayID id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.entries.contains(id);
}

bool isRegisteredMode(RRMode mode) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& [id, entry] : r.entries) {
        if (entry.mode != 0 && entry.mode == mode) return true;
    }
    return false;
}

}  // namespace panelora::x11
