// AlertPresenter: shows the update check's result as a modal alert. The tray shell implements it
// with its toolkit's message box; tests record the alerts.
//
// Every call comes on the main queue. `done` may be called during present() (a nested modal
// loop) or later; it is called once, with the index of the chosen button or nothing when the
// alert was closed without one.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace panelora {

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // in order; the first is the default

    bool operator==(const Alert&) const = default;
};

class AlertPresenter {
  public:
    virtual ~AlertPresenter() = default;

    // Brings the application to the front, taking focus from other applications.
    virtual void activateApplication() = 0;
    virtual void present(const Alert& alert,
                         std::function<void(std::optional<std::size_t> chosenButton)> done) = 0;
};

}  // namespace panelora
