// Servers the transport tests talk to: a scripted fake daemon that hands each connection to a
// handler on its own thread, and a TCP echo server. Both stop and join in their destructors.
#pragma once

#include <sys/un.h>

#include <list>

#include "test_prelude.h"
#include "transport/socket_io.h"
#include "transport/usbmux_address.h"

namespace panelora::test {

// Everything until the end of the stream; nothing on error.
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

// Accepts connections on its own thread and hands each to `handler` there, one at a time.
class ScriptedServer {
  public:
    using Handler = std::function<void(int clientFd)>;

    ScriptedServer(UniqueFd listener, Handler handler)
        : listener_(std::move(listener)), handler_(std::move(handler)) {
        thread_ = std::thread([this] {
            for (;;) {
                const int client = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0 && errno == EINTR) continue;
                if (client < 0) return;
                {
                    UniqueFd owned(client);  // closed before it counts as served
                    handler_(client);
                }
                ++served_;
            }
        });
    }
    ~ScriptedServer() {
        ::shutdown(listener_.get(), SHUT_RDWR);  // wakes accept()
        thread_.join();
    }
    int served() const { return served_; }

  private:
    UniqueFd listener_;
    Handler handler_;
    std::atomic<int> served_{0};
    std::thread thread_;
};

// A fake daemon on a Unix socket in a temporary folder.
class FakeDaemon {
  public:
    explicit FakeDaemon(ScriptedServer::Handler handler)
        : path_(dir_.file("usbmuxd")), server_(unixSocket(path_, true), std::move(handler)) {}
    USBMux::DaemonAddress address() const { return USBMux::DaemonAddress::unixSocket(path_); }
    int served() const { return server_.served(); }

  private:
    TempDir dir_;
    std::string path_;
    ScriptedServer server_;
};

// Echoes every byte back on each connection (a thread each) and half-closes at end of input.
class EchoServer {
  public:
    EchoServer() {
        listener_ = bindLoopback(port_);
        thread_ = std::thread([this] {
            for (;;) {
                const int client = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0 && errno == EINTR) continue;
                if (client < 0) return;
                std::lock_guard lock(mutex_);
                clients_.emplace_back(client);
                workers_.emplace_back([client] {
                    std::vector<uint8_t> buffer(64 * 1024);
                    ssize_t n;
                    while ((n = ::read(client, buffer.data(), buffer.size())) > 0 &&
                           writeAll(client, std::span(buffer.data(), size_t(n)))) {
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
        for (auto& fd : clients_)
            ::shutdown(fd.get(), SHUT_RDWR);
        for (auto& worker : workers_)
            worker.join();
    }
    uint16_t port() const { return port_; }

  private:
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::list<UniqueFd> clients_;
    std::list<std::thread> workers_;
};

}  // namespace panelora::test
