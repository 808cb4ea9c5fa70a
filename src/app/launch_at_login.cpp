#include "app/launch_at_login.h"

#include "support/log.h"

namespace panelora {

LaunchAtLoginToggle::LaunchAtLoginToggle(std::shared_ptr<LoginItemBackend> backend)
    : backend_(std::move(backend)),
      enabled_(backend_->status() == LoginItemBackend::Status::enabled) {}

void LaunchAtLoginToggle::setLaunchAtLogin(bool enable) {
    std::optional<std::string> error = enable ? backend_->registerApp() : backend_->unregisterApp();
    if (error) log::get("app")->error("{}", "Launch at login failed: " + *error);
    enabled_ = backend_->status() == LoginItemBackend::Status::enabled;
}

}  // namespace panelora
