#include "https_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace panelora::testing {
namespace fs = std::filesystem;
namespace {

int listenOnLoopback(int backlog, int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool canConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Runs one openssl command in `dir`, its output appended to dir/openssl.log.
bool openssl(const fs::path& dir, const std::string& arguments) {
    const std::string command =
        "cd '" + dir.string() + "' && openssl " + arguments + " >>openssl.log 2>&1 </dev/null";
    return std::system(command.c_str()) == 0;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "panelora-update-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

TestPKI TestPKI::create(const fs::path& dir) {
    const std::string newKey = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    writeFile(dir / "server.ext",
              "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
              "basicConstraints=critical,CA:FALSE\n"
              "keyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=serverAuth\n");
    writeFile(dir / "wronghost.ext",
              "subjectAltName=DNS:example.invalid\n"
              "basicConstraints=critical,CA:FALSE\n"
              "keyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=serverAuth\n");
    const std::string caExtensions =
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign";
    const bool ok =
        openssl(dir, "req -x509 " + newKey + " -keyout ca.key -out ca.pem -days 2 " +
                         "-subj '/CN=Panelora Test CA' " + caExtensions) &&
        openssl(dir, "req -x509 " + newKey + " -keyout stranger.key -out stranger.pem -days 2 " +
                         "-subj '/CN=Panelora Stranger CA' " + caExtensions) &&
        openssl(dir,
                "req " + newKey + " -keyout server.key -out server.csr -subj '/CN=localhost'") &&
        openssl(dir,
                "x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                "-out server.pem -days 2 -extfile server.ext") &&
        openssl(dir, "req " + newKey +
                         " -keyout wronghost.key -out wronghost.csr -subj '/CN=example.invalid'") &&
        openssl(dir,
                "x509 -req -in wronghost.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                "-out wronghost.pem -days 2 -extfile wronghost.ext");
    if (!ok)
        ADD_FAILURE() << "making the test certificates failed:\n" << readFile(dir / "openssl.log");
    return {dir / "ca.pem",     dir / "stranger.pem",  dir / "server.pem",
            dir / "server.key", dir / "wronghost.pem", dir / "wronghost.key"};
}

HttpsServer::HttpsServer(const fs::path& cert, const fs::path& key) {
    const fs::path log = root_.path() / "s_server.log";
    // The port is free when picked but could be taken before the server binds it: then the
    // server exits and another port is tried.
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        int port = 0;
        const int probe = listenOnLoopback(1, &port);
        if (probe < 0) break;
        ::close(probe);

        std::vector<std::string> args = {"openssl", "s_server",
                                         "-HTTP",   "-quiet",
                                         "-accept", "127.0.0.1:" + std::to_string(port),
                                         "-cert",   cert.string(),
                                         "-key",    key.string()};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string dir = root_.path().string();
        const std::string logPath = log.string();

        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execvp("openssl", argv.data());
            ::_exit(127);
        }
        if (pid < 0) break;

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) break;  // exited: try another port
            if (canConnect(port)) {
                pid_ = pid;
                port_ = port;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ < 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    if (pid_ < 0) ADD_FAILURE() << "openssl s_server did not start:\n" << readFile(log);
}

HttpsServer::~HttpsServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string HttpsServer::url(const std::string& name) const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

void HttpsServer::serve(const std::string& name, const std::string& status, const std::string& body,
                        const std::string& extraHeaders) {
    writeFile(root_.path() / name, "HTTP/1.0 " + status + "\r\nContent-Type: application/json\r\n" +
                                       extraHeaders + "\r\n" + body);
}

PlainHttpServer::PlainHttpServer(std::string response) : response_(std::move(response)) {
    listener_ = listenOnLoopback(8, &port_);
    if (listener_ < 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1";
        return;
    }
    thread_ = std::thread([this] {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++connections_;
            timeval timeout{2, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            std::string request;
            char buffer[1024];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<size_t>(n));
            }
            [[maybe_unused]] const ssize_t sent =
                ::send(client, response_.data(), response_.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    });
}

PlainHttpServer::~PlainHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

SilentListener::SilentListener() {
    fd_ = listenOnLoopback(8, &port_);
    if (fd_ < 0) ADD_FAILURE() << "cannot listen on 127.0.0.1";
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace panelora::testing
