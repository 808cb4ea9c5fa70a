#include "platform/macos/portable/appkit_values.h"

namespace panelora::appkit {

std::optional<size_t> chosenButton(long response, size_t buttonCount) {
    if (response < kAlertFirstButtonReturn) return std::nullopt;
    const auto index = static_cast<size_t>(response - kAlertFirstButtonReturn);
    if (index >= buttonCount) return std::nullopt;
    return index;
}

LoginItemBackend::Status loginItemStatus(long raw) {
    switch (raw) {
        case 0:
            return LoginItemBackend::Status::notRegistered;
        case 1:
            return LoginItemBackend::Status::enabled;
        case 2:
            return LoginItemBackend::Status::requiresApproval;
        default:
            return LoginItemBackend::Status::notFound;
    }
}

}  // namespace panelora::appkit
