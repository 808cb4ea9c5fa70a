#include "protocol/stream_profile.h"

#include <algorithm>
#include <cmath>

namespace panelora {

namespace {

// 2 × round(v), at least 2; std::round goes half away from zero.
int64_t evenAtLeastTwo(double half) {
    return std::max<int64_t>(2 * std::llround(half), 2);
}

}  // namespace

StreamProfile StreamProfile::negotiate(int64_t pixelWidth, int64_t pixelHeight, int64_t maxFPS,
                                       bool preferSmooth, std::optional<double> scale) {
    if (pixelWidth < 1 || pixelWidth > 65535 || pixelHeight < 1 || pixelHeight > 65535) {
        return fallback;
    }
    const double pw = static_cast<double>(pixelWidth);

    StreamProfile p;
    const int64_t cap = preferSmooth ? 120 : 60;
    p.fps = std::clamp<int64_t>(maxFPS, 30, cap);

    const double budget = preferSmooth ? 290'000'000.0 : 486'400'000.0;
    const double nativePixels = static_cast<double>(pixelWidth * pixelHeight);
    const double s = std::min(std::sqrt(budget / static_cast<double>(p.fps) / nativePixels), 1.0);

    p.width = evenAtLeastTwo(s * pw * 0.5);
    p.height = evenAtLeastTwo(static_cast<double>(pixelHeight * p.width) / pw * 0.5);

    const double density = p.fps > 60 ? 0.15 : 0.2;
    const auto bits =
        static_cast<int64_t>(std::trunc(density * static_cast<double>(p.width * p.height * p.fps)));
    p.bitrate = std::clamp<int64_t>(bits, 8'000'000, 90'000'000);

    double c = pixelWidth >= 2600 ? 1.25 : 1.0;
    if (scale) {
        // NaN fails both comparisons of a plain clamp; treat it as the smallest space.
        const double v = *scale;
        c = !(v > 1.0) ? 1.0 : (v > 1.5 ? 1.5 : v);
    }

    p.logicalWidth = evenAtLeastTwo(pw * 0.5 * c * 0.5);
    p.logicalHeight = evenAtLeastTwo(static_cast<double>(pixelHeight * p.logicalWidth) / pw * 0.5);
    return p;
}

std::string StreamProfile::summary() const {
    static constexpr const char* times = "\xC3\x97";  // U+00D7 MULTIPLICATION SIGN
    static constexpr const char* dot = "\xC2\xB7";    // U+00B7 MIDDLE DOT
    return std::to_string(width) + times + std::to_string(height) + " @ " + std::to_string(fps) +
           " fps " + dot + " looks like " + std::to_string(logicalWidth) + times +
           std::to_string(logicalHeight);
}

}  // namespace panelora
