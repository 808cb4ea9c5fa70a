// A recording stand-in for the update check's presenter, and manifests padded to a size.
#pragma once

#include <cstddef>

#include "test_prelude.h"
#include "update/alert_presenter.h"

namespace panelora::test {

// `{"version":"<version>","pad":"<spaces>"}` padded to exactly `size` bytes.
inline std::string manifestOfSize(std::string_view version, std::size_t size) {
    const std::string head = "{\"version\":\"" + std::string(version) + "\",\"pad\":\"";
    const std::string tail = "\"}";
    return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

// Records what the check shows and answers every alert with `choice`, at once (as a nested modal
// loop would) or, with `answerLater`, only when the test calls answer().
class RecordingPresenter final : public AlertPresenter {
  public:
    std::optional<std::size_t> choice = 0;
    bool answerLater = false;

    void activateApplication() override {
        std::lock_guard lock(mutex_);
        events_.push_back("activate");
    }

    void present(const Alert& alert,
                 std::function<void(std::optional<std::size_t>)> done) override {
        {
            std::lock_guard lock(mutex_);
            events_.push_back("present");
            alerts_.push_back(alert);
        }
        if (answerLater) {
            pending_ = std::move(done);
        } else {
            done(choice);
        }
    }

    void answer(std::optional<std::size_t> chosen) {
        auto done = std::move(pending_);
        pending_ = nullptr;
        if (done) done(chosen);
    }

    std::vector<Alert> alerts() const {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Alert> alerts_;
    std::vector<std::string> events_;
    std::function<void(std::optional<std::size_t>)> pending_;
};

}  // namespace panelora::test
