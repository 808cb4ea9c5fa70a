// The update check's alerts on macOS: a modal NSAlert with the core's texts and buttons, the
// application brought to the front first (an accessory application is not active by itself).
//
// Main queue only; present() runs the alert's modal loop and calls `done` before returning.
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
