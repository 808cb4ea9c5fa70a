#include "platform/linux/shell/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace panelora {
namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

bool blockStopSignals() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t set = stopSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

std::unique_ptr<StopSignalWatcher> StopSignalWatcher::start(
    std::function<void(int signo)> onSignal) {
    sigset_t set = stopSet();
    int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) return nullptr;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        close(fd);
        return nullptr;
    }
    std::unique_ptr<StopSignalWatcher> watcher(
        new StopSignalWatcher(fd, wake[0], wake[1], std::move(onSignal)));
    watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
    return watcher;
}

StopSignalWatcher::StopSignalWatcher(int signalFd, int wakeRead, int wakeWrite,
                                     std::function<void(int)> onSignal)
    : signalFd_(signalFd),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite),
      onSignal_(std::move(onSignal)) {}

StopSignalWatcher::~StopSignalWatcher() {
    char byte = 0;
    while (write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
    if (thread_.joinable()) thread_.join();
    close(signalFd_);
    close(wakeRead_);
    close(wakeWrite_);
}

void StopSignalWatcher::run() {
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents) return;
        signalfd_siginfo info{};
        while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
        }
    }
}

}  // namespace panelora
