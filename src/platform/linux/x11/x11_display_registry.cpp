#include "platform/linux/x11/x11_display_registry.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/x11/randr_handles.h"

namespace panelora::x11 {
namespace {

struct Entry {
    RROutput output;
    RRMode mode;
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
        if (entry.output == output) return id;
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
    r.entries[id] = Entry{output, mode};
}

void unregisterVirtualDisplay(DisplayID id) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries.erase(id);
}

bool isRegisteredMode(RRMode mode) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& [id, entry] : r.entries) {
        if (entry.mode == mode) return true;
    }
    return false;
}

}  // namespace panelora::x11
