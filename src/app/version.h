// The running version, as the build names it.
#pragma once

#include <string>

namespace panelora {

// The project version the build was configured with ("0.1.0"), or "0" when it has none. The
// menu's version line and the update check both show this value.
std::string currentVersion();

}  // namespace panelora
