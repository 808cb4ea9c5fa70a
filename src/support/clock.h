// Time sources. Everything that measures time goes through a Clock so that tests can run
// 30-second keep-alives and 0.4-second key repeats on a ManualClock, instantly.
#pragma once

#include <chrono>
#include <cstdint>

#include "support/stop_signal.h"

namespace panelora {

using Duration = std::chrono::nanoseconds;
using WallTime = std::chrono::system_clock::time_point;

class Clock {
  public:
    virtual ~Clock() = default;

    // Monotonic time since boot in nanoseconds (CLOCK_MONOTONIC on Linux, CLOCK_UPTIME_RAW on
    // macOS: the clock of the capture's time stamps). Comparable between processes of one
    // machine, which the latency figures of the tablet simulator rely on.
    virtual int64_t uptimeNanos() const = 0;

    // Wall-clock time; it can jump, so nothing that measures an interval should use it.
    virtual WallTime wallNow() const = 0;

    int64_t uptimeMicros() const { return uptimeNanos() / 1000; }
    double uptimeSeconds() const { return static_cast<double>(uptimeNanos()) / 1e9; }

    // Blocks for `duration`, or less when `stop` is requested; returns false when it was.
    // A ManualClock does not block: it advances itself by the duration instead.
    virtual bool sleepFor(Duration duration, StopToken stop = {}) const = 0;

    // The process's real clock.
    static const Clock& system();
};

}  // namespace panelora
