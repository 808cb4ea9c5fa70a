#include "platform/macos/portable/media_time.h"

#include <limits>

namespace panelora::media {

int64_t nanosFromTime(int64_t value, int32_t timescale, uint32_t flags) {
    constexpr uint32_t notFinite = kTimePositiveInfinity | kTimeNegativeInfinity | kTimeIndefinite;
    if ((flags & kTimeValid) == 0 || (flags & notFinite) != 0) return -1;
    if (timescale <= 0 || value < 0) return -1;
    // Whole seconds and the remainder separately, so that value × 1e9 cannot overflow.
    const int64_t seconds = value / timescale;
    const int64_t remainder = value % timescale;
    // remainder < timescale < 2^31, so remainder × 1e9 < 2^61.
    const int64_t fraction = remainder * kNanosTimescale / timescale;
    if (seconds > (std::numeric_limits<int64_t>::max() - fraction) / kNanosTimescale) return -1;
    return seconds * kNanosTimescale + fraction;
}

Time timeFromNanos(int64_t nanos) {
    if (nanos < 0) return Time{};
    return Time{nanos, kNanosTimescale, kTimeValid};
}

std::optional<FrameStatus> frameStatus(std::optional<int64_t> raw) {
    if (!raw || *raw < static_cast<int64_t>(FrameStatus::complete) ||
        *raw > static_cast<int64_t>(FrameStatus::stopped)) {
        return std::nullopt;
    }
    return static_cast<FrameStatus>(*raw);
}

}  // namespace panelora::media
