// VirtualDisplay: owns one virtual display of the platform for as long as a session holds it.
// Creating it adds the display; destroying it removes it. Created on the session's start thread,
// destroyed on whichever thread drops the last reference (the session's end path).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/stream_profile.h"
#include "support/geometry.h"

namespace panelora {

// What the platform is asked to create, computed from the stream profile.
struct VirtualDisplayDescriptor {
    std::string name;
    uint32_t maxPixelsWide = 0;
    uint32_t maxPixelsHigh = 0;
    double widthMillimeters = 0;
    double heightMillimeters = 0;
    uint32_t productID = 0;
    uint32_t vendorID = 0;
    uint32_t serialNum = 0;
};

struct VirtualDisplayMode {
    uint32_t width = 0;   // points
    uint32_t height = 0;  // points
    double refreshRate = 0;
};

struct VirtualDisplaySettings {
    bool hiDPI = true;
    std::vector<VirtualDisplayMode> modes;
    // The stream's encoded size in pixels. A backend that chooses the display's pixel size itself
    // (GNOME) makes it this, so that the capture needs no scaling; 0 leaves it to the backend.
    uint32_t encodedWidth = 0;
    uint32_t encodedHeight = 0;
};

// The platform's display object. Destroying it removes the display from the system.
class PlatformVirtualDisplay {
  public:
    virtual ~PlatformVirtualDisplay() = default;
    virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
    virtual DisplayID displayID() const = 0;
};

// Seam to the platform: one per process, implemented by each backend.
class VirtualDisplayBackend {
  public:
    virtual ~VirtualDisplayBackend() = default;
    // Nothing when the platform refuses the descriptor.
    virtual std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) = 0;
};

class VirtualDisplay {
  public:
    // Nothing when the platform refuses the descriptor or the settings; nothing is left behind.
    static std::unique_ptr<VirtualDisplay> create(VirtualDisplayBackend& backend,
                                                  const StreamProfile& profile, uint32_t serial);

    static VirtualDisplayDescriptor descriptorFor(const StreamProfile& profile, uint32_t serial);
    static VirtualDisplaySettings settingsFor(const StreamProfile& profile);

    DisplayID displayID() const { return display_->displayID(); }

  private:
    explicit VirtualDisplay(std::unique_ptr<PlatformVirtualDisplay> display)
        : display_(std::move(display)) {}
    std::unique_ptr<PlatformVirtualDisplay> display_;
};

}  // namespace panelora
