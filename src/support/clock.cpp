#include "support/clock.h"

#include <time.h>

#include <condition_variable>
#include <mutex>

namespace panelora {
namespace {

class SystemClock final : public Clock {
  public:
    int64_t uptimeNanos() const override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
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
