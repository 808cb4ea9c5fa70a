#include "support/stop_signal.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace panelora {

struct StopToken::State {
    std::mutex mutex;
    std::condition_variable wake;
    bool requested = false;  // guarded by mutex
};

bool StopToken::stopRequested() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return state_->requested;
}

bool StopToken::waitFor(std::chrono::nanoseconds timeout) const {
    if (!state_) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    std::unique_lock lock(state_->mutex);
    return state_->wake.wait_for(lock, timeout, [&] { return state_->requested; });
}

StopSource::StopSource() : state_(std::make_shared<StopToken::State>()) {}

void StopSource::requestStop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->requested = true;
    }
    state_->wake.notify_all();
}

bool StopSource::stopRequested() const {
    return token().stopRequested();
}

}  // namespace panelora
