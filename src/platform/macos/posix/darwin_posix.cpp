// The Darwin spellings of support/posix_platform.h: the uptime clock that CoreMedia's host time
// stamps use, thread names and quality-of-service classes, sockets made close-on-exec and
// SIGPIPE-free by option (Darwin has no flags for either) and Unix addresses with their length
// byte.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pthread/qos.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "platform/macos/portable/darwin_address.h"
#include "support/posix_platform.h"

namespace panelora::posix {
namespace {

constexpr size_t kMaxThreadName = 63;  // MAXTHREADNAMESIZE less the terminating zero

}  // namespace

int64_t uptimeNanos() {
    // mach_absolute_time in nanoseconds: the host clock of CMClockGetHostTimeClock, and so of the
    // capture's presentation time stamps. It stops while the machine sleeps.
    timespec ts{};
    clock_gettime(CLOCK_UPTIME_RAW, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void nameCurrentThread(const std::string& name) {
    const std::string kept =
        name.size() <= kMaxThreadName ? name : name.substr(name.size() - kMaxThreadName);
    pthread_setname_np(kept.c_str());
}

void prioritizeCurrentThread(QueuePriority priority) {
    qos_class_t qos = QOS_CLASS_DEFAULT;
    switch (priority) {
        case QueuePriority::userInteractive:
            qos = QOS_CLASS_USER_INTERACTIVE;
            break;
        case QueuePriority::userInitiated:
            qos = QOS_CLASS_USER_INITIATED;
            break;
        case QueuePriority::normal:
            qos = QOS_CLASS_DEFAULT;
            break;
        case QueuePriority::utility:
            qos = QOS_CLASS_UTILITY;
            break;
    }
    pthread_set_qos_class_self_np(qos, 0);
}

int openSocket(int family, int type, int protocol) {
    const int fd = ::socket(family, type, protocol);
    if (fd < 0) return fd;
    const int one = 1;
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

ssize_t writeWithoutSigpipe(int fd, const uint8_t* data, size_t size) {
    // The socket carries SO_NOSIGPIPE from openSocket(); a pipe gets the same per descriptor.
    const ssize_t sent = ::send(fd, data, size, 0);
    if (sent >= 0 || errno != ENOTSOCK) return sent;
    ::fcntl(fd, F_SETNOSIGPIPE, 1);
    return ::write(fd, data, size);
}

socklen_t unixSocketAddress(std::string_view path, sockaddr_storage& storage) {
    const std::optional<darwin::UnixAddress> bytes = darwin::unixAddress(path);
    if (!bytes) return 0;
    static_assert(sizeof(sockaddr_un) == darwin::kUnixAddressSize);
    static_assert(offsetof(sockaddr_un, sun_path) == 2);
    static_assert(AF_UNIX == darwin::kFamilyUnix);
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, bytes->data(), bytes->size());
    return static_cast<socklen_t>(bytes->size());
}

}  // namespace panelora::posix
