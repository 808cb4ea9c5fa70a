#include "platform/macos/portable/compression_properties.h"

namespace panelora::vt {

std::vector<Property> compressionProperties(const VideoCodecSettings& settings) {
    return {
        {PropertyKey::realTime, settings.realTime},
        {PropertyKey::profileLevel,
         settings.highProfile ? ProfileLevel::h264HighAutoLevel : ProfileLevel::h264MainAutoLevel},
        {PropertyKey::allowFrameReordering, settings.allowFrameReordering},
        {PropertyKey::maxKeyFrameIntervalDuration, settings.maxKeyFrameIntervalSeconds},
        {PropertyKey::expectedFrameRate, settings.expectedFrameRate},
        {PropertyKey::averageBitRate, settings.averageBitRate},
        {PropertyKey::dataRateLimits,
         DataRateLimit{settings.dataRateLimitBytes, settings.dataRateLimitSeconds}},
        {PropertyKey::prioritizeEncodingSpeedOverQuality, settings.prioritizeSpeedOverQuality},
        {PropertyKey::maxFrameDelayCount, int64_t{settings.maxFrameDelayCount}},
    };
}

}  // namespace panelora::vt
