// The headless mode's output: one line on standard output for each change of what the menu would
// show, flushed at once, so that scripts can follow the application line by line.
//
//   status: <the status line>             at start and whenever it changes
//   stats: <the statistics line>          whenever it changes; "stats:" alone when it is cleared
//   permission: screen-recording off      whenever a permission flag changes (at start only
//   permission: accessibility on          when it is off)
//
// Texts are printed verbatim (UTF-8). Main queue only.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "update/alert_presenter.h"

namespace panelora {

class StatusPrinter {
  public:
    struct State {
        std::string status;
        std::string statsLine;
        bool screenRecordingAllowed = true;
        bool accessibilityAllowed = true;
    };

    explicit StatusPrinter(std::FILE* out) : out_(out) {}

    // Prints what differs from the previous state (everything that is worth telling the first
    // time).
    void update(const State& state);

  private:
    void line(const std::string& text);

    std::FILE* out_;
    std::optional<State> last_;
};

// Alerts as text for the headless mode: "alert: <message>", then "alert: <informative text>"
// per line of it; no button is ever chosen.
class TextAlertPresenter final : public AlertPresenter {
  public:
    explicit TextAlertPresenter(std::FILE* out) : out_(out) {}
    void activateApplication() override {}
    void present(const Alert& alert,
                 std::function<void(std::optional<std::size_t> chosenButton)> done) override;

  private:
    std::FILE* out_;
};

}  // namespace panelora
