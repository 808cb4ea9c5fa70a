#include "protocol/packet_reader.h"

#include <gtest/gtest.h>

#include <thread>

#include "socket_pair.h"

namespace panelora {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::rawPacket;
using testing::SocketPair;
using End = Wire::PacketReader::End;

Bytes payloadOf(const Wire::Packet& p) {
    return Bytes(p.payload.begin(), p.payload.end());
}

TEST(PacketReader, ReadsPacketsInOrderAndEndsCleanlyAtEof) {
    SocketPair s;
    const Bytes touch = {0x01, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00};
    Bytes stream = {
        0x03,                    // type touch
        0x00, 0x00, 0x00, 0x09,  // length 9
    };
    stream.insert(stream.end(), touch.begin(), touch.end());
    const Bytes keyRequest = {
        0x04,                    // type keyRequest
        0x00, 0x00, 0x00, 0x00,  // length 0
    };
    stream.insert(stream.end(), keyRequest.begin(), keyRequest.end());
    s.write(stream);
    s.closeWriter();

    Wire::PacketReader reader(s.reader);
    auto first = reader.next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->rawType, 3);
    EXPECT_EQ(first->type(), Wire::PacketType::touch);
    EXPECT_EQ(payloadOf(*first), touch);

    auto second = reader.next();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->type(), Wire::PacketType::keyRequest);
    EXPECT_TRUE(second->payload.empty());

    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::endOfStream);
    EXPECT_FALSE(reader.next().has_value());  // stays ended
}

TEST(PacketReader, UnknownTypesAreConsumedWholeAndReadingGoesOn) {
    SocketPair s;
    const Bytes junk = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes stream;
    for (uint8_t type : {0, 12, 200}) {
        const Bytes p = rawPacket(type, junk);
        stream.insert(stream.end(), p.begin(), p.end());
    }
    const Bytes pong = rawPacket(7, {0, 0, 0, 0, 0, 0, 0, 42});
    stream.insert(stream.end(), pong.begin(), pong.end());
    s.write(stream);
    s.closeWriter();

    Wire::PacketReader reader(s.reader);
    for (uint8_t type : {0, 12, 200}) {
        auto p = reader.next();
        ASSERT_TRUE(p.has_value()) << int(type);
        EXPECT_EQ(p->rawType, type);
        EXPECT_FALSE(p->type().has_value());
        EXPECT_EQ(payloadOf(*p), junk);
    }
    auto p = reader.next();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->type(), Wire::PacketType::pong);
    EXPECT_EQ(Wire::parsePong(p->payload), std::optional<uint64_t>(42));
}

TEST(PacketReader, AcceptsExactlyTheLimitThenReadsOn) {
    SocketPair s;
    Bytes big(Wire::maxPayloadLength);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31);
    Bytes stream = rawPacket(2, big);
    const Bytes after = rawPacket(4, {0xAA});
    stream.insert(stream.end(), after.begin(), after.end());
    // Bigger than the socket buffer: write from a second thread.
    std::thread writer([&] {
        s.write(stream);
        s.closeWriter();
    });

    Wire::PacketReader reader(s.reader);
    auto p = reader.next();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->payload.size(), 1'000'000u);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), p->payload.begin()));

    // The buffer is reused: a smaller packet after a big one has its own size.
    auto q = reader.next();
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(payloadOf(*q), Bytes{0xAA});
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::endOfStream);
    writer.join();
}

TEST(PacketReader, RejectsOneByteOverTheLimitWithoutReadingIt) {
    SocketPair s;
    // Only the header is sent: a reader that tried to read the payload would block forever.
    s.write({
        0x02,                    // type frame
        0x00, 0x0F, 0x42, 0x41,  // length 1,000,001
    });
    Wire::PacketReader reader(s.reader);
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::tooLong);
}

TEST(PacketReader, RejectsTheLargestLength) {
    SocketPair s;
    s.write({0x07, 0xFF, 0xFF, 0xFF, 0xFF});  // pong, length 2^32 - 1
    Wire::PacketReader reader(s.reader);
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::tooLong);
}

TEST(PacketReader, EofInsideHeaderIsTruncation) {
    SocketPair s;
    s.write({0x03, 0x00, 0x00});  // 3 of the 5 header bytes
    s.closeWriter();
    Wire::PacketReader reader(s.reader);
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::truncated);
}

TEST(PacketReader, EofInsidePayloadIsTruncation) {
    SocketPair s;
    s.write(rawPacket(3, 9, {0x01, 0x3F, 0x00, 0x00}));  // announces 9, sends 4
    s.closeWriter();
    Wire::PacketReader reader(s.reader);
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::truncated);
}

TEST(PacketReader, BadDescriptorFails) {
    Wire::PacketReader bad(-1);
    EXPECT_FALSE(bad.next().has_value());
    EXPECT_EQ(bad.end(), End::failed);
}

TEST(PacketReader, ShutdownWakesABlockedRead) {
    SocketPair s;
    Wire::PacketReader reader(s.reader);
    std::thread stopper([&] { ::shutdown(s.reader, SHUT_RDWR); });
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.end(), End::endOfStream);
    stopper.join();
}

}  // namespace
}  // namespace panelora
