#include "transport/socket_io.h"

#include <algorithm>

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace panelora {

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

bool writeAllPlain(int fd, const uint8_t* data, size_t remaining) {
    SigpipeGuard guard;
    while (remaining > 0) {
        ssize_t n = ::write(fd, data, remaining);
        if (n > 0) {
            data += n;
            remaining -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno == EPIPE) guard.noteEpipe();
            return false;
        }
    }
    return true;
}

}  // namespace

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    size_t remaining = bytes.size();
    while (remaining > 0) {
        ssize_t n = ::send(fd, data, remaining, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            remaining -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == ENOTSOCK) {
            return writeAllPlain(fd, data, remaining);
        } else {
            return false;
        }
    }
    return true;
}

bool readExactly(int fd, std::span<uint8_t> into) {
    uint8_t* data = into.data();
    size_t remaining = into.size();
    while (remaining > 0) {
        ssize_t n = ::read(fd, data, remaining);
        if (n > 0) {
            data += n;
            remaining -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<std::vector<uint8_t>> readExactly(int fd, size_t count) {
    // Storage grows with the bytes that actually arrive, so a peer announcing a huge length
    // costs memory only for what it really sends.
    constexpr size_t kFirstChunk = size_t{1} << 20;
    std::vector<uint8_t> bytes(std::min(count, kFirstChunk));
    size_t filled = 0;
    while (filled < count) {
        if (filled == bytes.size()) bytes.resize(std::min(count, bytes.size() * 2));
        if (!readExactly(fd, std::span<uint8_t>(bytes).subspan(filled))) return std::nullopt;
        filled = bytes.size();
    }
    return bytes;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

}  // namespace panelora
