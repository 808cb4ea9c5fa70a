#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "support/posix_platform.h"

namespace panelora::posix {
namespace {

// write() on a pipe or FIFO whose reader is gone raises SIGPIPE, which no flag suppresses.
// Block it for this thread around the write and swallow the one our write raised, so the
// caller sees EPIPE instead of a dead process. A SIGPIPE already pending is left alone.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
    }
    ~SigpipeGuard() {
        if (raised_ && !wasPending_) {
            const timespec zero{};
            while (sigtimedwait(&pipeSet_, nullptr, &zero) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    void noteEpipe() { raised_ = true; }

  private:
    sigset_t pipeSet_{};
    sigset_t oldMask_{};
    bool wasPending_ = false;
    bool raised_ = false;
};

}  // namespace

int64_t uptimeNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void nameCurrentThread(const std::string& name) {
    // Linux keeps 15 characters of a thread name.
    const std::string kept = name.size() <= 15 ? name : name.substr(name.size() - 15);
    pthread_setname_np(pthread_self(), kept.c_str());
}

void prioritizeCurrentThread(QueuePriority priority) {
    int nice = 0;
    switch (priority) {
        case QueuePriority::userInteractive:
            nice = -4;
            break;
        case QueuePriority::userInitiated:
            nice = -2;
            break;
        case QueuePriority::normal:
            return;
        case QueuePriority::utility:
            nice = 4;
            break;
    }
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
}

int openSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

ssize_t writeWithoutSigpipe(int fd, const uint8_t* data, size_t size) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent >= 0 || errno != ENOTSOCK) return sent;
    SigpipeGuard guard;
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EPIPE) guard.noteEpipe();
    return written;
}

socklen_t unixSocketAddress(std::string_view path, sockaddr_storage& storage) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) return 0;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    static_assert(sizeof address <= sizeof storage);
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, &address, sizeof address);
    return sizeof address;
}

}  // namespace panelora::posix
