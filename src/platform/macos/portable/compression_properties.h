// The VideoToolbox compression session properties for the codec settings, in the order they are
// applied. Each key stands for kVTCompressionPropertyKey_<Name>; the codec maps it to the
// framework's constant and the value to a CoreFoundation one.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "video/h264_encoder.h"

namespace panelora::vt {

enum class PropertyKey {
    realTime,
    profileLevel,
    allowFrameReordering,
    maxKeyFrameIntervalDuration,
    expectedFrameRate,
    averageBitRate,
    dataRateLimits,
    prioritizeEncodingSpeedOverQuality,
    maxFrameDelayCount,
};

// kVTProfileLevel_H264_High_AutoLevel / kVTProfileLevel_H264_Main_AutoLevel.
enum class ProfileLevel { h264HighAutoLevel, h264MainAutoLevel };

// The two-element array of kVTCompressionPropertyKey_DataRateLimits: bytes per seconds.
struct DataRateLimit {
    int64_t bytes = 0;
    double seconds = 0;
    bool operator==(const DataRateLimit&) const = default;
};

struct Property {
    PropertyKey key;
    std::variant<bool, int64_t, double, ProfileLevel, DataRateLimit> value;
    bool operator==(const Property&) const = default;
};

std::vector<Property> compressionProperties(const VideoCodecSettings& settings);

}  // namespace panelora::vt
