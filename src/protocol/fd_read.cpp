#include "protocol/fd_read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace panelora::Wire::detail {

ReadResult readFully(int fd, uint8_t* buffer, size_t count) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            return {ReadStatus::endOfStream, got};
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {ReadStatus::timedOut, got};
        } else {
            return {ReadStatus::failed, got};
        }
    }
    return {ReadStatus::complete, got};
}

ReadResult discard(int fd, size_t count) {
    uint8_t scratch[4096];
    size_t done = 0;
    while (done < count) {
        const size_t chunk = std::min(count - done, sizeof scratch);
        const ReadResult r = readFully(fd, scratch, chunk);
        done += r.bytesRead;
        if (r.status != ReadStatus::complete) return {r.status, done};
    }
    return {ReadStatus::complete, done};
}

}  // namespace panelora::Wire::detail
