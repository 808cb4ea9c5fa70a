// The virtual display on macOS: a CoreGraphics CGVirtualDisplay made from the core's descriptor,
// HiDPI with the one mode the core asks for. Releasing the object removes the display. Creation
// runs on the session's start thread; the window server calls back on the main queue.
#pragma once

#include "video/virtual_display.h"

namespace panelora {

class MacVirtualDisplayBackend final : public VirtualDisplayBackend {
  public:
    // Nothing when the window server refuses the descriptor.
    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override;
};

}  // namespace panelora
