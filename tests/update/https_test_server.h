// Local servers for the update check's system tests: a test certificate authority made with the
// openssl command at run time, `openssl s_server -HTTP` serving canned HTTPS responses from a
// temporary folder, a plain HTTP responder and a listener that never answers. Everything binds
// 127.0.0.1 on a free port and is torn down by its destructor.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace panelora::testing {

// A temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Keys and certificates made once per test program.
struct TestPKI {
    std::filesystem::path caCert;      // the authority the fetcher is told to trust
    std::filesystem::path strangerCA;  // another authority, which signed nothing here
    std::filesystem::path serverCert;  // for 127.0.0.1 and localhost, signed by caCert
    std::filesystem::path serverKey;
    std::filesystem::path wrongHostCert;  // signed by caCert, but for example.invalid only
    std::filesystem::path wrongHostKey;

    // Generates everything into `dir`; fails the calling test when openssl does.
    static TestPKI create(const std::filesystem::path& dir);
};

// `openssl s_server -HTTP`: GET /<name> answers with the file <name> of its folder verbatim,
// status line and headers included.
class HttpsServer {
  public:
    HttpsServer(const std::filesystem::path& cert, const std::filesystem::path& key);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string url(const std::string& name) const;

    // Serves `body` as GET /<name> with the given status line, e.g. "200 OK".
    void serve(const std::string& name, const std::string& status, const std::string& body,
               const std::string& extraHeaders = "");

  private:
    TempDir root_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Answers every connection with one canned plain-HTTP response and counts the connections.
class PlainHttpServer {
  public:
    explicit PlainHttpServer(std::string response);
    ~PlainHttpServer();
    PlainHttpServer(const PlainHttpServer&) = delete;
    PlainHttpServer& operator=(const PlainHttpServer&) = delete;

    int port() const { return port_; }
    int connections() const { return connections_; }

  private:
    std::string response_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Listens and never accepts: the kernel completes TCP handshakes, then nothing is ever said.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace panelora::testing
