// Owners of the structures RandR hands out, freed with RandR's own functions.
#pragma once

#include <X11/extensions/Xrandr.h>

#include <memory>

namespace panelora::x11 {

struct ResourcesDeleter {
    void operator()(XRRScreenResources* p) const { XRRFreeScreenResources(p); }
};
struct OutputInfoDeleter {
    void operator()(XRROutputInfo* p) const { XRRFreeOutputInfo(p); }
};
struct CrtcInfoDeleter {
    void operator()(XRRCrtcInfo* p) const { XRRFreeCrtcInfo(p); }
};

using Resources = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputInfoDeleter>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcInfoDeleter>;

}  // namespace panelora::x11
