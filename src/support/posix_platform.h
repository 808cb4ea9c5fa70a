// The few system calls whose spelling differs between Linux and macOS, so that the core itself
// has none. Each platform defines them in one file, chosen by CMake:
// src/platform/linux/posix/linux_posix.cpp and src/platform/macos/posix/darwin_posix.cpp.
//
// All are safe from any thread.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/serial_queue.h"

namespace panelora::posix {

// Monotonic time since boot in nanoseconds, from the clock the platform's media time stamps use:
// CLOCK_MONOTONIC on Linux, CLOCK_UPTIME_RAW (the host clock of CoreMedia) on macOS.
int64_t uptimeNanos();

// Names the calling thread, keeping what the platform keeps of a long name (its distinctive end).
void nameCurrentThread(const std::string& name);
// Gives the calling thread the scheduling class of a queue of that priority. A refusal (raising
// priority may need privileges) is harmless and ignored.
void prioritizeCurrentThread(QueuePriority priority);

// socket() for a descriptor that is closed on exec and whose writes never raise SIGPIPE where the
// platform can arrange that per socket (SO_NOSIGPIPE). -1 with errno on failure.
int openSocket(int family, int type, int protocol);

// One send of up to `size` bytes that reports a gone peer as EPIPE instead of raising SIGPIPE,
// also on descriptors that are not sockets (pipes). Returns what write() returns.
ssize_t writeWithoutSigpipe(int fd, const uint8_t* data, size_t size);

// The Unix-domain address of `path` in `address`, and its length for connect(); 0 when the path
// is empty or does not fit (it is never truncated).
socklen_t unixSocketAddress(std::string_view path, sockaddr_storage& address);

}  // namespace panelora::posix
