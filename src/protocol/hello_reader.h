// The handshake read: the tablet's first packet, expected to be its hello. Blocking; the session
// runs it once on a worker thread before its reader thread starts. It does not own the descriptor.
#pragma once

#include <chrono>
#include <optional>

#include "protocol/wire.h"

namespace panelora::Wire {

struct HelloOutcome {
    enum class Kind {
        hello,    // a valid hello; the stream is at the next packet boundary
        noHello,  // no usable hello, but the stream is at a packet boundary: nothing arrived in
                  // time, or the first packet (another type, a hello over 1023 bytes, or one
                  // that parseHello rejects) was read whole and dropped
        streamBroken,  // the stream ended or failed, or stopped mid-packet (a timeout inside
                       // the header or the payload, a length over maxPayloadLength): it cannot
                       // be read as packets any more and the session should end
    };

    Kind kind = Kind::noHello;
    std::optional<Hello> hello;  // set exactly when kind is hello

    bool operator==(const HelloOutcome&) const = default;
};

inline constexpr std::chrono::milliseconds helloTimeout{3000};

// Sets SO_RCVTIMEO to `timeout`, reads the first packet and decodes it as a hello when its type is
// 5 and its length is at most 1023; any other packet within the limit is skipped whole so the
// reader that follows starts at a packet boundary. The receive timeout is reset to none on every
// path. Each read waits at most `timeout`.
HelloOutcome readHello(int fd, std::chrono::milliseconds timeout = helloTimeout);

}  // namespace panelora::Wire
