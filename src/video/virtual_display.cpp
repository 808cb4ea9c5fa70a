#include "video/virtual_display.h"

#include <algorithm>
#include <limits>

namespace panelora {
namespace {

constexpr uint32_t kProductID = 0xE9AD;
constexpr double kPixelsPerInch = 264.0;
constexpr double kMillimetersPerInch = 25.4;

constexpr int64_t kMaxU32 = std::numeric_limits<uint32_t>::max();

uint32_t clampToU32(int64_t value) {
    return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, kMaxU32));
}

// Twice the logical size, when that is a usable pixel count.
bool fitsBackingSize(int64_t logical) {
    return logical >= 1 && logical <= kMaxU32 / 2;
}

}  // namespace

VirtualDisplayDescriptor VirtualDisplay::descriptorFor(const StreamProfile& profile,
                                                       uint32_t serial) {
    VirtualDisplayDescriptor descriptor;
    descriptor.name = "Panelora";
    descriptor.maxPixelsWide =
        clampToU32(2 * std::clamp<int64_t>(profile.logicalWidth, 0, kMaxU32));
    descriptor.maxPixelsHigh =
        clampToU32(2 * std::clamp<int64_t>(profile.logicalHeight, 0, kMaxU32));
    // A 264 pixels-per-inch panel.
    descriptor.widthMillimeters = descriptor.maxPixelsWide / kPixelsPerInch * kMillimetersPerInch;
    descriptor.heightMillimeters = descriptor.maxPixelsHigh / kPixelsPerInch * kMillimetersPerInch;
    descriptor.productID = kProductID;
    descriptor.vendorID = kProductID;
    descriptor.serialNum = serial;
    return descriptor;
}

VirtualDisplaySettings VirtualDisplay::settingsFor(const StreamProfile& profile) {
    VirtualDisplaySettings settings;
    settings.hiDPI = true;
    settings.modes.push_back(VirtualDisplayMode{clampToU32(profile.logicalWidth),
                                                clampToU32(profile.logicalHeight),
                                                static_cast<double>(profile.fps)});
    settings.encodedWidth = clampToU32(profile.width);
    settings.encodedHeight = clampToU32(profile.height);
    return settings;
}

std::unique_ptr<VirtualDisplay> VirtualDisplay::create(VirtualDisplayBackend& backend,
                                                       const StreamProfile& profile,
                                                       uint32_t serial) {
    // negotiate() never yields such sizes; a hand-made profile must not wrap around.
    if (!fitsBackingSize(profile.logicalWidth) || !fitsBackingSize(profile.logicalHeight)) {
        return nullptr;
    }
    std::unique_ptr<PlatformVirtualDisplay> display =
        backend.create(descriptorFor(profile, serial));
    if (!display) return nullptr;
    // On refusal `display` goes out of scope here, which removes the half-made display.
    if (!display->applySettings(settingsFor(profile))) return nullptr;
    return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(std::move(display)));
}

}  // namespace panelora
