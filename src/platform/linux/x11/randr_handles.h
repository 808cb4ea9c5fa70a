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

struct MonitorsDeleter {
    void operator()(XRRMonitorInfo* p) const { XRRFreeMonitors(p); }
};

using Resources = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputInfoDeleter>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcInfoDeleter>;

// Holds the server grabbed so that no other client rearranges outputs between our reads and
// writes (as xrandr does).
class ServerGrab {
  public:
    explicit ServerGrab(Display* display) : display_(display) { XGrabServer(display_); }
    ~ServerGrab() {
        XUngrabServer(display_);
        XFlush(display_);
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;

  private:
    Display* display_;
};

}  // namespace panelora::x11
