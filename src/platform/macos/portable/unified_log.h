// The unified log's message types (os_log_type_t of <os/log.h>) for the spdlog levels the core
// logs at.
#pragma once

#include <spdlog/common.h>

#include <cstdint>

namespace panelora::unifiedlog {

inline constexpr uint8_t kDefault = 0x00;  // OS_LOG_TYPE_DEFAULT
inline constexpr uint8_t kInfo = 0x01;     // OS_LOG_TYPE_INFO
inline constexpr uint8_t kDebug = 0x02;    // OS_LOG_TYPE_DEBUG
inline constexpr uint8_t kError = 0x10;    // OS_LOG_TYPE_ERROR
inline constexpr uint8_t kFault = 0x11;    // OS_LOG_TYPE_FAULT

// trace and debug: debug; info: info; warn: default (kept, unlike info); error: error;
// critical: fault.
uint8_t typeFor(spdlog::level::level_enum level);

}  // namespace panelora::unifiedlog
