// Sockets for tests of code that talks over one: a connected AF_UNIX stream pair (`fd` goes to
// the code under test, the test keeps `peer`), loopback TCP ends, and reads with a time limit.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/socket_io.h"

namespace panelora::test {

class SocketPair {
  public:
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        fd = fds[0];
        peer = fds[1];
    }
    ~SocketPair() {
        if (fd >= 0) ::close(fd);
        closePeer();
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    // Hands `fd` over to its new owner.
    int take() { return std::exchange(fd, -1); }
    void closePeer() {
        if (peer >= 0) ::close(std::exchange(peer, -1));
    }
    // Writes everything on `peer`; from a second thread when it exceeds the socket buffers.
    bool send(std::span<const uint8_t> bytes) const { return writeAll(peer, bytes); }

    int fd = -1;
    int peer = -1;
};

// A TCP socket bound to 127.0.0.1 at a free port, listening unless `listening` is false (then
// connections to the port are refused and nobody else can take it meanwhile).
inline UniqueFd bindLoopback(uint16_t& port, bool listening = true) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd.get(), 64) != 0) ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return {};
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A TCP connection to 127.0.0.1:`port`, or nothing.
inline UniqueFd connectLoopback(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

// A Unix-domain socket of `type` at `path` (an abstract name starts with a zero byte): bound, and
// listening when it is a stream socket, or else connected. Nothing on failure.
inline UniqueFd unixSocket(std::string_view path, bool bound, int type = SOCK_STREAM) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const auto* a = reinterpret_cast<const sockaddr*>(&address);
    UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    const bool ok = bound ? ::bind(fd.get(), a, size) == 0 &&
                                (type != SOCK_STREAM || ::listen(fd.get(), 64) == 0)
                          : ::connect(fd.get(), a, size) == 0;
    return ok ? std::move(fd) : UniqueFd();
}

// Reads until `count` bytes have come, the stream ends or `timeout` passes; what came.
inline std::vector<uint8_t> readFor(int fd, size_t count,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::vector<uint8_t> all;
    uint8_t buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - all.size()));
        if (n <= 0) break;
        all.insert(all.end(), buffer, buffer + n);
    }
    return all;
}

// Everything that arrives until nothing more has come for `quiet`.
inline std::vector<uint8_t> drain(int fd, std::chrono::milliseconds quiet) {
    std::vector<uint8_t> all;
    uint8_t buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) != 1) return all;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return all;
        all.insert(all.end(), buffer, buffer + n);
    }
}

// True when the other end closes within `timeout` with nothing more sent.
inline bool closedWithin(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    uint8_t byte;
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1 && ::read(fd, &byte, 1) == 0;
}

}  // namespace panelora::test
