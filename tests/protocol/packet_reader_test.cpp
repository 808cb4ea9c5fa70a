#include "protocol/packet_reader.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;
using End = Wire::PacketReader::End;
using Wire::PacketType;

Bytes payloadOf(const Wire::Packet& p) {
    return Bytes(p.payload.begin(), p.payload.end());
}

TEST(PacketReader, ReadsPacketsInOrderWithUnknownTypesConsumedWholeAndEndsCleanly) {
    SocketPair s;
    s.send(
        hex("03 00000009 013F0000003F000000  04 00000000  00 00000002 AABB  0C 00000001 CC"
            "C8 00000000  07 00000008 000000000000002A"));
    s.closePeer();
    Wire::PacketReader reader(s.fd);
    const std::pair<uint8_t, Bytes> expected[] = {
        {3, hex("013F0000003F000000")}, {4, {}}, {0, hex("AABB")}, {12, hex("CC")}, {200, {}},
        {7, hex("000000000000002A")}};
    for (const auto& [type, payload] : expected) {
        auto p = reader.next();
        ASSERT_TRUE(p) << int(type);
        EXPECT_EQ(p->rawType, type);
        EXPECT_EQ(p->type(), Wire::packetTypeFromRaw(type));
        EXPECT_EQ(payloadOf(*p), payload);
    }
    EXPECT_FALSE(reader.next());
    EXPECT_EQ(reader.end(), End::endOfStream);
    EXPECT_FALSE(reader.next());  // stays ended
}

TEST(PacketReader, AcceptsExactlyTheLimitThenReadsOn) {
    SocketPair s;
    Bytes big(Wire::maxPayloadLength);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31);
    // Bigger than the socket buffer: written from a second thread.
    std::thread writer([&] {
        s.send(Wire::packet(PacketType::frame, big));
        s.send(hex("04 00000001 AA"));
        s.closePeer();
    });
    Wire::PacketReader reader(s.fd);
    auto p = reader.next();
    ASSERT_TRUE(p);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), p->payload.begin(), p->payload.end()));
    // The buffer is reused: a smaller packet after a big one has its own size.
    auto q = reader.next();
    ASSERT_TRUE(q);
    EXPECT_EQ(payloadOf(*q), hex("AA"));
    EXPECT_FALSE(reader.next());
    EXPECT_EQ(reader.end(), End::endOfStream);
    writer.join();
}

TEST(PacketReader, BrokenStreamsEndWithTheirReason) {
    struct Case {
        const char* sent;
        bool closed;
        End end;
    };
    // Over the limit is seen from the header alone: a reader that tried to read the payload
    // would block forever on the open socket.
    const Case cases[] = {
        {"02 000F4241", false, End::tooLong},  // 1,000,001
        {"07 FFFFFFFF", false, End::tooLong},
        {"03 0000", true, End::truncated},               // 3 of the 5 header bytes
        {"03 00000009 013F0000", true, End::truncated},  // announces 9, sends 4
    };
    for (const Case& c : cases) {
        SocketPair s;
        s.send(hex(c.sent));
        if (c.closed) s.closePeer();
        Wire::PacketReader reader(s.fd);
        EXPECT_FALSE(reader.next()) << c.sent;
        EXPECT_EQ(reader.end(), c.end) << c.sent;
    }
    Wire::PacketReader bad(-1);
    EXPECT_FALSE(bad.next());
    EXPECT_EQ(bad.end(), End::failed);
}

TEST(PacketReader, ShutdownWakesABlockedRead) {
    SocketPair s;
    Wire::PacketReader reader(s.fd);
    std::thread stopper([&] { ::shutdown(s.fd, SHUT_RDWR); });
    EXPECT_FALSE(reader.next());
    EXPECT_EQ(reader.end(), End::endOfStream);
    stopper.join();
}

}  // namespace
}  // namespace panelora::test
