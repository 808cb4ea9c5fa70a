// The packet reader, and the handshake read on top of it.

#include "protocol/hello_reader.h"
#include "protocol/packet_reader.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;
using End = Wire::PacketReader::End;
using Kind = Wire::HelloOutcome::Kind;
using Wire::PacketType;

// Unknown types (0, 12 and up) are consumed whole; a payload of exactly the limit is read, and the
// buffer reused for the smaller packet after it; the end of the stream ends the reader for good.
TEST(PacketReader, ReadsPacketsInOrderAndEndsCleanly) {
    SocketPair s;
    const Bytes big = pattern(Wire::maxPayloadLength);
    // Bigger than the socket buffer: written from a second thread.
    std::thread writer([&] {
        s.send(
            hex("03 00000009 013F0000003F000000  04 00000000  00 00000002 AABB  0C 00000001 CC"));
        s.send(Wire::packet(PacketType::frame, big));
        s.send(hex("0B 00000001 AA"));
        s.closePeer();
    });
    const std::tuple<uint8_t, std::optional<PacketType>, Bytes> expected[] = {
        {3, PacketType::touch, hex("013F0000003F000000")},
        {4, PacketType::keyRequest, {}},
        {0, std::nullopt, hex("AABB")},
        {12, std::nullopt, hex("CC")},
        {2, PacketType::frame, big},
        {11, PacketType::scroll, hex("AA")}};
    Wire::PacketReader reader(s.fd);
    for (const auto& [raw, type, payload] : expected) {
        auto p = reader.next();
        ASSERT_TRUE(p) << int(raw);
        EXPECT_EQ(p->rawType, raw);
        EXPECT_EQ(p->type(), type);
        EXPECT_TRUE(
            std::equal(payload.begin(), payload.end(), p->payload.begin(), p->payload.end()));
    }
    EXPECT_FALSE(reader.next());
    EXPECT_EQ(reader.end(), End::endOfStream);
    EXPECT_FALSE(reader.next());  // stays ended
    writer.join();
}

TEST(PacketReader, BrokenStreamsEndWithTheirReason) {
    // What was sent, whether the stream then ended, and why the reader stopped. Over the limit is
    // seen from the header alone: a reader that tried to read the payload would block forever on
    // the open socket.
    const std::tuple<const char*, bool, End> cases[] = {
        {"02 000F4241", false, End::tooLong},  // 1,000,001
        {"07 FFFFFFFF", false, End::tooLong},
        {"03 0000", true, End::truncated},               // 3 of the 5 header bytes
        {"03 00000009 013F0000", true, End::truncated},  // announces 9, sends 4
    };
    for (const auto& [sent, closed, end] : cases) {
        SocketPair s;
        s.send(hex(sent));
        if (closed) s.closePeer();
        Wire::PacketReader reader(s.fd);
        EXPECT_FALSE(reader.next()) << sent;
        EXPECT_EQ(reader.end(), end) << sent;
    }
    Wire::PacketReader bad(-1);
    EXPECT_FALSE(bad.next());
    EXPECT_EQ(bad.end(), End::failed);
}

// A hello of up to 1023 bytes is read (bytes after offset 6 ignored); any other first packet is no
// hello; a stream that cannot be resynchronised (over the packet limit, a timeout or the end
// inside a packet) is broken. The handshake leaves the socket without a receive timeout and,
// unless the stream is broken, exactly at the start of the next packet.
TEST(ReadHello, OutcomesOfTheFirstPacket) {
    const Bytes hello = hex("0AAC 0800 78 01 02");  // 2732 × 2048, 120 Hz, client cursor, v2
    auto padded = [&](size_t length) {
        Bytes payload = hello;
        payload.resize(length, 0xEE);
        return Wire::packet(PacketType::hello, payload);
    };
    // What was sent, whether the stream then ended, and what the handshake made of it.
    const std::tuple<const char*, Bytes, bool, Kind> cases[] = {
        {"hello of 1023 bytes", padded(1023), false, Kind::hello},
        {"silence", {}, false, Kind::noHello},
        {"touch first", Wire::packet(PacketType::touch, hex("00 3F000000 3F000000")), false,
         Kind::noHello},
        {"hello of 1024 bytes", padded(1024), false, Kind::noHello},
        {"empty hello", Wire::packet(PacketType::hello, {}), false, Kind::noHello},
        {"length 1,000,001", hex("05 000F4241"), false, Kind::streamBroken},
        {"timeout inside the header", hex("05 0000"), false, Kind::streamBroken},
        {"timeout inside the hello payload", hex("05 00000007 0AAC08"), false, Kind::streamBroken},
        {"timeout inside a skipped payload", hex("03 00000009 003F"), false, Kind::streamBroken},
        {"end of stream at once", {}, true, Kind::streamBroken},
        {"end of stream inside the header", hex("05 00"), true, Kind::streamBroken},
    };
    for (const auto& [name, sent, closed, kind] : cases) {
        SCOPED_TRACE(name);
        SocketPair s;
        s.send(sent);
        if (closed) s.closePeer();
        const auto outcome = Wire::readHello(s.fd, std::chrono::milliseconds(100));
        EXPECT_EQ(outcome.kind, kind);
        EXPECT_EQ(outcome.hello, kind == Kind::hello
                                     ? std::optional(Hello{2732, 2048, 120, true, 2})
                                     : std::nullopt);
        timeval tv{1, 1};
        socklen_t len = sizeof tv;
        ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
        EXPECT_TRUE(tv.tv_sec == 0 && tv.tv_usec == 0);
        if (kind == Kind::streamBroken) continue;
        s.send(hex("04 00000001 5A"));
        Wire::PacketReader reader(s.fd);
        auto next = reader.next();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->type(), PacketType::keyRequest);
        EXPECT_EQ(Bytes(next->payload.begin(), next->payload.end()), hex("5A"));
    }
}

}  // namespace
}  // namespace panelora::test
