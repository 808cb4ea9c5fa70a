#include "transport/socket_io.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "support/posix_platform.h"

namespace panelora {

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    size_t remaining = bytes.size();
    while (remaining > 0) {
        ssize_t n = posix::writeWithoutSigpipe(fd, data, remaining);
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
