// DeviceSource: how the Controller finds tablets and connects to them. Both calls block; the
// Controller runs them on its background queue, never on the main queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "transport/usbmux_client.h"

namespace panelora {

class DeviceSource {
  public:
    virtual ~DeviceSource() = default;

    // Attached devices in the daemon's order; empty on any failure.
    virtual std::vector<USBMux::Device> listDevices() = 0;
    // A connected socket the caller owns, or nothing on refusal or failure.
    virtual std::optional<int> connect(int64_t deviceID, uint16_t port) = 0;

    // The usbmuxd client at its standard address.
    static std::shared_ptr<DeviceSource> usbmux();
};

}  // namespace panelora
