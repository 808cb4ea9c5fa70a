#include "protocol/hello_reader.h"

#include <sys/time.h>

#include "protocol/packet_reader.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Kind = Wire::HelloOutcome::Kind;
using Wire::PacketType;

constexpr std::chrono::milliseconds kTimeout{100};
const Bytes kHello = hex("0AAC 0800 78 01 02");  // 2732 × 2048, 120 Hz, client cursor, version 2

// The handshake leaves the socket without a receive timeout and, unless the stream is broken,
// exactly at the start of the next packet.
void expectLeftInSync(SocketPair& s, bool broken = false) {
    timeval tv{1, 1};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
    if (broken) return;
    s.send(hex("04 00000001 5A"));
    Wire::PacketReader reader(s.fd);
    auto p = reader.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type(), PacketType::keyRequest);
    EXPECT_EQ(Bytes(p->payload.begin(), p->payload.end()), hex("5A"));
}

TEST(ReadHello, AHelloOfUpTo1023BytesIsRead) {
    for (size_t length : {kHello.size(), size_t(1023)}) {
        SocketPair s;
        Bytes payload = kHello;
        payload.resize(length, 0xEE);  // bytes after offset 6 are ignored
        s.send(Wire::packet(PacketType::hello, payload));
        const auto outcome = Wire::readHello(s.fd, kTimeout);
        EXPECT_EQ(outcome.kind, Kind::hello);
        EXPECT_EQ(outcome.hello, (Hello{2732, 2048, 120, true, 2}));
        expectLeftInSync(s);
    }
}

TEST(ReadHello, SilenceOrAnUnusableFirstPacketIsNoHello) {
    Bytes tooLong = kHello;
    tooLong.resize(1024);
    const std::pair<const char*, Bytes> cases[] = {
        {"silence", {}},
        {"touch first", Wire::packet(PacketType::touch, hex("00 3F000000 3F000000"))},
        {"pong first", Wire::packet(PacketType::pong, hex("0102030405060708"))},
        {"unknown type first", Wire::packet(PacketType{200}, Bytes(300, 0x05))},
        {"hello of 1024 bytes", Wire::packet(PacketType::hello, tooLong)},
        {"empty hello", Wire::packet(PacketType::hello, {})},
        {"portrait hello", Wire::packet(PacketType::hello, hex("0600 0800 3C"))},
        {"hello with maxFPS 0", Wire::packet(PacketType::hello, hex("0AAC 0800 00"))},
    };
    for (const auto& [name, first] : cases) {
        SCOPED_TRACE(name);
        SocketPair s;
        s.send(first);
        const auto outcome = Wire::readHello(s.fd, kTimeout);
        EXPECT_EQ(outcome.kind, Kind::noHello);
        EXPECT_FALSE(outcome.hello);
        expectLeftInSync(s);
    }
}

TEST(ReadHello, StreamThatCannotBeResynchronisedIsReportedBroken) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"garbage header over the packet limit", "FFFFFFFFFF", false},
        {"length 1,000,001", "05 000F4241", false},
        {"timeout inside the header", "05 0000", false},
        {"timeout inside the hello payload", "05 00000007 0AAC08", false},
        {"timeout inside a skipped payload", "03 00000009 003F", false},
        {"end of stream at once", "", true},
        {"end of stream inside the header", "05 00", true},
        {"end of stream inside the payload", "05 00000007 0AAC", true},
        {"end of stream inside a skipped payload", "09 00000064 010203", true},
    };
    for (const auto& [name, sent, closed] : cases) {
        SCOPED_TRACE(name);
        SocketPair s;
        s.send(hex(sent));
        if (closed) s.closePeer();
        const auto outcome = Wire::readHello(s.fd, kTimeout);
        EXPECT_EQ(outcome.kind, Kind::streamBroken);
        EXPECT_FALSE(outcome.hello);
        expectLeftInSync(s, true);
    }
}

TEST(ReadHello, HelloFollowedByMorePacketsLeavesThemUnread) {
    SocketPair s;
    s.send(join({Wire::packet(PacketType::hello, kHello), hex("05 00000005 0280 01E0 1E")}));
    EXPECT_EQ(Wire::readHello(s.fd, kTimeout).kind, Kind::hello);
    Wire::PacketReader reader(s.fd);
    auto p = reader.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type(), PacketType::hello);
    EXPECT_EQ(p->payload.size(), 5u);
}

}  // namespace
}  // namespace panelora::test
