// A connected AF_UNIX stream pair for reader tests: `reader` is handed to the code under test,
// the test writes to `writer`.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "protocol/byte_order.h"

namespace panelora::testing {

class SocketPair {
  public:
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        reader = fds[0];
        writer = fds[1];
    }
    ~SocketPair() {
        closeWriter();
        if (reader >= 0) ::close(reader);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    // Blocking write of everything; call from a second thread when it exceeds the socket buffer.
    void write(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(writer, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write");
            done += static_cast<size_t>(n);
        }
    }

    void closeWriter() {
        if (writer >= 0) ::close(writer);
        writer = -1;
    }

    int reader = -1;
    int writer = -1;
};

// A raw header followed by `payload`, with whatever type and length the test wants.
inline std::vector<uint8_t> rawPacket(uint8_t type, uint32_t length,
                                      const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(5 + payload.size());
    out[0] = type;
    writeU32BE(out.data() + 1, length);
    std::copy(payload.begin(), payload.end(), out.begin() + 5);
    return out;
}

inline std::vector<uint8_t> rawPacket(uint8_t type, const std::vector<uint8_t>& payload) {
    return rawPacket(type, static_cast<uint32_t>(payload.size()), payload);
}

}  // namespace panelora::testing
