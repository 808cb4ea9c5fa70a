#include "protocol/hello_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "protocol/packet_reader.h"
#include "socket_pair.h"

namespace panelora {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::rawPacket;
using testing::SocketPair;
using Kind = Wire::HelloOutcome::Kind;

constexpr std::chrono::milliseconds shortTimeout{100};

const Bytes validHello = {
    0x0A, 0xAC,  // width 2732
    0x08, 0x00,  // height 2048
    0x78,        // maxFPS 120
    0x01,        // flags: clientCursor
    0x02,        // version 2
};

bool receiveTimeoutCleared(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return false;
    return tv.tv_sec == 0 && tv.tv_usec == 0;
}

// After the handshake the next packet must start exactly where the handshake left off.
void expectNextPacketIsKeyRequest(SocketPair& s) {
    s.write(rawPacket(4, {0x5A}));
    Wire::PacketReader reader(s.reader);
    auto p = reader.next();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->type(), Wire::PacketType::keyRequest);
    ASSERT_EQ(p->payload.size(), 1u);
    EXPECT_EQ(p->payload[0], 0x5A);
}

TEST(ReadHello, ValidHello) {
    SocketPair s;
    s.write(rawPacket(5, validHello));
    const auto outcome = Wire::readHello(s.reader, shortTimeout);
    EXPECT_EQ(outcome.kind, Kind::hello);
    EXPECT_EQ(outcome.hello, (Hello{2732, 2048, 120, true, 2}));
    EXPECT_TRUE(receiveTimeoutCleared(s.reader));
    expectNextPacketIsKeyRequest(s);
}

TEST(ReadHello, LongestAcceptedHello) {
    SocketPair s;
    Bytes payload = validHello;
    payload.resize(1023, 0xEE);  // bytes after offset 6 are ignored
    s.write(rawPacket(5, payload));
    const auto outcome = Wire::readHello(s.reader, shortTimeout);
    EXPECT_EQ(outcome.kind, Kind::hello);
    expectNextPacketIsKeyRequest(s);
}

TEST(ReadHello, SilentTabletLeavesTheStreamInSync) {
    SocketPair s;
    const auto outcome = Wire::readHello(s.reader, shortTimeout);
    EXPECT_EQ(outcome.kind, Kind::noHello);
    EXPECT_FALSE(outcome.hello.has_value());
    EXPECT_TRUE(receiveTimeoutCleared(s.reader));
    expectNextPacketIsKeyRequest(s);
}

struct SkippedCase {
    const char* name;
    Bytes firstPacket;
};

TEST(ReadHello, UnusableFirstPacketIsSkippedWhole) {
    Bytes tooLong = validHello;
    tooLong.resize(1024, 0x00);
    const SkippedCase cases[] = {
        {"touch first", rawPacket(3, {0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00})},
        {"pong first", rawPacket(7, {1, 2, 3, 4, 5, 6, 7, 8})},
        {"unknown type first", rawPacket(200, Bytes(300, 0x05))},
        {"hello of 1024 bytes", rawPacket(5, tooLong)},
        {"empty hello", rawPacket(5, {})},
        {"portrait hello", rawPacket(5, {0x06, 0x00, 0x08, 0x00, 0x3C})},
        {"hello with maxFPS 0", rawPacket(5, {0x0A, 0xAC, 0x08, 0x00, 0x00})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair s;
        s.write(c.firstPacket);
        const auto outcome = Wire::readHello(s.reader, shortTimeout);
        EXPECT_EQ(outcome.kind, Kind::noHello);
        EXPECT_FALSE(outcome.hello.has_value());
        EXPECT_TRUE(receiveTimeoutCleared(s.reader));
        expectNextPacketIsKeyRequest(s);
    }
}

struct BrokenCase {
    const char* name;
    Bytes sent;
    bool closeAfter;
};

TEST(ReadHello, StreamThatCannotBeResynchronisedIsReportedBroken) {
    const BrokenCase cases[] = {
        {"garbage header over the packet limit", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"length 1,000,001", {0x05, 0x00, 0x0F, 0x42, 0x41}, false},
        {"timeout inside the header", {0x05, 0x00, 0x00}, false},
        {"timeout inside the hello payload", rawPacket(5, 7, {0x0A, 0xAC, 0x08}), false},
        {"timeout inside a skipped payload", rawPacket(3, 9, {0x00, 0x3F}), false},
        {"end of stream at once", {}, true},
        {"end of stream inside the header", {0x05, 0x00}, true},
        {"end of stream inside the payload", rawPacket(5, 7, {0x0A, 0xAC}), true},
        {"end of stream inside a skipped payload", rawPacket(9, 100, {1, 2, 3}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair s;
        if (!c.sent.empty()) s.write(c.sent);
        if (c.closeAfter) s.closeWriter();
        const auto outcome = Wire::readHello(s.reader, shortTimeout);
        EXPECT_EQ(outcome.kind, Kind::streamBroken);
        EXPECT_FALSE(outcome.hello.has_value());
        EXPECT_TRUE(receiveTimeoutCleared(s.reader));
    }
}

TEST(ReadHello, HelloFollowedByMorePacketsLeavesThemUnread) {
    SocketPair s;
    Bytes stream = rawPacket(5, validHello);
    const Bytes second = rawPacket(5, {0x02, 0x80, 0x01, 0xE0, 0x1E});  // a later hello
    stream.insert(stream.end(), second.begin(), second.end());
    s.write(stream);
    EXPECT_EQ(Wire::readHello(s.reader, shortTimeout).kind, Kind::hello);
    Wire::PacketReader reader(s.reader);
    auto p = reader.next();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->type(), Wire::PacketType::hello);
    EXPECT_EQ(p->payload.size(), 5u);
}

}  // namespace
}  // namespace panelora
