// Arbitrary bytes through every decoder of tablet input, the handshake read and the packet reader.
// Besides memory errors it traps when a decoded value breaks the limits the session relies on.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/hello_reader.h"
#include "protocol/packet_reader.h"
#include "protocol/stream_profile.h"
#include "protocol/wire.h"

namespace {

using namespace panelora;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void checkProfile(const StreamProfile& p) {
    check(p.width >= 2 && p.width % 2 == 0);
    check(p.height >= 2 && p.height % 2 == 0);
    check(p.fps >= 30 && p.fps <= 120);
    check(p.bitrate >= 8'000'000 && p.bitrate <= 90'000'000);
    check(p.logicalWidth >= 2 && p.logicalWidth % 2 == 0);
    check(p.logicalHeight >= 2 && p.logicalHeight % 2 == 0);
}

void checkHello(const Hello& h) {
    check(h.pixelWidth >= 640 && h.pixelWidth <= 8192);
    check(h.pixelHeight >= 480 && h.pixelHeight <= 8192);
    check(h.pixelWidth >= h.pixelHeight);
    check(h.maxFPS >= 1 && h.maxFPS <= 255);
    check(h.version >= 0 && h.version <= 255);
    checkProfile(StreamProfile::negotiate(h.pixelWidth, h.pixelHeight, h.maxFPS, false, {}));
    checkProfile(StreamProfile::negotiate(h.pixelWidth, h.pixelHeight, h.maxFPS, true, 1.25));
}

void decodeAll(std::span<const uint8_t> payload) {
    if (auto h = Wire::parseHello(payload)) checkHello(*h);
    if (auto t = Wire::parseTouch(payload)) {
        check(t->phase < 5);
        check(t->x >= 0.0f && t->x <= 1.0f && t->y >= 0.0f && t->y <= 1.0f);
    }
    if (auto k = Wire::parseKey(payload)) check((k->modifiers.rawValue & ~0x1F) == 0);
    if (auto s = Wire::parseScroll(payload)) {
        check(std::abs(s->dx) <= 5000.0f && std::abs(s->dy) <= 5000.0f);
    }
    if (auto echo = Wire::parsePong(payload)) check(payload.size() >= 8);
}

// Owns both ends of a socket pair.
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

void readStream(std::span<const uint8_t> bytes) {
    Pair pair;
    if (!pair.ok()) return;
    // Non-blocking writer: whatever does not fit the socket buffer is simply not sent, so a large
    // input can never hang the run. Then the peer closes and the readers see the end of stream.
    ::fcntl(pair.fds[1], F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(pair.fds[1], bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(pair.fds[1], SHUT_WR);

    const auto outcome = Wire::readHello(pair.fds[0], std::chrono::milliseconds(1000));
    check(outcome.hello.has_value() == (outcome.kind == Wire::HelloOutcome::Kind::hello));
    if (outcome.hello) checkHello(*outcome.hello);
    if (outcome.kind == Wire::HelloOutcome::Kind::streamBroken) return;

    Wire::PacketReader reader(pair.fds[0]);
    while (auto packet = reader.next()) {
        check(packet->payload.size() <= Wire::maxPayloadLength);
        decodeAll(packet->payload);
    }
    check(reader.end() != Wire::PacketReader::End::none);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    decodeAll(input);
    readStream(input);
    return 0;
}
