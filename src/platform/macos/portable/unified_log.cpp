#include "platform/macos/portable/unified_log.h"

namespace panelora::unifiedlog {

uint8_t typeFor(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            return kDebug;
        case spdlog::level::info:
            return kInfo;
        case spdlog::level::warn:
            return kDefault;
        case spdlog::level::err:
            return kError;
        case spdlog::level::critical:
            return kFault;
        default:
            return kDefault;
    }
}

}  // namespace panelora::unifiedlog
