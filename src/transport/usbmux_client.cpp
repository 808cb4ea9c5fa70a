#include "transport/usbmux_client.h"

#include "transport/usbmux_replies.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "support/posix_platform.h"
#include "transport/plist_message.h"
#include "transport/socket_io.h"

namespace panelora::USBMux {

namespace {

constexpr int kDaemonTimeoutSeconds = 3;
constexpr const char* kClientName = "Slatecast";

void setTimeouts(int fd, int seconds) {
    const timeval timeout{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// connect() interrupted by a signal keeps going in the background; wait for its outcome
// instead of calling connect() again.
bool connectRetryingInterrupts(int fd, const sockaddr* address, socklen_t length) {
    if (::connect(fd, address, length) == 0) return true;
    if (errno != EINTR) return false;
    pollfd pfd{fd, POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&pfd, 1, kDaemonTimeoutSeconds * 1000);
        if (ready > 0) break;
        if (ready == 0 || errno != EINTR) return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

UniqueFd openUnixSocket(const std::string& path) {
    sockaddr_storage address{};
    const socklen_t length = posix::unixSocketAddress(path, address);
    if (length == 0) return {};  // never truncate

    UniqueFd fd(posix::openSocket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd) return {};
    setTimeouts(fd.get(), kDaemonTimeoutSeconds);
    if (!connectRetryingInterrupts(fd.get(), reinterpret_cast<const sockaddr*>(&address), length)) {
        return {};
    }
    return fd;
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

UniqueFd openTcpSocket(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return {};
    std::unique_ptr<addrinfo, AddrInfoFree> results(found);

    for (const addrinfo* ai = results.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(posix::openSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
        if (!fd) continue;
        setTimeouts(fd.get(), kDaemonTimeoutSeconds);
        if (!connectRetryingInterrupts(fd.get(), ai->ai_addr, ai->ai_addrlen)) continue;
        // The tunnel carries latency-sensitive packets once connected.
        const int one = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd;
    }
    return {};
}

UniqueFd openDaemonSocket(const DaemonAddress& daemon) {
    if (daemon.kind == DaemonAddress::Kind::tcp) return openTcpSocket(daemon.host, daemon.port);
    return openUnixSocket(daemon.path);
}

Plist makeRequest(const char* messageType) {
    Plist request(plist_new_dict());
    plist_dict_set_item(request.get(), "MessageType", plist_new_string(messageType));
    return request;
}

bool sendRequest(int fd, plist_t request, uint32_t tag) {
    plist_dict_set_item(request, "ClientVersionString", plist_new_string(kClientName));
    plist_dict_set_item(request, "ProgName", plist_new_string(kClientName));
    return sendMessage(fd, request, tag, PlistFormat::xml);
}

uint16_t swapBytes(uint16_t port) {
    return static_cast<uint16_t>((port << 8) | (port >> 8));
}

}  // namespace

std::vector<Device> listDevices() {
    return listDevices(daemonAddressFromEnvironment());
}

std::vector<Device> listDevices(const DaemonAddress& daemon) {
    const UniqueFd fd = openDaemonSocket(daemon);
    if (!fd) return {};
    const Plist request = makeRequest("ListDevices");
    if (!sendRequest(fd.get(), request.get(), listDevicesTag)) return {};
    const Plist reply = receiveMessage(fd.get());
    return devicesInReply(reply.get());
}

std::optional<int> connect(int64_t deviceID, uint16_t port) {
    return connect(daemonAddressFromEnvironment(), deviceID, port);
}

std::optional<int> connect(const DaemonAddress& daemon, int64_t deviceID, uint16_t port) {
    UniqueFd fd = openDaemonSocket(daemon);
    if (!fd) return std::nullopt;
    const Plist request = makeRequest("Connect");
    plist_dict_set_item(request.get(), "DeviceID", plist_new_uint(static_cast<uint64_t>(deviceID)));
    plist_dict_set_item(request.get(), "PortNumber", plist_new_uint(swapBytes(port)));
    if (!sendRequest(fd.get(), request.get(), connectTag)) return std::nullopt;
    const Plist reply = receiveMessage(fd.get());
    if (!connectAccepted(reply.get())) return std::nullopt;

    // From here the socket is the raw tunnel; the session sets its own timeouts.
    setTimeouts(fd.get(), 0);
    return fd.release();
}

}  // namespace panelora::USBMux
