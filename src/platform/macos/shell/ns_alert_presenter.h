// The update check's alerts on macOS: a modal NSAlert with the core's texts and buttons, the
// application brought to the front first (an accessory application is not active by itself).
//
// Main queue only. present() returns at once: the alert runs from the main run loop itself, not
// from inside the main queue's task, so that the main queue (the Controller, the menu) goes on
// while the alert is up; `done` comes on the main thread when it is dismissed.
#pragma once

#include "update/alert_presenter.h"

namespace panelora {

class NSAlertPresenter final : public AlertPresenter {
  public:
    void activateApplication() override;
    void present(const Alert& alert,
                 std::function<void(std::optional<std::size_t> chosenButton)> done) override;
};

}  // namespace panelora
