#include "transport/usbmux_replies.h"

#include "transport/plist_message.h"

namespace panelora::USBMux {
namespace {

std::optional<Device> parseDevice(plist_t entry) {
    plist_t properties = plist_dict_get_item(entry, "Properties");
    if (properties == nullptr || plist_get_node_type(properties) != PLIST_DICT) {
        return std::nullopt;
    }
    const auto id = dictUnsigned(properties, "DeviceID");
    if (!id) return std::nullopt;
    const auto connectionType = dictString(properties, "ConnectionType");
    if (!connectionType || *connectionType != "USB") return std::nullopt;
    return Device{static_cast<int64_t>(*id),
                  dictString(properties, "SerialNumber").value_or(std::string())};
}

}  // namespace

std::vector<Device> devicesInReply(plist_t reply) {
    if (!reply) return {};
    plist_t list = plist_dict_get_item(reply, "DeviceList");
    if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY) return {};
    const uint32_t count = plist_array_get_size(list);
    for (uint32_t i = 0; i < count; ++i) {
        if (plist_get_node_type(plist_array_get_item(list, i)) != PLIST_DICT) return {};
    }
    std::vector<Device> devices;
    for (uint32_t i = 0; i < count; ++i) {
        if (auto device = parseDevice(plist_array_get_item(list, i))) {
            devices.push_back(std::move(*device));
        }
    }
    return devices;
}

bool connectAccepted(plist_t reply) {
    if (!reply) return false;
    const auto number = dictUnsigned(reply, "Number");
    return number && *number == 0;
}

}  // namespace panelora::USBMux
