#include "platform/linux/shell/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

// False when the path does not fit a socket address.
bool address(const std::string& path, sockaddr_un& addr, socklen_t& length) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

std::string errorText(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

// Makes the folder (mode 0700) when it is missing; true when it is a folder of this user's that
// nobody else may enter. A link is refused too: in a shared folder anyone could have made it.
bool privateFolder(const std::string& folder, std::string& why) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot make " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        why = "cannot look at " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        why = folder + " is not a folder";
    } else if (status.st_uid != getuid()) {
        why = folder + " belongs to another user";
    } else if ((status.st_mode & 077) != 0) {
        why = folder + " is open to other users";
    } else {
        return true;
    }
    return false;
}

// Held while a copy binds and starts listening, removes a socket, or looks at one: so no copy
// ever meets another's socket bound but not yet listening, and a socket that refuses a
// connection is one left by a copy that crashed. Never held while waiting for another copy.
class SocketLock {
  public:
    explicit SocketLock(const std::string& socketPath)
        : fd_(open((socketPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                   0600)) {
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~SocketLock() {
        if (fd_ >= 0) close(fd_);  // releases the lock
    }
    SocketLock(const SocketLock&) = delete;
    SocketLock& operator=(const SocketLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_;
};

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
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return errno == ECONNRESET;
    }
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

std::string SingleInstance::defaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return runtime;
    std::error_code ignored;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ignored);
    if (temp.empty()) temp = "/tmp";
    return (temp / ("panelora-" + std::to_string(getuid()))).string();
}

std::string SingleInstance::socketPath(const std::string& folder, std::string_view identifier,
                                       std::string_view suffix) {
    std::string path = folder + "/";
    path += identifier;
    if (!suffix.empty()) {
        path += '.';
        path += suffix;
    }
    return path + ".socket";
}

std::string SingleInstance::defaultPath() {
    const char* suffix = std::getenv(nameSuffixVariable);
    return socketPath(defaultFolder(), kAppIdentifier, suffix ? suffix : "");
}

SingleInstance::Result SingleInstance::acquire(const std::string& path, Duration timeout) {
    Result result;
    const int64_t deadline = nowNanos() + timeout.count();
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) {
        result.error = "the socket path has no folder: " + path;
        return result;
    }
    if (!privateFolder(folder, result.error)) return result;
    socklen_t length = 0;
    sockaddr_un addr{};
    if (!address(path, addr, length)) {
        result.error = "the socket path is too long: " + path;
        return result;
    }
    const auto* socketAddress = reinterpret_cast<const sockaddr*>(&addr);

    for (;;) {
        int client = -1;
        {
            SocketLock lock(path);
            if (!lock.held()) {
                result.error = errorText("lock file");
                return result;
            }
            int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (listener < 0) {
                result.error = errorText("socket");
                return result;
            }
            if (bind(listener, socketAddress, length) == 0) {
                struct stat status {};
                if (::listen(listener, 8) == 0 && stat(path.c_str(), &status) == 0) {
                    result.instance.reset(
                        new SingleInstance(listener, path, status.st_dev, status.st_ino));
                    return result;
                }
                result.error = errorText("listen");
                unlink(path.c_str());
                close(listener);
                return result;
            }
            const int bindError = errno;
            close(listener);
            if (bindError != EADDRINUSE) {
                result.error = std::string("bind: ") + std::strerror(bindError);
                return result;
            }
            if (nowNanos() >= deadline) {
                result.error = "the running copy did not quit in time";
                return result;
            }
            // Not blocking: a holder that accepts nothing must not keep the lock held.
            client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (client < 0) {
                result.error = errorText("socket");
                return result;
            }
            if (connect(client, socketAddress, length) != 0) {
                const int connectError = errno;
                closeFd(client);
                if (connectError == ECONNREFUSED) {
                    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
                        result.error = errorText("removing a socket left by a crash");
                        return result;
                    }
                    logger()->info("{}", "replaced the socket of a copy that crashed");
                    continue;
                }
                // Gone meanwhile, or the holder is not accepting: try again shortly.
            }
        }
        if (client < 0) {
            usleep(20'000);
            continue;
        }

        // Someone holds the socket: ask it to quit and wait until it has gone.
        if (!peerIsSameUser(client)) {
            close(client);
            result.error = "the socket is held by another user";
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

SingleInstance::SingleInstance(int listener, std::string path, dev_t device, ino_t inode)
    : listener_(listener), path_(std::move(path)), device_(device), inode_(inode) {
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
    {
        // The socket goes before the copy that waits is told: it then binds at once. Unless a
        // copy has replaced it meanwhile.
        SocketLock lock(path_);
        struct stat status {};
        if (stat(path_.c_str(), &status) == 0 && status.st_dev == device_ &&
            status.st_ino == inode_) {
            unlink(path_.c_str());
        }
        closeFd(listener_);
    }
    for (int& fd : kept_)
        closeFd(fd);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
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
