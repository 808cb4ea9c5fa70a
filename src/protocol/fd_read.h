// Internal to panelora_protocol: the blocking read loop shared by the packet reader and the
// handshake. Unlike a plain exact read it tells a receive timeout apart from the end of the stream
// and reports how many bytes arrived, which the handshake needs to know whether it is still at a
// packet boundary.
#pragma once

#include <cstddef>
#include <cstdint>

namespace panelora::Wire::detail {

enum class ReadStatus {
    complete,     // all bytes read
    endOfStream,  // the peer closed (or the socket was shut down) first
    timedOut,     // the receive timeout struck (EAGAIN / EWOULDBLOCK)
    failed,       // any other error
};

struct ReadResult {
    ReadStatus status;
    size_t bytesRead;  // bytes stored before the read stopped
};

// Reads exactly `count` bytes into `buffer`, retrying on EINTR.
ReadResult readFully(int fd, uint8_t* buffer, size_t count);

// Reads and discards exactly `count` bytes, retrying on EINTR.
ReadResult discard(int fd, size_t count);

}  // namespace panelora::Wire::detail
