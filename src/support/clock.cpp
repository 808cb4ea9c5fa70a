#include "support/clock.h"

#include "support/posix_platform.h"

namespace panelora {
namespace {

class SystemClock final : public Clock {
  public:
    int64_t uptimeNanos() const override { return posix::uptimeNanos(); }
    WallTime wallNow() const override { return std::chrono::system_clock::now(); }

    bool sleepFor(Duration duration, StopToken stop) const override {
        return !stop.waitFor(duration);
    }
};

}  // namespace

const Clock& Clock::system() {
    static const SystemClock clock;
    return clock;
}

}  // namespace panelora
