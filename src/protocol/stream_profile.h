// The stream's encoded size, frame rate and bit rate, and the virtual display's size in points,
// derived once per session from the tablet's hello and the two user settings. A plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace panelora {

struct StreamProfile {
    int64_t width = 0;          // encoded pixels, even, at least 2
    int64_t height = 0;         // encoded pixels, even, at least 2
    int64_t fps = 0;            // 30 to 120
    int64_t bitrate = 0;        // bits per second, 8000000 to 90000000
    int64_t logicalWidth = 0;   // virtual display points, even, at least 2
    int64_t logicalHeight = 0;  // virtual display points, even, at least 2

    // Used when the tablet sent no valid hello; independent of the settings.
    static const StreamProfile fallback;

    // preferSmooth is the "Quality" setting (true for Smooth); scale is the "Screen space" setting
    // divided by 100, absent for Auto. Pure. Sizes outside 1 to 65535 (which parseHello never
    // yields) give the fallback rather than meaningless arithmetic.
    static StreamProfile negotiate(int64_t pixelWidth, int64_t pixelHeight, int64_t maxFPS,
                                   bool preferSmooth, std::optional<double> scale);

    // "2732×2048 @ 60 fps · looks like 1708×1280"
    std::string summary() const;

    bool operator==(const StreamProfile&) const = default;
};

inline constexpr StreamProfile StreamProfile::fallback{2048, 1536, 60, 20'000'000, 1024, 768};

}  // namespace panelora
