// Conversion of an H.264 Annex B byte stream (start-code delimited, as libavcodec and most
// encoders emit it) into the AVCC form the wire carries: NAL units with 4-byte big-endian
// lengths, parameter sets lifted out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace panelora {

struct AvccFrame {
    std::vector<uint8_t> avcc;                // every NAL unit except SPS, PPS and AUD
    std::optional<std::vector<uint8_t>> sps;  // first SPS found, without start code
    std::optional<std::vector<uint8_t>> pps;  // first PPS found
    bool hasIdr = false;                      // an IDR slice (type 5) is present
};

AvccFrame annexBToAvcc(std::span<const uint8_t> annexB);

}  // namespace panelora
