#include "support/clock.h"

#include <condition_variable>
#include <mutex>

#include "support/posix_platform.h"

namespace panelora {
namespace {

class SystemClock final : public Clock {
  public:
    int64_t uptimeNanos() const override { return posix::uptimeNanos(); }
    WallTime wallNow() const override { return std::chrono::system_clock::now(); }

    bool sleepFor(Duration duration, std::stop_token stop) const override {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, stop, duration, [] { return false; }) && !stop.stop_requested();
    }
};

}  // namespace

const Clock& Clock::system() {
    static const SystemClock clock;
    return clock;
}

}  // namespace panelora
