#include "platform/linux/shell/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/app_info.h"
#include "support/log.h"

namespace panelora {
namespace {

constexpr std::string_view quitRequest = "quit\n";
// How long a connection may take to say what it wants.
constexpr int requestTimeoutMs = 1000;

std::shared_ptr<spdlog::logger> logger() {
    return log::get("app");
}

int64_t nowNanos() {
    return Clock::system().uptimeNanos();
}

int remainingMs(int64_t deadline) {
    int64_t left = (deadline - nowNanos()) / 1'000'000;
    return left < 0 ? 0 : static_cast<int>(left);
}

sockaddr_un address(const std::string& name, socklen_t* length) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t size = std::min(name.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, name.data(), size);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    return addr;
}

bool peerIsSameUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
    return credentials.uid == getuid();
}

// Reads until the peer closes the connection or the deadline passes; true when it closed.
bool waitForClose(int fd, int64_t deadline) {
    char buffer[64];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == ECONNRESET;
    }
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

std::string SingleInstance::socketName(std::string_view identifier, uid_t uid,
                                       std::string_view suffix) {
    std::string name(1, '\0');
    name += identifier;
    name += '.';
    name += std::to_string(uid);
    if (!suffix.empty()) {
        name += '.';
        name += suffix;
    }
    return name;
}

std::string SingleInstance::defaultName() {
    const char* suffix = std::getenv(nameSuffixVariable);
    return socketName(kAppIdentifier, getuid(), suffix ? suffix : "");
}

SingleInstance::Result SingleInstance::acquire(const std::string& name, Duration timeout) {
    Result result;
    const int64_t deadline = nowNanos() + timeout.count();
    socklen_t length = 0;
    const sockaddr_un addr = address(name, &length);

    for (;;) {
        int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0) {
            result.error = std::string("socket: ") + std::strerror(errno);
            return result;
        }
        if (bind(listener, reinterpret_cast<const sockaddr*>(&addr), length) == 0 &&
            ::listen(listener, 8) == 0) {
            result.instance.reset(new SingleInstance(listener));
            return result;
        }
        int bindError = errno;
        close(listener);
        if (bindError != EADDRINUSE) {
            result.error = std::string("bind: ") + std::strerror(bindError);
            return result;
        }
        if (nowNanos() >= deadline) {
            result.error = "the running copy did not quit in time";
            return result;
        }

        // Someone holds the name: ask it to quit and wait until it has gone.
        int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0) {
            result.error = std::string("socket: ") + std::strerror(errno);
            return result;
        }
        if (connect(client, reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
            // Bound but not listening yet, or going away: try again shortly.
            close(client);
            usleep(20'000);
            continue;
        }
        if (!peerIsSameUser(client)) {
            close(client);
            result.error = "the name is held by another user";
            return result;
        }
        bool sent = send(client, quitRequest.data(), quitRequest.size(), MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(quitRequest.size());
        if (sent) {
            result.askedOtherToQuit = true;
            logger()->info("{}", "asked the running copy to quit");
            waitForClose(client, deadline);
        }
        close(client);
        if (!sent) usleep(20'000);
    }
}

SingleInstance::SingleInstance(int listener) : listener_(listener) {
    if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
}

SingleInstance::~SingleInstance() {
    if (thread_.joinable()) {
        if (wake_[1] >= 0) {
            char byte = 0;
            while (write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
            }
        }
        thread_.join();
    }
    for (int& fd : kept_)
        closeFd(fd);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
    close(listener_);
}

void SingleInstance::listen(std::function<void()> onQuit) {
    if (thread_.joinable() || wake_[0] < 0) return;
    onQuit_ = std::move(onQuit);
    thread_ = std::thread([this] { serve(); });
}

void SingleInstance::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (fds[1].revents & (POLLIN | POLLHUP))) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        handle(connection);
    }
}

void SingleInstance::handle(int connection) {
    if (!peerIsSameUser(connection)) {
        logger()->warn("{}", "ignored a quit request from another user");
        close(connection);
        return;
    }
    // One short line; a client that says nothing in time, or something else, is dropped.
    std::string request;
    const int64_t deadline = nowNanos() + int64_t(requestTimeoutMs) * 1'000'000;
    while (request.size() < quitRequest.size()) {
        pollfd p{connection, POLLIN, 0};
        int ready = poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[16];
        ssize_t n = read(connection, buffer, quitRequest.size() - request.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    if (request != quitRequest) {
        close(connection);
        return;
    }
    // Held open until this copy is gone: its closing is the answer the new copy waits for.
    kept_.push_back(connection);
    if (!quitRequested_) {
        quitRequested_ = true;
        logger()->info("{}", "another copy asked this one to quit");
        if (onQuit_) onQuit_();
    }
}

}  // namespace panelora
