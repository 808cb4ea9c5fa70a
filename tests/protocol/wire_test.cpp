#include "protocol/wire.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Wire::PacketType;

// The cursor position payload as bytes.
Bytes cursorPosition(bool visible, float x, float y) {
    const auto payload = Wire::cursorPositionPayload(visible, x, y);
    return Bytes(payload.begin(), payload.end());
}

// Header: type, payload length as u32 big-endian. Frame: flags (1: key frame), ptsMicros u64, the
// AVCC bytes. Config: u16 SPS length, SPS, u16 PPS length, PPS. Cursor position: visible, x and y
// as binary32, not clamped. Cursor image: display width in points, size, hot spot, the PNG.
TEST(WireBuild, PacketLayouts) {
    const std::pair<Bytes, const char*> cases[] = {
        {Wire::packet(PacketType::keyRequest, {}), "04 00000000"},
        {Wire::packet(PacketType::ping, Wire::pingPayload(0x0102030405060708ull)),
         "06 00000008 0102030405060708"},
        {Wire::framePacket(true, 0x0000000100000002ull, hex("00000001 65")),
         "02 0000000E 01 0000000100000002 0000000165"},
        {Wire::framePacket(false, 0, {}), "02 00000009 00 0000000000000000"},
        {Wire::configPayload(hex("674200"), hex("68CE")).value(), "0003 674200 0002 68CE"},
        {Wire::configPacket(hex("6742"), hex("68")).value(), "01 00000007 0002 6742 0001 68"},
        {Wire::configAndFramePackets(hex("6742"), hex("68"), 0x0102030405060708, hex("0000000165"))
             .value(),
         "01 00000007 0002 6742 0001 68  02 0000000E 01 0102030405060708 0000000165"},
        {cursorPosition(true, 0.5f, 1.5f), "01 3F000000 3FC00000"},
        {cursorPosition(false, -0.25f, 2.0f), "00 BE800000 40000000"},
        {Wire::cursorImagePayload(1708, 32.0f, 32.0f, 4.0f, 12.5f, hex("89504E47")),
         "06AC 42000000 42000000 40800000 41480000 89504E47"},
    };
    for (const auto& [built, expected] : cases)
        EXPECT_EQ(built, hex(expected)) << expected;
}

