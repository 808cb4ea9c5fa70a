#include "support/clock.h"

#include <time.h>

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
};

}  // namespace

const Clock& Clock::system() {
    static const SystemClock clock;
    return clock;
}

}  // namespace panelora
