// CoreMedia's time stamps and ScreenCaptureKit's frame status in the core's terms. A CMTime is a
// 64-bit value over a 32-bit timescale, with flags; the core counts nanoseconds of the host clock
// (the uptime clock of posix_platform.h), negative meaning invalid.
#pragma once

#include <cstdint>
#include <optional>

#include "video/screen_capturer.h"

namespace panelora::media {

// CMTimeFlags bits (<CoreMedia/CMTime.h>).
inline constexpr uint32_t kTimeValid = 1;
inline constexpr uint32_t kTimeHasBeenRounded = 2;
inline constexpr uint32_t kTimePositiveInfinity = 4;
inline constexpr uint32_t kTimeNegativeInfinity = 8;
inline constexpr uint32_t kTimeIndefinite = 16;

inline constexpr int32_t kNanosTimescale = 1'000'000'000;

// Nanoseconds, truncated toward zero; -1 when the time is not valid, infinite or indefinite,
// its timescale is not positive, or the result is negative or beyond 64 bits.
int64_t nanosFromTime(int64_t value, int32_t timescale, uint32_t flags);

struct Time {
    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;  // 0: kCMTimeInvalid
    bool operator==(const Time&) const = default;
};

// The CMTime of a core time stamp: exact, in a nanosecond timescale; invalid when negative.
Time timeFromNanos(int64_t nanos);

// The core's status for the SCFrameStatus value attached to a frame (complete 0 … stopped 5);
// nothing when there is none or it is out of range.
std::optional<FrameStatus> frameStatus(std::optional<int64_t> raw);

}  // namespace panelora::media
