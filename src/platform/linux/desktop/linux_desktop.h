// LinuxDesktop: which desktop backend this process uses, chosen when first needed and, while
// there is none, again at most once a second: the first entry of the table (desktops.h) that
// works here (GNOME on Wayland when mutter offers its screen cast, else X11 when the X server has
// a spare output or RandR 1.5), or only the one --desktop names. It is also the process's permissions
// backend: the probes ask the chosen platform, and the texts say in Linux words what is missing
// (no macOS wording reaches a Linux user).
//
// Main queue only (the Controller's probes and session factory, the menu's shortcuts).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/permissions.h"
#include "platform/linux/desktop/desktops.h"
#include "support/clock.h"

namespace panelora {

class LinuxDesktop final : public PermissionsBackend {
  public:
    struct Options {
        // automaticDesktop, or the name of the one desktop to use (--desktop).
        std::string desktop = std::string(automaticDesktop);
        DesktopOptions platform;  // each desktop's own
        // The settings shortcuts, as LinuxPermissions takes them (empty: the real ones);
        // `desktops` is $XDG_CURRENT_DESKTOP's list.
        std::function<std::optional<std::string>(std::string_view program)> find;
        std::function<bool(const std::vector<std::string>& argv)> spawn;
        std::vector<std::string> desktops;
        // Called once, on a thread of the platform, when the chosen desktop goes away, with
        // what went ("the X server (display :0)", "GNOME's compositor").
        std::function<void(std::string what)> onGone;
    };

    explicit LinuxDesktop(Options options, const Clock& clock = Clock::system());
    ~LinuxDesktop() override;

    // The chosen platform, chosen now if there is none and the last try is a second old; null
    // while no desktop will do (missing() says why).
    DesktopPlatform* platform();
    const DesktopProblem& missing() const { return missing_; }
    // Lets go of the platform (after the last session ended).
    void reset();

    bool screenRecordingPreflight() override;
    bool accessibilityTrusted(bool prompt) override;
    void requestScreenRecording() override {}
    void openURL(const std::string& url) override;
    PermissionTexts texts() override;

    // The choice itself, walking `table` in order: a platform, or nothing with `missing` filled
    // in (what each desktop tried lacks, and what the user can do).
    static std::unique_ptr<DesktopPlatform> choose(const Options& options, DesktopProblem& missing,
                                                   std::span<const Desktop> table = desktops());

  private:
    Options options_;
    const Clock& clock_;
    std::unique_ptr<DesktopPlatform> platform_;
    std::optional<int64_t> lastTry_;
    DesktopProblem missing_;
    DesktopProblem captureProblem_;
    DesktopProblem inputProblem_;
};

}  // namespace panelora
