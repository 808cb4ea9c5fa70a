#include "platform/linux/shell/status_printer.h"

namespace panelora {

void StatusPrinter::line(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void StatusPrinter::update(const State& state) {
    const bool first = !last_;
    auto permission = [&](const char* name, bool now, bool before) {
        if (first ? !now : now != before) {
            line(std::string("permission: ") + name + (now ? " on" : " off"));
        }
    };
    permission("screen-recording", state.screenRecordingAllowed,
               last_ ? last_->screenRecordingAllowed : true);
    permission("accessibility", state.accessibilityAllowed,
               last_ ? last_->accessibilityAllowed : true);
    if (first || state.status != last_->status) line("status: " + state.status);
    if (first ? !state.statsLine.empty() : state.statsLine != last_->statsLine) {
        line(state.statsLine.empty() ? std::string("stats:") : "stats: " + state.statsLine);
    }
    last_ = state;
}

void TextAlertPresenter::present(const Alert& alert,
                                 std::function<void(std::optional<std::size_t>)> done) {
    std::string text = "alert: " + alert.messageText + "\n";
    size_t start = 0;
    while (!alert.informativeText.empty() && start <= alert.informativeText.size()) {
        size_t end = alert.informativeText.find('\n', start);
        if (end == std::string::npos) end = alert.informativeText.size();
        text += "alert: " + alert.informativeText.substr(start, end - start) + "\n";
        start = end + 1;
    }
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    if (done) done(std::nullopt);
}

}  // namespace panelora
