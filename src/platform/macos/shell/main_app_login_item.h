// Launch at login on macOS: the application's own registration with ServiceManagement
// (SMAppService.mainAppService), which the system keeps and shows in its Login Items settings.
//
// Main queue only.
#pragma once

#include "app/launch_at_login.h"

namespace panelora {

class MainAppLoginItem final : public LoginItemBackend {
  public:
    std::optional<std::string> registerApp() override;
    std::optional<std::string> unregisterApp() override;
    Status status() override;
};

}  // namespace panelora
