// Launch at login: the menu's toggle over the platform's login-item registration. The platform
// keeps the registration; the toggle only shows what the platform last reported.
//
// Main queue only.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace panelora {

class LoginItemBackend {
  public:
    enum class Status { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

    virtual ~LoginItemBackend() = default;

    // Nothing on success, else the failure's user-facing description.
    virtual std::optional<std::string> registerApp() = 0;
    virtual std::optional<std::string> unregisterApp() = 0;
    virtual Status status() = 0;
};

class LaunchAtLoginToggle {
  public:
    static constexpr const char* label = "Launch at Login";

    // Reads the platform's status once, for the initial state.
    explicit LaunchAtLoginToggle(std::shared_ptr<LoginItemBackend> backend);

    bool enabled() const { return enabled_; }

    // Registers or unregisters; a failure is logged as one line on the "app" log. Either way the
    // status is read again, so the toggle snaps back to what the platform holds (a registration
    // awaiting approval shows as off).
    void setLaunchAtLogin(bool enable);

  private:
    const std::shared_ptr<LoginItemBackend> backend_;
    bool enabled_ = false;
};

}  // namespace panelora