TEST(WireBuild, ConfigRejectsParameterSetsOf65536BytesOrMore) {
    const Bytes small(4, 0x01), limit(65535, 0x02), over(65536, 0x03);
    const Bytes atLimit = Wire::configPayload(limit, small).value();
    ASSERT_GE(atLimit.size(), 2u);
    EXPECT_EQ(Bytes(atLimit.begin(), atLimit.begin() + 2), hex("FFFF"));  // not wrapped
    EXPECT_TRUE(Wire::configPayload(small, limit));
    EXPECT_FALSE(Wire::configPayload(over, small) || Wire::configPayload(small, over) ||
                 Wire::configPacket(small, over) ||
                 Wire::configAndFramePackets(over, small, 1, small));
}
// Hello: width u16, height u16, maxFPS, then optionally flags (bit 0: client cursor) and version.
TEST(WireParse, HelloLimits) {
    const std::pair<const char*, std::optional<Hello>> cases[] = {
        {"0AAC 0800", std::nullopt},
        {"0AAC 0800 78", Hello{2732, 2048, 120, false, 1}},
        {"0AAC 0800 78 01", Hello{2732, 2048, 120, true, 1}},
        {"0AAC 0800 78 FE", Hello{2732, 2048, 120, false, 1}},  // other flag bits ignored
        {"0AAC 0800 3C 03 02", Hello{2732, 2048, 60, true, 2}},
        {"0AAC 0800 3C 00 00", Hello{2732, 2048, 60, false, 0}},      // version taken as sent
        {"0AAC 0800 3C 01 02 DEAD", Hello{2732, 2048, 60, true, 2}},  // the rest ignored
        {"0280 01E0 1E", Hello{640, 480, 30, false, 1}},
        {"027F 01E0 1E", std::nullopt},  // 639 wide
        {"0280 01DF 1E", std::nullopt},  // 479 high
        {"2000 2000 FF", Hello{8192, 8192, 255, false, 1}},
        {"2001 0800 3C", std::nullopt},        // 8193 wide
        {"2000 2001 3C", std::nullopt},        // 8193 high
        {"0600 0800 3C", std::nullopt},        // portrait
        {"0AAC 0800 00 01 02", std::nullopt},  // maxFPS 0
        {"0AAC 0800 01", Hello{2732, 2048, 1, false, 1}},
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ(Wire::parseHello(hex(payload)), expected) << payload;
}

// Touch: phase, x and y as binary32; phases 0 to 4; NaN and infinity dropped, the rest clamped.
TEST(WireParse, TouchLimitsAndClamps) {
    const std::pair<const char*, std::optional<Wire::Touch>> cases[] = {
        {"00 3F000000 3F0000", std::nullopt},
        {"04 3F000000 3F000000", Wire::Touch{4, 0.5f, 0.5f}},
        {"05 3F000000 3F000000", std::nullopt},
        {"00 7FC00000 3F000000", std::nullopt},                     // x NaN
        {"00 3F000000 FF800000", std::nullopt},                     // y -inf
        {"02 BE800000 3FC00000", Wire::Touch{2, 0.0f, 1.0f}},       // -0.25, 1.5
        {"00 4E6E6B28 CE6E6B28", Wire::Touch{0, 1.0f, 0.0f}},       // 1e9, -1e9
        {"03 00000000 3F800000", Wire::Touch{3, 0.0f, 1.0f}},       // edges stay
        {"00 3F000000 3F000000 7FC0", Wire::Touch{0, 0.5f, 0.5f}},  // extra bytes ignored
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ(Wire::parseTouch(hex(payload)), expected) << payload;
    const auto negativeZero = Wire::parseTouch(hex("00 80000000 3F000000"));
    ASSERT_TRUE(negativeZero);
    EXPECT_FALSE(std::signbit(negativeZero->x));
}

// Key: usage u16, down byte (any non-zero is a press), modifiers (low five bits).
TEST(WireParse, Key) {
    using M = KeyEvent::Modifiers;
    const std::pair<const char*, std::optional<KeyEvent>> cases[] = {
        {"0004 01", std::nullopt},
        {"0004 01 01", KeyEvent{0x0004, true, M::shift}},
        {"00E1 00 00", KeyEvent{0x00E1, false, {}}},
        {"0028 02 00", KeyEvent{0x0028, true, {}}},
        {"0028 FF 00", KeyEvent{0x0028, true, {}}},
        {"0102 00 FF", KeyEvent{0x0102, false, M{0x1F}}},
        {"FFFF 01 E0", KeyEvent{0xFFFF, true, M{0x00}}},
        {"0004 01 0A 99", KeyEvent{0x0004, true, M::control | M::command}},
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ(Wire::parseKey(hex(payload)), expected) << payload;
}

// Scroll: dx and dy as binary32; NaN and infinity dropped, the rest clamped to ±5000.
TEST(WireParse, ScrollLimitsAndClamps) {
    const std::pair<const char*, std::optional<Wire::Scroll>> cases[] = {
        {"3F000000 3F0000", std::nullopt},
        {"C0400000 41480000", Wire::Scroll{-3.0f, 12.5f}},
        {"459C3C00 C59C3C00", Wire::Scroll{4999.5f, -4999.5f}},
        {"459C4400 C59C4400", Wire::Scroll{5000.0f, -5000.0f}},  // just outside
        {"7F800000 00000000", std::nullopt},
        {"00000000 7FC00001", std::nullopt},
        {"3F800000 40000000 FF", Wire::Scroll{1.0f, 2.0f}},
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ(Wire::parseScroll(hex(payload)), expected) << payload;
}

// Pong: the echoed microseconds, the rest ignored. An echo from the future wraps the round trip
// to a huge value rather than going negative.
TEST(WireParse, PongAndRoundTrip) {
    EXPECT_FALSE(Wire::parsePong(hex("00000000000001")));
    EXPECT_EQ(Wire::parsePong(hex("000000123456789A FFFFFFFFFFFFFFFF")), 0x000000123456789Aull);
    EXPECT_DOUBLE_EQ(Wire::roundTripMillis(5'500, 3'000), 2.5);
    EXPECT_DOUBLE_EQ(Wire::roundTripMillis(1'000, 2'000),
                     double(std::numeric_limits<uint64_t>::max() - 999) / 1000.0);
}

}  // namespace
}  // namespace panelora::test
