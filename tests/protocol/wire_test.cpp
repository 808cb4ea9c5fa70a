#include "protocol/wire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "protocol/byte_order.h"

namespace panelora {
namespace {

using Bytes = std::vector<uint8_t>;
using Wire::PacketType;

Bytes bytes(std::span<const uint8_t> s) {
    return Bytes(s.begin(), s.end());
}

// ---- Packet types ----

TEST(PacketType, RawValuesOneToElevenOnly) {
    const PacketType expected[] = {
        PacketType::config,      PacketType::frame, PacketType::touch,  PacketType::keyRequest,
        PacketType::hello,       PacketType::ping,  PacketType::pong,   PacketType::cursorPosition,
        PacketType::cursorImage, PacketType::key,   PacketType::scroll,
    };
    for (int raw = 0; raw <= 255; ++raw) {
        const auto type = Wire::packetTypeFromRaw(static_cast<uint8_t>(raw));
        if (raw >= 1 && raw <= 11) {
            ASSERT_TRUE(type.has_value()) << raw;
            EXPECT_EQ(*type, expected[raw - 1]) << raw;
            EXPECT_EQ(Wire::rawValue(*type), raw);
        } else {
            EXPECT_FALSE(type.has_value()) << raw;
        }
    }
}

// ---- Byte order helpers ----

TEST(ByteOrder, ReadsAndWritesBigEndian) {
    const uint8_t in[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(readU16BE(in), 0x0102);
    EXPECT_EQ(readU32BE(in), 0x01020304u);
    EXPECT_EQ(readU64BE(in), 0x0102030405060708ull);

    const uint8_t half[] = {0x3F, 0x00, 0x00, 0x00};  // 0.5f
    EXPECT_EQ(readF32BE(half), 0.5f);

    Bytes out;
    appendU16BE(out, 0xABCD);
    appendU32BE(out, 0x11223344);
    appendU64BE(out, 0x8877665544332211ull);
    appendF32BE(out, -0.25f);
    const Bytes expected = {
        0xAB, 0xCD,                                      // u16
        0x11, 0x22, 0x33, 0x44,                          // u32
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // u64
        0xBE, 0x80, 0x00, 0x00,                          // -0.25f
    };
    EXPECT_EQ(out, expected);
}

// ---- Builders ----

TEST(WireBuild, PacketWithEmptyPayloadIsJustTheHeader) {
    const Bytes expected = {
        0x04,                    // type keyRequest
        0x00, 0x00, 0x00, 0x00,  // length 0
    };
    EXPECT_EQ(Wire::packet(PacketType::keyRequest, {}), expected);
}

TEST(WireBuild, PingPacket) {
    const auto payload = Wire::pingPayload(0x0102030405060708ull);
    const Bytes expected = {
        0x06,                                            // type ping
        0x00, 0x00, 0x00, 0x08,                          // length 8
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // uptime in microseconds
    };
    EXPECT_EQ(Wire::packet(PacketType::ping, payload), expected);
}

TEST(WireBuild, PacketLengthUsesAllFourBytes) {
    const Bytes payload(0x01'0203, 0xEE);
    const Bytes out = Wire::packet(PacketType::cursorImage, payload);
    ASSERT_EQ(out.size(), 5u + 0x010203);
    const Bytes header(out.begin(), out.begin() + 5);
    const Bytes expected = {
        0x09,                    // type cursorImage
        0x00, 0x01, 0x02, 0x03,  // length 66051
    };
    EXPECT_EQ(header, expected);
    EXPECT_EQ(out.back(), 0xEE);
}

TEST(WireBuild, FramePacketLayout) {
    const Bytes avcc = {0x00, 0x00, 0x00, 0x01, 0x65};
    const Bytes expected = {
        0x02,                                            // type frame
        0x00, 0x00, 0x00, 0x0E,                          // length 5 + 9
        0x01,                                            // flags: key frame
        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,  // ptsMicros
        0x00, 0x00, 0x00, 0x01, 0x65,                    // AVCC: one 1-byte NAL unit
    };
    EXPECT_EQ(Wire::framePacket(true, 0x0000000100000002ull, avcc), expected);

    const Bytes delta = Wire::framePacket(false, 7, avcc);
    EXPECT_EQ(delta[5], 0x00);   // flags: not a key frame
    EXPECT_EQ(delta[13], 0x07);  // last byte of ptsMicros
}

TEST(WireBuild, ThousandByteFrameIsOneExactAllocation) {
    Bytes avcc(1000);
    for (size_t i = 0; i < avcc.size(); ++i)
        avcc[i] = static_cast<uint8_t>(i * 7);
    const Bytes out = Wire::framePacket(true, 42, avcc);
    EXPECT_EQ(out.size(), 1014u);
    EXPECT_EQ(out.capacity(), 1014u);
    EXPECT_EQ(readU32BE(out.data() + 1), 1009u);
    EXPECT_TRUE(std::equal(avcc.begin(), avcc.end(), out.begin() + 14));
}

TEST(WireBuild, EmptyFrame) {
    const Bytes expected = {
        0x02,                                            // type frame
        0x00, 0x00, 0x00, 0x09,                          // length 9
        0x00,                                            // flags
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // ptsMicros 0
    };
    EXPECT_EQ(Wire::framePacket(false, 0, {}), expected);
}

TEST(WireBuild, ConfigPayloadLayout) {
    const Bytes sps = {0x67, 0x42, 0x00};
    const Bytes pps = {0x68, 0xCE};
    const Bytes expected = {
        0x00, 0x03,        // SPS length 3
        0x67, 0x42, 0x00,  // SPS
        0x00, 0x02,        // PPS length 2
        0x68, 0xCE,        // PPS
    };
    ASSERT_TRUE(Wire::configPayload(sps, pps).has_value());
    EXPECT_EQ(*Wire::configPayload(sps, pps), expected);
}

TEST(WireBuild, ConfigPacketForTwentyAndEightByteSets) {
    const Bytes sps(20, 0x67);
    const Bytes pps(8, 0x68);
    const auto out = Wire::configPacket(sps, pps);
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->size(), 37u);  // 5 + 2 + 20 + 2 + 8
    const Bytes head(out->begin(), out->begin() + 7);
    const Bytes expectedHead = {
        0x01,                    // type config
        0x00, 0x00, 0x00, 0x20,  // length 32
        0x00, 0x14,              // SPS length 20
    };
    EXPECT_EQ(head, expectedHead);
    EXPECT_EQ((*out)[27], 0x00);  // PPS length, high byte
    EXPECT_EQ((*out)[28], 0x08);  // PPS length 8
    EXPECT_EQ((*out)[29], 0x68);
    EXPECT_EQ(Bytes(out->begin() + 5, out->end()), *Wire::configPayload(sps, pps));
}

TEST(WireBuild, ConfigRejectsParameterSetsOf65536BytesOrMore) {
    const Bytes small(4, 0x01);
    const Bytes limit(65535, 0x02);
    const Bytes over(65536, 0x03);

    const auto atLimit = Wire::configPayload(limit, small);
    ASSERT_TRUE(atLimit.has_value());
    EXPECT_EQ((*atLimit)[0], 0xFF);  // SPS length 65535, not wrapped
    EXPECT_EQ((*atLimit)[1], 0xFF);
    EXPECT_TRUE(Wire::configPayload(small, limit).has_value());

    EXPECT_FALSE(Wire::configPayload(over, small).has_value());
    EXPECT_FALSE(Wire::configPayload(small, over).has_value());
    EXPECT_FALSE(Wire::configPacket(over, small).has_value());
    EXPECT_FALSE(Wire::configPacket(small, over).has_value());
}

TEST(WireBuild, ConfigAndFramePacketsInOneBuffer) {
    const std::vector<uint8_t> sps{0x67, 0x42}, pps{0x68}, avcc{0, 0, 0, 1, 0x65};
    auto buffer = Wire::configAndFramePackets(sps, pps, 0x0102030405060708, avcc);
    ASSERT_TRUE(buffer);
    const std::vector<uint8_t> expected{
        0x01, 0x00, 0x00, 0x00, 0x07,                    // config, length 7
        0x00, 0x02, 0x67, 0x42,                          // SPS length 2, SPS
        0x00, 0x01, 0x68,                                // PPS length 1, PPS
        0x02, 0x00, 0x00, 0x00, 0x0E,                    // frame, length 9 + 5
        0x01,                                            // key frame
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // ptsMicros
        0x00, 0x00, 0x00, 0x01, 0x65,                    // AVCC
    };
    EXPECT_EQ(*buffer, expected);
    EXPECT_EQ(buffer->capacity(), expected.size());  // allocated once for both
    EXPECT_FALSE(Wire::configAndFramePackets(std::vector<uint8_t>(65536), pps, 1, avcc));
}

TEST(WireBuild, CursorPositionPayload) {
    const Bytes expected = {
        0x01,                    // visible
        0x3F, 0x00, 0x00, 0x00,  // x 0.5
        0x3F, 0xC0, 0x00, 0x00,  // y 1.5 (not clamped)
    };
    EXPECT_EQ(bytes(Wire::cursorPositionPayload(true, 0.5f, 1.5f)), expected);

    const Bytes hidden = {
        0x00,                    // not visible
        0xBE, 0x80, 0x00, 0x00,  // x -0.25
        0x40, 0x00, 0x00, 0x00,  // y 2.0
    };
    EXPECT_EQ(bytes(Wire::cursorPositionPayload(false, -0.25f, 2.0f)), hidden);
}

TEST(WireBuild, CursorImagePayload) {
    const Bytes png = {0x89, 0x50, 0x4E, 0x47};
    const Bytes expected = {
        0x06, 0xAC,              // display width 1708 points
        0x42, 0x00, 0x00, 0x00,  // image width 32
        0x42, 0x00, 0x00, 0x00,  // image height 32
        0x40, 0x80, 0x00, 0x00,  // hot spot x 4
        0x41, 0x48, 0x00, 0x00,  // hot spot y 12.5
        0x89, 0x50, 0x4E, 0x47,  // PNG signature start
    };
    EXPECT_EQ(Wire::cursorImagePayload(1708, 32.0f, 32.0f, 4.0f, 12.5f, png), expected);
}

// ---- Decoders ----

struct HelloCase {
    const char* name;
    Bytes payload;
    std::optional<Hello> expected;
};

TEST(WireParse, HelloLimits) {
    const HelloCase cases[] = {
        {"fewer than 5 bytes", {0x0A, 0xAC, 0x08, 0x00}, std::nullopt},
        {"empty", {}, std::nullopt},
        {"exactly 5 bytes: no cursor, version 1",
         {0x0A, 0xAC,  // width 2732
          0x08, 0x00,  // height 2048
          0x78},       // maxFPS 120
         Hello{2732, 2048, 120, false, 1}},
        {"6 bytes: flags bit 0, version 1",
         {0x0A, 0xAC, 0x08, 0x00, 0x78, 0x01},  // flags: clientCursor
         Hello{2732, 2048, 120, true, 1}},
        {"flags 0xFE: other bits ignored",
         {0x0A, 0xAC, 0x08, 0x00, 0x78, 0xFE},
         Hello{2732, 2048, 120, false, 1}},
        {"7 bytes: version",
         {0x0A, 0xAC, 0x08, 0x00, 0x3C,
          0x03,   // flags: clientCursor plus an ignored bit
          0x02},  // version 2
         Hello{2732, 2048, 60, true, 2}},
        {"version 0 is taken as sent",
         {0x0A, 0xAC, 0x08, 0x00, 0x3C, 0x00, 0x00},
         Hello{2732, 2048, 60, false, 0}},
        {"version 255",
         {0x0A, 0xAC, 0x08, 0x00, 0x3C, 0x00, 0xFF},
         Hello{2732, 2048, 60, false, 255}},
        {"bytes after offset 6 ignored",
         {0x0A, 0xAC, 0x08, 0x00, 0x3C, 0x01, 0x02, 0xDE, 0xAD},
         Hello{2732, 2048, 60, true, 2}},
        {"640 x 480 passes", {0x02, 0x80, 0x01, 0xE0, 0x1E}, Hello{640, 480, 30, false, 1}},
        {"639 wide fails", {0x02, 0x7F, 0x01, 0xE0, 0x1E}, std::nullopt},
        {"479 high fails", {0x02, 0x80, 0x01, 0xDF, 0x1E}, std::nullopt},
        {"8192 x 8192 passes (square)",
         {0x20, 0x00, 0x20, 0x00, 0xFF},
         Hello{8192, 8192, 255, false, 1}},
        {"8193 wide fails", {0x20, 0x01, 0x08, 0x00, 0x3C}, std::nullopt},
        {"8193 high fails", {0x20, 0x00, 0x20, 0x01, 0x3C}, std::nullopt},
        {"65535 wide fails", {0xFF, 0xFF, 0x08, 0x00, 0x3C}, std::nullopt},
        {"portrait 1536 x 2048 fails", {0x06, 0x00, 0x08, 0x00, 0x3C}, std::nullopt},
        {"maxFPS 0 fails", {0x0A, 0xAC, 0x08, 0x00, 0x00, 0x01, 0x02}, std::nullopt},
        {"maxFPS 1 passes", {0x0A, 0xAC, 0x08, 0x00, 0x01}, Hello{2732, 2048, 1, false, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Wire::parseHello(c.payload), c.expected) << c.name;
    }
}

struct TouchCase {
    const char* name;
    Bytes payload;
    std::optional<Wire::Touch> expected;
};

TEST(WireParse, TouchLimitsAndClamps) {
    const TouchCase cases[] = {
        {"8 bytes", {0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00}, std::nullopt},
        {"plain",
         {0x01,                     // phase 1
          0x3F, 0x00, 0x00, 0x00,   // x 0.5
          0x3E, 0x80, 0x00, 0x00},  // y 0.25
         Wire::Touch{1, 0.5f, 0.25f}},
        {"phase 4 passes",
         {0x04, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00},
         Wire::Touch{4, 0.5f, 0.5f}},
        {"phase 5 dropped", {0x05, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}, std::nullopt},
        {"phase 255 dropped", {0xFF, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}, std::nullopt},
        {"x NaN dropped", {0x00, 0x7F, 0xC0, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}, std::nullopt},
        {"y NaN dropped", {0x00, 0x3F, 0x00, 0x00, 0x00, 0x7F, 0xC0, 0x00, 0x00}, std::nullopt},
        {"x +inf dropped", {0x00, 0x7F, 0x80, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}, std::nullopt},
        {"y -inf dropped", {0x00, 0x3F, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0x00}, std::nullopt},
        {"x -0.25 -> 0, y 1.5 -> 1",
         {0x02, 0xBE, 0x80, 0x00, 0x00, 0x3F, 0xC0, 0x00, 0x00},
         Wire::Touch{2, 0.0f, 1.0f}},
        {"1e9 and -1e9 clamp",
         {0x00, 0x4E, 0x6E, 0x6B, 0x28, 0xCE, 0x6E, 0x6B, 0x28},
         Wire::Touch{0, 1.0f, 0.0f}},
        {"edges stay: 0 and 1",
         {0x03, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00},
         Wire::Touch{3, 0.0f, 1.0f}},
        {"extra bytes ignored",
         {0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x7F, 0xC0},
         Wire::Touch{0, 0.5f, 0.5f}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Wire::parseTouch(c.payload), c.expected) << c.name;
    }
}

TEST(WireParse, TouchNegativeZeroBecomesPositiveZero) {
    const Bytes payload = {0x00, 0x80, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00};  // x -0.0
    const auto t = Wire::parseTouch(payload);
    ASSERT_TRUE(t.has_value());
    EXPECT_FALSE(std::signbit(t->x));
}

struct KeyCase {
    const char* name;
    Bytes payload;
    std::optional<KeyEvent> expected;
};

TEST(WireParse, Key) {
    const KeyCase cases[] = {
        {"3 bytes", {0x00, 0x04, 0x01}, std::nullopt},
        {"press of 'a' with shift",
         {0x00, 0x04,  // usage 4
          0x01,        // down
          0x01},       // shift
         KeyEvent{0x0004, true, KeyEvent::Modifiers::shift}},
        {"release", {0x00, 0xE1, 0x00, 0x00}, KeyEvent{0x00E1, false, {}}},
        {"isDown byte 2 is a press", {0x00, 0x28, 0x02, 0x00}, KeyEvent{0x0028, true, {}}},
        {"isDown byte 0xFF is a press", {0x00, 0x28, 0xFF, 0x00}, KeyEvent{0x0028, true, {}}},
        {"modifiers 0xFF -> 0x1F", {0x01, 0x02, 0x00, 0xFF}, KeyEvent{0x0102, false, {0x1F}}},
        {"modifiers 0xE0 -> none", {0xFF, 0xFF, 0x01, 0xE0}, KeyEvent{0xFFFF, true, {0x00}}},
        {"extra bytes ignored", {0x00, 0x04, 0x01, 0x0A, 0x99}, KeyEvent{0x0004, true, {0x0A}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Wire::parseKey(c.payload), c.expected) << c.name;
    }
}

TEST(KeyEventModifiers, OptionSetOperations) {
    using M = KeyEvent::Modifiers;
    EXPECT_EQ(M::shift.rawValue, 0x01);
    EXPECT_EQ(M::control.rawValue, 0x02);
    EXPECT_EQ(M::option.rawValue, 0x04);
    EXPECT_EQ(M::command.rawValue, 0x08);
    EXPECT_EQ(M::capsLock.rawValue, 0x10);

    M m = M::shift | M::command;
    EXPECT_EQ(m.rawValue, 0x09);
    EXPECT_TRUE(m.contains(M::shift));
    EXPECT_TRUE(m.contains(M::command));
    EXPECT_FALSE(m.contains(M::option));
    EXPECT_FALSE(m.contains(M::shift | M::option));
    EXPECT_TRUE(m.contains(M{}));
    m |= M::capsLock;
    EXPECT_EQ(m.rawValue, 0x19);
    EXPECT_EQ(m.without(M::shift).rawValue, 0x18);
    EXPECT_EQ((m & M::capsLock), M::capsLock);
    EXPECT_TRUE(M{}.isEmpty());
    EXPECT_FALSE(m.isEmpty());
}

struct ScrollCase {
    const char* name;
    Bytes payload;
    std::optional<Wire::Scroll> expected;
};

TEST(WireParse, ScrollLimitsAndClamps) {
    const ScrollCase cases[] = {
        {"7 bytes", {0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00}, std::nullopt},
        {"plain",
         {0xC0, 0x40, 0x00, 0x00,   // dx -3
          0x41, 0x48, 0x00, 0x00},  // dy 12.5
         Wire::Scroll{-3.0f, 12.5f}},
        {"1e9 -> 5000, -1e9 -> -5000",
         {0x4E, 0x6E, 0x6B, 0x28, 0xCE, 0x6E, 0x6B, 0x28},
         Wire::Scroll{5000.0f, -5000.0f}},
        {"just inside",
         {0x45, 0x9C, 0x3C, 0x00, 0xC5, 0x9C, 0x3C, 0x00},
         Wire::Scroll{4999.5f, -4999.5f}},
        {"just outside",
         {0x45, 0x9C, 0x44, 0x00, 0xC5, 0x9C, 0x44, 0x00},
         Wire::Scroll{5000.0f, -5000.0f}},
        {"+inf dropped", {0x7F, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, std::nullopt},
        {"-inf dropped", {0x00, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0x00}, std::nullopt},
        {"NaN dropped", {0x00, 0x00, 0x00, 0x00, 0x7F, 0xC0, 0x00, 0x01}, std::nullopt},
        {"extra bytes ignored",
         {0x3F, 0x80, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0xFF},
         Wire::Scroll{1.0f, 2.0f}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Wire::parseScroll(c.payload), c.expected) << c.name;
    }
}

TEST(WireParse, Pong) {
    const Bytes seven = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    EXPECT_FALSE(Wire::parsePong(seven).has_value());
    EXPECT_FALSE(Wire::parsePong({}).has_value());

    const Bytes sixteen = {
        0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9A,  // echoed microseconds
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // ignored
    };
    EXPECT_EQ(Wire::parsePong(sixteen), std::optional<uint64_t>(0x000000123456789Aull));
}

TEST(WireParse, PongRoundTripsAPing) {
    const auto ping = Wire::pingPayload(987654321);
    EXPECT_EQ(Wire::parsePong(ping), std::optional<uint64_t>(987654321));
}

TEST(Wire, RoundTripMillisWrapsLikeU64) {
    EXPECT_DOUBLE_EQ(Wire::roundTripMillis(5'500, 3'000), 2.5);
    EXPECT_DOUBLE_EQ(Wire::roundTripMillis(3'000, 3'000), 0.0);
    // An echo from the future wraps to a huge value rather than going negative.
    const double wrapped = Wire::roundTripMillis(1'000, 2'000);
    EXPECT_DOUBLE_EQ(wrapped,
                     static_cast<double>(std::numeric_limits<uint64_t>::max() - 999) / 1000.0);
}

}  // namespace
}  // namespace panelora
