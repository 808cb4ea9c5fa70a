#include "platform/linux/sway/sway_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace panelora {
namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr size_t kHeader = sizeof(kMagic) + 8;
constexpr int kReplyTimeoutMs = 5000;  // sway answers at once; longer means it hangs
constexpr uint32_t kMaxPayload = 16u << 20;

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, char* data, size_t size) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kReplyTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::unique_ptr<SwayIpc> SwayIpc::connect(const std::string& socketPath, std::string* why) {
    std::string path = socketPath;
    if (path.empty()) {
        const char* env = std::getenv("SWAYSOCK");
        path = env ? env : "";
    }
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        if (why)
            *why = path.empty() ? "no sway IPC socket ($SWAYSOCK is not set)"
                                : "the sway IPC socket path is too long";
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (why) *why = "sway's IPC socket " + path + " does not answer: " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    std::unique_ptr<SwayIpc> ipc(new SwayIpc(fd, path));
    const auto version = ipc->request(getVersion);
    if (!version || !version->is_object()) {
        if (why) *why = "sway's IPC socket " + path + " gave no version";
        return nullptr;
    }
    ipc->version_ = version->value("variant", std::string("sway")) + " " +
                    version->value("human_readable", std::string("?"));
    return ipc;
}

SwayIpc::~SwayIpc() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<nlohmann::json> SwayIpc::request(MessageType type, const std::string& payload) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return std::nullopt;
    char header[kHeader];
    std::memcpy(header, kMagic, sizeof(kMagic));
    const auto length = static_cast<uint32_t>(payload.size());
    std::memcpy(header + sizeof(kMagic), &length, 4);  // sway's byte order: the host's
    std::memcpy(header + sizeof(kMagic) + 4, &type, 4);
    char reply[kHeader];
    uint32_t replyLength = 0, replyType = 0;
    std::string body;
    bool ok = writeAll(fd_, header, kHeader) && writeAll(fd_, payload.data(), payload.size()) &&
              readAll(fd_, reply, kHeader) && std::memcmp(reply, kMagic, sizeof(kMagic)) == 0;
    if (ok) {
        std::memcpy(&replyLength, reply + sizeof(kMagic), 4);
        std::memcpy(&replyType, reply + sizeof(kMagic) + 4, 4);
        ok = replyLength <= kMaxPayload && replyType == type;
    }
    if (ok) {
        body.resize(replyLength);
        ok = readAll(fd_, body.data(), body.size());
    }
    if (!ok) {
        ::close(fd_);
        fd_ = -1;
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    return json;
}

bool SwayIpc::command(const std::string& commands, std::string* why) {
    const auto reply = request(runCommand, commands);
    if (!reply || !reply->is_array()) {
        if (why) *why = "sway did not answer \"" + commands + "\"";
        return false;
    }
    for (const auto& result : *reply) {
        if (!result.is_object() || !result.value("success", false)) {
            if (why) {
                *why = "sway refused \"" + commands + "\"";
                if (result.is_object() && result.contains("error"))
                    *why += ": " + result.value("error", std::string());
            }
            return false;
        }
    }
    return true;
}

}  // namespace panelora
