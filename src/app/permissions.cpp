#include "app/permissions.h"

namespace panelora {
namespace Permissions {

std::string settingsAddress(std::string_view pane, std::optional<std::string_view> anchor) {
    std::string address(settingsScheme);
    address += ':';
    address += pane;
    if (anchor) {
        address += '?';
        address += *anchor;
    }
    return address;
}

bool isValidURL(std::string_view address) {
    auto colon = address.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == address.size()) return false;
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (!isAlpha(address[0])) return false;
    for (size_t i = 1; i < colon; ++i) {
        char c = address[i];
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    for (size_t i = colon + 1; i < address.size(); ++i) {
        auto c = static_cast<unsigned char>(address[i]);
        if (c <= 0x20 || c == 0x7F) return false;
    }
    return true;
}

}  // namespace Permissions

namespace {

void open(PermissionsBackend& backend, std::string_view pane,
          std::optional<std::string_view> anchor) {
    std::string address = Permissions::settingsAddress(pane, anchor);
    if (!Permissions::isValidURL(address)) return;
    backend.openURL(address);
}

}  // namespace

void openScreenRecordingSettings(PermissionsBackend& backend) {
    open(backend, Permissions::securityPane, Permissions::screenCaptureAnchor);
}

void openAccessibilitySettings(PermissionsBackend& backend) {
    open(backend, Permissions::securityPane, Permissions::accessibilityAnchor);
}

void openDisplaySettings(PermissionsBackend& backend) {
    open(backend, Permissions::displaysPane, std::nullopt);
}

}  // namespace panelora
