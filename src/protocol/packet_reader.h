// Reads whole packets from a blocking descriptor: the session's reader thread and the tablet
// simulator share it. One reader per descriptor, used from one thread at a time; it does not own
// the descriptor. To wake a blocked next() from another thread, shut the socket down.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/wire.h"

namespace panelora::Wire {

// One received packet. The payload points into the reader's buffer and stays valid until the
// next call of next().
struct Packet {
    uint8_t rawType = 0;
    std::span<const uint8_t> payload;

    // The packet type, or nothing for raw values outside 1 to 11 (the caller drops those).
    std::optional<PacketType> type() const { return packetTypeFromRaw(rawType); }
};

class PacketReader {
  public:
    // Why the stream ended; none while it is still readable.
    enum class End {
        none,
        endOfStream,  // closed cleanly between two packets
        truncated,    // closed inside a header or a payload
        failed,       // a read error (a receive timeout counts as one)
        tooLong,      // a header announced more than maxPayloadLength bytes
    };

    explicit PacketReader(int fd) : fd_(fd) {}

    // Blocks until a whole packet has arrived and returns it; every type, known or not, is
    // consumed whole. Nothing once the stream has ended (see end()); after that it stays ended,
    // since the position in the stream is no longer at a packet boundary.
    std::optional<Packet> next();

    End end() const { return end_; }

  private:
    int fd_;
    End end_ = End::none;
    std::vector<uint8_t> buffer_;  // reused for every payload; grows to the largest one seen
};

}  // namespace panelora::Wire
