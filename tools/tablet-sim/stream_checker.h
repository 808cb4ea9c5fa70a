// The protocol rules a tablet can check on what the computer sends, one packet at a time. Pure:
// no sockets, no codec, no clock; the tablet simulator feeds it every received packet in order and
// tests feed it literal byte sequences. One checker per connection, used from one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/packet_reader.h"

namespace panelora::tabletsim {

struct ParameterSets {
    std::vector<uint8_t> sps;  // one NAL unit, no start code
    std::vector<uint8_t> pps;

    bool operator==(const ParameterSets&) const = default;
};

// A frame packet that passed the structural checks, ready to decode.
struct CheckedFrame {
    bool isKey = false;
    uint64_t ptsMicros = 0;
    std::span<const uint8_t> avcc;  // points into the packet's payload
    bool afterConfig = false;       // the packet right before it was a config packet
};

class StreamChecker {
  public:
    struct Violation {
        uint64_t packetIndex = 0;  // 0-based position in the connection's packet sequence
        std::string message;
    };

    // What one packet turned out to be. At most one of the optionals is set.
    struct Outcome {
        std::optional<CheckedFrame> frame;           // a well-formed frame packet
        std::optional<std::array<uint8_t, 8>> ping;  // a ping's first 8 bytes, to echo unchanged
        bool violated = false;                       // this packet added at least one violation
    };

    // Payload limits the computer keeps to.
    static constexpr size_t maxCursorPngBytes = 262144;
    static constexpr float maxCursorPoints = 512.0f;

    // Checks one packet. `payload` must stay valid only for the call; the returned frame's `avcc`
    // points into it.
    Outcome check(uint8_t rawType, std::span<const uint8_t> payload);

    // The stream ended. `closedByUs` is true when the simulator itself closed the connection, so
    // a read error or truncation is then expected and not the host's fault.
    void finish(Wire::PacketReader::End end, bool closedByUs);

    // The first maxStoredViolations violations; the count goes on past them, so a host sending
    // garbage cannot grow the list without bound.
    static constexpr size_t maxStoredViolations = 100;
    const std::vector<Violation>& violations() const { return violations_; }
    uint64_t violationCount() const { return violationCount_; }

    // The latest parameter sets received, the ones a key frame without its own config uses.
    const std::optional<ParameterSets>& parameterSets() const { return parameterSets_; }

    uint64_t packets() const { return packetIndex_; }

  private:
    void violate(std::string message);
    std::optional<CheckedFrame> checkFrame(std::span<const uint8_t> payload);
    void checkConfig(std::span<const uint8_t> payload);
    void checkCursorPosition(std::span<const uint8_t> payload);
    void checkCursorImage(std::span<const uint8_t> payload);

    std::vector<Violation> violations_;
    uint64_t violationCount_ = 0;
    std::optional<ParameterSets> parameterSets_;
    uint64_t packetIndex_ = 0;
    bool sawFrame_ = false;
    bool previousWasConfig_ = false;
    std::optional<uint64_t> lastPts_;
};

// Splits an AVCC buffer into its NAL units (4-byte big-endian length prefixes). Nothing when a
// length is zero or runs past the end, or the lengths do not add up to the buffer exactly.
std::optional<std::vector<std::span<const uint8_t>>> splitAvcc(std::span<const uint8_t> avcc);

// The H.264 nal_unit_type of a NAL unit (its first byte's low five bits); 0 for an empty unit.
inline uint8_t nalType(std::span<const uint8_t> nal) {
    return nal.empty() ? 0 : static_cast<uint8_t>(nal[0] & 0x1F);
}

}  // namespace panelora::tabletsim
