#include "transport/usbmux_address.h"

#include <cstdlib>

namespace panelora::USBMux {

DaemonAddress DaemonAddress::unixSocket(std::string path) {
    DaemonAddress address;
    address.path = std::move(path);
    return address;
}

DaemonAddress DaemonAddress::tcp(std::string host, uint16_t port) {
    DaemonAddress address;
    address.kind = Kind::tcp;
    address.path.clear();
    address.host = std::move(host);
    address.port = port;
    return address;
}

namespace {

std::optional<uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

}  // namespace

DaemonAddress parseDaemonAddress(std::optional<std::string_view> value) {
    if (!value || value->empty()) return DaemonAddress{};
    std::string_view text = *value;

    constexpr std::string_view unixPrefix = "UNIX:";
    if (text.starts_with(unixPrefix)) {
        text.remove_prefix(unixPrefix.size());
        if (text.empty()) return DaemonAddress{};
        return DaemonAddress::unixSocket(std::string(text));
    }

    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return DaemonAddress{};
    const std::optional<uint16_t> port = parsePort(text.substr(colon + 1));
    if (!port) return DaemonAddress{};

    std::string_view host = text.substr(0, colon);
    if (host.starts_with('[')) {
        host.remove_prefix(1);
        if (const size_t close = host.rfind(']'); close != std::string_view::npos) {
            host = host.substr(0, close);
        }
    }
    if (host.empty()) return DaemonAddress{};
    return DaemonAddress::tcp(std::string(host), *port);
}

DaemonAddress daemonAddressFromEnvironment() {
    const char* value = std::getenv(daemonAddressVariable);
    if (value == nullptr) return parseDaemonAddress(std::nullopt);
    return parseDaemonAddress(std::string_view(value));
}

}  // namespace panelora::USBMux
