// Declarations mirroring <os/log.h>: the unified log. os_log_with_type() checks its literal format
// with the compiler's os_log builtins, as the real macro does.
#pragma once

#include <os/object.h>
#include <stdint.h>

OS_OBJECT_DECL(os_log);

enum os_log_type : uint8_t {
    OS_LOG_TYPE_DEFAULT = 0x00,
    OS_LOG_TYPE_INFO = 0x01,
    OS_LOG_TYPE_DEBUG = 0x02,
    OS_LOG_TYPE_ERROR = 0x10,
    OS_LOG_TYPE_FAULT = 0x11,
};
typedef enum os_log_type os_log_type_t;

extern "C" {

os_log_t os_log_create(const char* subsystem, const char* category);
bool os_log_type_enabled(os_log_t oslog, os_log_type_t type);
void _os_log_impl(void* dso, os_log_t log, os_log_type_t type, const char* format, uint8_t* buf,
                  uint32_t size);
extern struct mach_header __dso_handle;

}  // extern "C"

#define os_log_with_type(log, type, format, ...)                                                \
    do {                                                                                        \
        os_log_t _log_tmp = (log);                                                              \
        os_log_type_t _type_tmp = (type);                                                       \
        if (os_log_type_enabled(_log_tmp, _type_tmp)) {                                         \
            __attribute__((uninitialized))                                                      \
            uint8_t _os_log_buf[__builtin_os_log_format_buffer_size(format, ##__VA_ARGS__)];    \
            _os_log_impl(&__dso_handle, _log_tmp, _type_tmp, format,                            \
                         (uint8_t*)__builtin_os_log_format(_os_log_buf, format, ##__VA_ARGS__), \
                         (uint32_t)sizeof(_os_log_buf));                                        \
        }                                                                                       \
    } while (0)
