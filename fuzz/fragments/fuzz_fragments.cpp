// The handshake and the packet reader fed in arbitrary fragments (down to one byte per read,
// headers split anywhere): what they make of a stream must not depend on how it arrives. The
// first input byte chooses the fragment sizes; the rest is the stream. The same stream delivered
// whole is the reference.

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "protocol/hello_reader.h"
#include "protocol/packet_reader.h"

namespace {

using namespace panelora;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Pair {
    int fds[2] = {-1, -1};
    Pair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fds[0] = fds[1] = -1;
    }
    ~Pair() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    bool ok() const { return fds[0] >= 0; }
};

// Everything the readers made of a stream.
struct Transcript {
    Wire::HelloOutcome hello;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> packets;
    Wire::PacketReader::End end = Wire::PacketReader::End::none;
    bool operator==(const Transcript&) const = default;
};

Transcript readAll(int fd) {
    Transcript t;
    // Long enough that a writer between two fragments never looks like a silent tablet.
    t.hello = Wire::readHello(fd, std::chrono::milliseconds(10'000));
    if (t.hello.kind == Wire::HelloOutcome::Kind::streamBroken) return t;
    Wire::PacketReader reader(fd);
    while (auto packet = reader.next()) {
        t.packets.emplace_back(packet->rawType, std::vector<uint8_t>(packet->payload.begin(),
                                                                      packet->payload.end()));
    }
    t.end = reader.end();
    return t;
}

// Sizes of the fragments: one byte each for 0, else a repeating pattern of 1 to 8 bytes.
size_t fragmentSize(uint8_t choice, size_t index) {
    if (choice == 0) return 1;
    return 1 + ((choice >> (index % 4 * 2)) + index) % 8;
}

// Writes each fragment once the reader has taken everything before it, so that every read sees
// at most one fragment.
void writeInFragments(int fd, int peer, std::span<const uint8_t> bytes, uint8_t choice,
                      const std::atomic<bool>& readerDone) {
    size_t at = 0;
    for (size_t index = 0; at < bytes.size() && !readerDone.load(); ++index) {
        const size_t size = std::min(fragmentSize(choice, index), bytes.size() - at);
        if (::write(fd, bytes.data() + at, size) != static_cast<ssize_t>(size)) break;
        at += size;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        int waiting = 0;
        while (::ioctl(peer, FIONREAD, &waiting) == 0 && waiting > 0 && !readerDone.load() &&
               std::chrono::steady_clock::now() < deadline) {
            sched_yield();
        }
    }
    ::shutdown(fd, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const uint8_t choice = data[0];
    const std::span<const uint8_t> stream(data + 1, size - 1);

    Pair whole;
    if (!whole.ok()) return 0;
    if (::write(whole.fds[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) {
        return 0;  // the socket buffer holds far more than 4 KiB
    }
    ::shutdown(whole.fds[1], SHUT_WR);
    const Transcript reference = readAll(whole.fds[0]);

    Pair pieces;
    if (!pieces.ok()) return 0;
    std::atomic<bool> readerDone{false};
    std::thread writer(writeInFragments, pieces.fds[1], pieces.fds[0], stream, choice,
                       std::cref(readerDone));
    const Transcript fragmented = readAll(pieces.fds[0]);
    readerDone.store(true);
    writer.join();
    check(fragmented == reference);
    return 0;
}
