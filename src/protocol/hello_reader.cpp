#include "protocol/hello_reader.h"

#include <sys/socket.h>
#include <sys/time.h>

#include "protocol/byte_order.h"
#include "protocol/fd_read.h"

namespace panelora::Wire {

namespace {

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    // A zero timeval means "no timeout"; a positive request below 1 ms must not become that.
    if (ms == 0 && timeout.count() > 0) tv.tv_usec = 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Clears the receive timeout however the handshake leaves.
class ReceiveTimeoutReset {
  public:
    explicit ReceiveTimeoutReset(int fd) : fd_(fd) {}
    ~ReceiveTimeoutReset() { setReceiveTimeout(fd_, std::chrono::milliseconds{0}); }
    ReceiveTimeoutReset(const ReceiveTimeoutReset&) = delete;
    ReceiveTimeoutReset& operator=(const ReceiveTimeoutReset&) = delete;

  private:
    int fd_;
};

HelloOutcome noHello() {
    return {HelloOutcome::Kind::noHello, std::nullopt};
}
HelloOutcome broken() {
    return {HelloOutcome::Kind::streamBroken, std::nullopt};
}

}  // namespace

HelloOutcome readHello(int fd, std::chrono::milliseconds timeout) {
    setReceiveTimeout(fd, timeout);
    ReceiveTimeoutReset reset(fd);

    uint8_t header[headerSize];
    const detail::ReadResult h = detail::readFully(fd, header, headerSize);
    if (h.status != detail::ReadStatus::complete) {
        // A silent tablet leaves the stream untouched; anything else leaves it unusable.
        const bool untouched = h.status == detail::ReadStatus::timedOut && h.bytesRead == 0;
        return untouched ? noHello() : broken();
    }

    const uint8_t type = header[0];
    const uint32_t length = readU32BE(header + 1);
    if (length > maxPayloadLength) return broken();

    if (type != rawValue(PacketType::hello) || length > maxHelloLength) {
        // Not a usable hello: drop the packet whole so the receive loop starts at a boundary.
        return detail::discard(fd, length).status == detail::ReadStatus::complete ? noHello()
                                                                                  : broken();
    }

    uint8_t payload[maxHelloLength];
    if (detail::readFully(fd, payload, length).status != detail::ReadStatus::complete) {
        return broken();
    }
    if (auto hello = parseHello(std::span<const uint8_t>(payload, length))) {
        return {HelloOutcome::Kind::hello, *hello};
    }
    return noHello();
}

}  // namespace panelora::Wire
