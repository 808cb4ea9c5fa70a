// The availability macros of <os/availability.h>. On a non-Apple target clang ignores macOS
// availability, so they expand to nothing here.
#pragma once

#define API_AVAILABLE(...)
#define API_DEPRECATED(...)
#define API_UNAVAILABLE(...)
