#include "app/version.h"

#include "update/update_checker.h"

namespace panelora {

// One value for the menu's version line and the update check.
std::string currentVersion() {
    return UpdateChecker::currentVersion();
}

}  // namespace panelora
