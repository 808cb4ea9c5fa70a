// The bytes of a Unix-domain socket address as Darwin lays it out (struct sockaddr_un of
// <sys/un.h>): a length byte, a one-byte family and 104 bytes of path, 106 in all. glibc's
// structure differs (no length byte, a two-byte family, 108 bytes of path), so the layout is
// built here, where Linux can test it, and darwin_posix.cpp copies it into the real structure.
// Header-only: the Darwin system-call library uses it without linking anything else.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace panelora::darwin {

inline constexpr size_t kUnixAddressSize = 106;  // sizeof(struct sockaddr_un)
inline constexpr size_t kUnixPathCapacity = 104;
inline constexpr uint8_t kFamilyUnix = 1;  // AF_UNIX

using UnixAddress = std::array<uint8_t, kUnixAddressSize>;

// Zero-filled: sun_len 106, sun_family AF_UNIX, the path and at least one terminating zero.
// Nothing for an empty path, one of more than 103 bytes (never truncated: a cut path names
// another socket) or one holding a zero byte.
inline std::optional<UnixAddress> unixAddress(std::string_view path) {
    if (path.empty() || path.size() >= kUnixPathCapacity) return std::nullopt;
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    UnixAddress address{};
    address[0] = static_cast<uint8_t>(kUnixAddressSize);
    address[1] = kFamilyUnix;
    std::copy(path.begin(), path.end(), address.begin() + 2);
    return address;
}

}  // namespace panelora::darwin
