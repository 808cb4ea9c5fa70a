// Servers the transport tests talk to: a scripted fake daemon that hands each connection to a
// handler on its own thread, and a TCP echo server. Both stop and join in their destructors.
#pragma once

#include "test_prelude.h"
#include "transport/socket_io.h"
#include "transport/usbmux_address.h"

namespace panelora::test {

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

// Echoes every byte back on each connection, one connection at a time; its peers must have closed
// by the time it is destroyed (the simulators that relay to it end first).
class EchoServer {
  public:
    EchoServer()
        : server_(bindLoopback(port_), [](int client) {
              std::vector<uint8_t> buffer(64 * 1024);
              ssize_t n;
              while ((n = ::read(client, buffer.data(), buffer.size())) > 0 &&
                     writeAll(client, std::span(buffer.data(), size_t(n)))) {
              }
          }) {}
    uint16_t port() const { return port_; }

  private:
    uint16_t port_ = 0;  // set by bindLoopback before the server starts
    ScriptedServer server_;
};

}  // namespace panelora::test
