#pragma once

// Helpers for the transport tests: temporary directories, descriptor counting, a scripted fake
// daemon on a Unix socket, a TCP echo server and the usbmuxd simulator as a child process.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/plist_message.h"
#include "transport/socket_io.h"
#include "transport/usbmux_address.h"

extern "C" char** environ;

namespace panelora::test {

inline size_t openDescriptorCount() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/panelora-transport-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline UniqueFd listenUnix(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        return {};
    }
    return fd;
}

// Listens on 127.0.0.1 at an ephemeral port; `listening` false leaves it bound only, so
// connections to it are refused and nobody else can take the port meanwhile.
inline UniqueFd bindLoopback(uint16_t& port, bool listening = true) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd.get(), 64) != 0) ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return {};
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Accepts connections on its own thread and hands each to `handler` on that thread, one at a
// time. Stopped and joined by the destructor.
class ScriptedServer {
  public:
    using Handler = std::function<void(int clientFd)>;

    ScriptedServer(UniqueFd listener, Handler handler)
        : listener_(std::move(listener)), handler_(std::move(handler)) {
        thread_ = std::thread([this] {
            for (;;) {
                const int client = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) {
                    if (errno == EINTR) continue;
                    return;
                }
                {
                    UniqueFd owned(client);
                    handler_(client);
                }  // closed before it counts as served, so descriptor counts are settled
                ++served_;
            }
        });
    }
    ~ScriptedServer() { stop(); }
    void stop() {
        if (!thread_.joinable()) return;
        ::shutdown(listener_.get(), SHUT_RDWR);  // wakes accept()
        thread_.join();
        listener_.reset();
    }
    int served() const { return served_; }

  private:
    UniqueFd listener_;
    Handler handler_;
    std::atomic<int> served_{0};
    std::thread thread_;
};

// A fake daemon on a Unix socket in a temporary directory.
class FakeDaemon {
  public:
    explicit FakeDaemon(ScriptedServer::Handler handler)
        : path_(dir_.file("usbmuxd")), server_(listenUnix(path_), std::move(handler)) {}
    USBMux::DaemonAddress address() const { return USBMux::DaemonAddress::unixSocket(path_); }
    const std::string& path() const { return path_; }
    void stop() { server_.stop(); }
    int served() const { return server_.served(); }

  private:
    TempDir dir_;
    std::string path_;
    ScriptedServer server_;
};

// Echoes every byte back on each connection (one thread each) and half-closes at end of input.
class EchoServer {
  public:
    EchoServer() {
        listener_ = bindLoopback(port_);
        thread_ = std::thread([this] {
            for (;;) {
                const int client = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) {
                    if (errno == EINTR) continue;
                    break;
                }
                std::lock_guard lock(mutex_);
                clients_.push_back(client);
                workers_.emplace_back([client] {
                    std::vector<uint8_t> buffer(64 * 1024);
                    for (;;) {
                        const ssize_t n = ::read(client, buffer.data(), buffer.size());
                        if (n < 0 && errno == EINTR) continue;
                        if (n <= 0) break;
                        if (!writeAll(client, std::span(buffer.data(), size_t(n)))) break;
                    }
                    ::shutdown(client, SHUT_WR);
                });
            }
        });
    }
    ~EchoServer() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
        std::lock_guard lock(mutex_);
        for (int fd : clients_)
            ::shutdown(fd, SHUT_RDWR);
        for (auto& worker : workers_)
            worker.join();
        for (int fd : clients_)
            ::close(fd);
    }
    uint16_t port() const { return port_; }

  private:
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::list<std::thread> workers_;
};

struct ChildOptions {
    ChildOptions& env(std::string entry) {  // "NAME=value", ahead of the inherited environment
        extraEnv.push_back(std::move(entry));
        return *this;
    }
    ChildOptions& withStdin() {
        pipeStdin = true;
        return *this;
    }
    ChildOptions& withStderr() {  // stderr into the same pipe as stdout
        mergeStderr = true;
        return *this;
    }

    std::vector<std::string> extraEnv;
    bool pipeStdin = false;
    bool mergeStderr = false;
};

// Runs a program with stdout on a pipe; kill() sends SIGTERM and reaps it.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const ChildOptions& options = ChildOptions()) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        stdout_.reset(out[0]);
        UniqueFd writeEnd(out[1]);
        UniqueFd stdinRead;
        if (options.pipeStdin) {
            int in[2];
            if (pipe2(in, O_CLOEXEC) != 0) return;
            stdinRead.reset(in[0]);
            stdin_.reset(in[1]);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
        if (options.mergeStderr) {
            posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
        }
        if (options.pipeStdin) {
            posix_spawn_file_actions_adddup2(&actions, stdinRead.get(), STDIN_FILENO);
        }
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envStrings(options.extraEnv);
        for (char** e = environ; *e != nullptr; ++e)
            envStrings.emplace_back(*e);
        std::vector<char*> env;
        for (auto& entry : envStrings)
            env.push_back(entry.data());
        env.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    int stdinFd() const { return stdin_.get(); }
    void closeStdin() { stdin_.reset(); }
    ~ChildProcess() { kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Reads stdout until a line containing `text` arrives; false on exit or timeout.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd{stdout_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t n = ::read(stdout_.get(), buffer, sizeof buffer);
            if (n <= 0) return false;
            output_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // SIGTERM, then wait; returns the exit status as waitpid reports it, or -1.
    int kill(int signal = SIGTERM) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }
    // Waits for a natural exit; true if it exited by itself in time.
    bool waitExit(std::chrono::milliseconds timeout, int& status) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    UniqueFd stdin_;
    UniqueFd stdout_;
    std::string output_;
};

// The usbmuxd simulator in a temporary directory, ready once constructed (check ready()).
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& deviceArgs)
        : socketPath_(dir_.file("usbmuxd.sock")), child_(makeArgs(deviceArgs)) {
        ready_ = child_.started() &&
                 child_.waitForOutput("listening on " + socketPath_, std::chrono::seconds(10));
    }
    bool ready() const { return ready_; }
    const std::string& socketPath() const { return socketPath_; }
    USBMux::DaemonAddress address() const { return USBMux::DaemonAddress::unixSocket(socketPath_); }
    ChildProcess& child() { return child_; }

  private:
    std::vector<std::string> makeArgs(const std::vector<std::string>& deviceArgs) const {
        std::vector<std::string> args{USBMUXD_SIM_PATH, "--socket", socketPath_};
        for (const auto& device : deviceArgs) {
            args.push_back("--device");
            args.push_back(device);
        }
        return args;
    }

    TempDir dir_;
    std::string socketPath_;
    ChildProcess child_;
    bool ready_ = false;
};

// Reads from `fd` until end of stream; nothing on error.
inline std::optional<std::vector<uint8_t>> readToEnd(int fd) {
    std::vector<uint8_t> data;
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return data;
        data.insert(data.end(), buffer, buffer + n);
    }
}

}  // namespace panelora::test
