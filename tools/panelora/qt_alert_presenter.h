// The update check's alerts as Qt message boxes: application-modal, opened without a nested
// event loop (the main queue keeps running while one is up); `done` runs when it is closed.
#pragma once

#include "update/alert_presenter.h"

namespace panelora {

class QtAlertPresenter final : public AlertPresenter {
  public:
    // A tray program has no window to bring forward; each box raises and activates itself.
    void activateApplication() override {}
    void present(const Alert& alert,
                 std::function<void(std::optional<std::size_t> chosenButton)> done) override;
};

}  // namespace panelora
