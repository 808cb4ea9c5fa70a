#include "xorg_busy_outputs.h"

#include "x11_helpers.h"

namespace panelora::test {
namespace {

struct Busy {
    std::string skipReason;
    std::unique_ptr<XorgServer> server;

    Busy() {
        server = XorgServer::start(&skipReason, {.firstDisplayNumber = 90});
        if (!server) return;
        // The dummy driver reports an output connected from its first mode on, also once it is
        // off again.
        auto d = openDisplay(server->displayName());
        for (int n = 1; d && n < 16; ++n)
            SpareOutput::enable(d.get(), "DUMMY" + std::to_string(n), 800, 600, 0, 0);
        // RandR learns of it on the next poll of the outputs (XRRGetScreenResources, as xrandr).
        if (d) XRRFreeScreenResources(XRRGetScreenResources(d.get(), DefaultRootWindow(d.get())));
    }
};

Busy& busy() {
    static Busy state;
    return state;
}

}  // namespace

XorgServer* busyOutputsServer() {
    return busy().server.get();
}

const std::string& busyOutputsSkipReason() {
    return busy().skipReason;
}

}  // namespace panelora::test
