#pragma once

// Where the USB multiplexing daemon listens. By default its Unix socket; the environment
// variable USBMUXD_SOCKET_ADDRESS overrides it the same way the platform's client library reads
// it: "UNIX:/path" for another Unix socket, "HOST:PORT" (or "[V6ADDR]:PORT") for TCP. A value
// that fits neither falls back to the default.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace panelora::USBMux {

inline constexpr std::string_view defaultDaemonSocketPath = "/var/run/usbmuxd";
inline constexpr const char* daemonAddressVariable = "USBMUXD_SOCKET_ADDRESS";

struct DaemonAddress {
    enum class Kind { unixSocket, tcp };

    Kind kind = Kind::unixSocket;
    std::string path{defaultDaemonSocketPath};  // Kind::unixSocket
    std::string host;                           // Kind::tcp
    uint16_t port = 0;                          // Kind::tcp

    static DaemonAddress unixSocket(std::string path);
    static DaemonAddress tcp(std::string host, uint16_t port);

    bool operator==(const DaemonAddress&) const = default;
};

// Pure: `value` is the variable's content, or nothing when it is unset.
DaemonAddress parseDaemonAddress(std::optional<std::string_view> value);

// Reads USBMUXD_SOCKET_ADDRESS from the environment at each call.
DaemonAddress daemonAddressFromEnvironment();

}  // namespace panelora::USBMux
