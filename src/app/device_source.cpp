#include "app/device_source.h"

namespace panelora {
namespace {

class USBMuxDeviceSource final : public DeviceSource {
  public:
    std::vector<USBMux::Device> listDevices() override { return USBMux::listDevices(); }
    std::optional<int> connect(int64_t deviceID, uint16_t port) override {
        return USBMux::connect(deviceID, port);
    }
};

}  // namespace

std::shared_ptr<DeviceSource> DeviceSource::usbmux() {
    return std::make_shared<USBMuxDeviceSource>();
}

}  // namespace panelora
