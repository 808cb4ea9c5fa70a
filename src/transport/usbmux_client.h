#pragma once

// Client of the USB multiplexing daemon: lists the devices attached by cable and opens TCP
// connections tunnelled to a port on one of them. Stateless and re-entrant: each call opens its
// own daemon socket and blocks (up to 3 s per read or write), so callers keep it off the main
// thread. Every failure is silent and shows only as an empty or absent result.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/usbmux_address.h"

namespace panelora::USBMux {

struct Device {
    int64_t id = 0;      // the daemon's "DeviceID"
    std::string serial;  // "SerialNumber", empty when the daemon gives none

    bool operator==(const Device&) const = default;
};

// Devices attached by USB, in the daemon's order; empty on any failure.
std::vector<Device> listDevices();
std::vector<Device> listDevices(const DaemonAddress& daemon);

// A connected socket to `port` on the device, with its timeouts cleared; the caller owns and
// closes it. Nothing on refusal or any failure, and then no descriptor stays open.
std::optional<int> connect(int64_t deviceID, uint16_t port);
std::optional<int> connect(const DaemonAddress& daemon, int64_t deviceID, uint16_t port);

}  // namespace panelora::USBMux
