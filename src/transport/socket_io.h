#pragma once

// Blocking byte-level helpers shared by the USB multiplexer client and the session's send and
// receive paths. Both retry on EINTR and fail on end of stream or any other error, including the
// EAGAIN a socket timeout produces. Neither raises SIGPIPE when the peer has gone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace panelora {

// Writes every byte of `bytes`. An empty buffer succeeds at once.
bool writeAll(int fd, std::span<const uint8_t> bytes);

// Reads exactly `count` bytes. A count of 0 succeeds at once with no bytes.
std::optional<std::vector<uint8_t>> readExactly(int fd, size_t count);

// Hot-path form: fills the whole of `into`, reusing the caller's storage.
bool readExactly(int fd, std::span<uint8_t> into);

// Sole owner of a descriptor; closes it on destruction.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

}  // namespace panelora
