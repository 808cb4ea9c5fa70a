#include "app/version.h"

#ifndef PANELORA_VERSION
#define PANELORA_VERSION ""
#endif

namespace panelora {

std::string currentVersion() {
    std::string version = PANELORA_VERSION;
    return version.empty() ? "0" : version;
}

}  // namespace panelora
