// A second private Xorg for the X11 virtual display's monitor route: every DUMMYn output has
// been shown once, so the dummy driver reports each as connected and none is spare, as on the
// modesetting, amdgpu or nvidia drivers. One per test binary, started on first use and stopped at
// exit; tests put the screen back to DUMMY0 alone at (0, 0), as they found it.
#pragma once

#include <string>

#include "xorg_server.h"

namespace panelora::test {

XorgServer* busyOutputsServer();
const std::string& busyOutputsSkipReason();

}  // namespace panelora::test
