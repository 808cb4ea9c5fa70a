#include "session_probe.h"

namespace panelora::bench {

std::shared_ptr<SessionProbe> SessionProbe::create(int fd, SessionEnvironment environment) {
    std::shared_ptr<SessionProbe> probe(new SessionProbe);
    probe->session_ = Session::create(fd, std::move(environment));
    std::weak_ptr<SessionProbe> weak = probe;
    probe->session_->setOnEnded([weak] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            ++self->ended_;
            self->changed_.notify_all();
        }
    });
    probe->session_->setOnStats([weak](const Session::Stats& stats) {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            self->stats_.push_back(stats);
            self->changed_.notify_all();
        }
    });
    return probe;
}

int SessionProbe::endedCount() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool SessionProbe::waitEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_ > 0; });
}

std::vector<Session::Stats> SessionProbe::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

std::optional<size_t> SessionProbe::waitForStats(
    size_t from, const std::function<bool(const Session::Stats&)>& accept,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < stats_.size(); ++i) {
            if (accept(stats_[i])) {
                found = i;
                return true;
            }
        }
        return ended_ > 0;
    });
    return found;
}

}  // namespace panelora::bench
