#include "stream_checker.h"

#include "test_prelude.h"

namespace panelora::tabletsim {
namespace {

using test::hex;
using test::join;

using Bytes = std::vector<uint8_t>;
using End = Wire::PacketReader::End;

constexpr uint8_t kConfig = 1, kFrame = 2, kTouch = 3, kPing = 6, kCursorPosition = 8,
                  kCursorImage = 9;

// SPS length 4, SPS (NAL type 7), PPS length 2, PPS (NAL type 8).
const Bytes configPayload = hex("0004 6742C01E 0002 68CE");

// Frame payload: flags, ptsMicros 0x10xx, then one 3-byte NAL unit: an IDR or a non-IDR slice.
Bytes framePayload(bool key, uint8_t ptsLow) {
    return join({hex(key ? "01" : "00"),
                 hex("00000000000010"),
                 {ptsLow},
                 hex(key ? "00000003 658884" : "00000003 418884")});
}

std::string allMessages(const StreamChecker& c) {
    std::string out;
    for (const auto& v : c.violations())
        out += v.message + "\n";
    return out;
}

TEST(StreamChecker, WellFormedStreamHasNoViolations) {
    StreamChecker c;
    EXPECT_FALSE(c.check(kConfig, configPayload).violated);
    const Bytes key = framePayload(true, 0x00);
    const auto first = c.check(kFrame, key);
    ASSERT_TRUE(first.frame);
    EXPECT_TRUE(first.frame->isKey);
    EXPECT_TRUE(first.frame->afterConfig);
    EXPECT_EQ(first.frame->ptsMicros, 0x1000u);
    EXPECT_EQ(first.frame->avcc.size(), 7u);
    ASSERT_TRUE(c.parameterSets());
    EXPECT_EQ(c.parameterSets()->sps, (Bytes{0x67, 0x42, 0xC0, 0x1E}));
    EXPECT_EQ(c.parameterSets()->pps, (Bytes{0x68, 0xCE}));

    const Bytes ping = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto pinged = c.check(kPing, ping);
    ASSERT_TRUE(pinged.ping);
    EXPECT_EQ(Bytes(pinged.ping->begin(), pinged.ping->end()), ping);

    const Bytes p1 = framePayload(false, 0x10);
    const auto second = c.check(kFrame, p1);
    ASSERT_TRUE(second.frame);
    EXPECT_FALSE(second.frame->isKey);
    EXPECT_FALSE(second.frame->afterConfig);
    // Equal time stamps are not going backwards.
    EXPECT_FALSE(c.check(kFrame, p1).violated);
    // A later key frame may reuse the earlier parameter sets.
    EXPECT_FALSE(c.check(kFrame, framePayload(true, 0x20)).violated);
    c.finish(End::endOfStream, false);
    EXPECT_EQ(c.violationCount(), 0u) << allMessages(c);
    EXPECT_EQ(c.packets(), 6u);
}

TEST(StreamChecker, OrderingViolations) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint8_t, Bytes>> packets;
        const char* expected;  // part of the violation message
    };
    const Bytes ping = {0, 0, 0, 0, 0, 0, 0, 1};
    const Case cases[] = {
        {"non-key first frame",
         {{kFrame, framePayload(false, 0)}},
         "first frame is not a key frame"},
        {"key frame with no parameter sets ever",
         {{kFrame, framePayload(true, 0)}},
         "none received earlier"},
        {"non-key frame right after config",
         {{kConfig, configPayload},
          {kFrame, framePayload(true, 0)},
          {kConfig, configPayload},
          {kFrame, framePayload(false, 1)}},
         "non-key frame directly after a config"},
        {"something between config and its frame",
         {{kConfig, configPayload}, {kPing, ping}, {kFrame, framePayload(true, 0)}},
         "not followed by its key frame (next packet: ping)"},
        {"timestamps going backwards",
         {{kConfig, configPayload},
          {kFrame, framePayload(true, 0x20)},
          {kFrame, framePayload(false, 0x1F)}},
         "ptsMicros went backwards: 4127 after 4128"},
        {"tablet-to-computer type", {{kTouch, Bytes(9, 0)}}, "tablet-to-computer packet (touch)"},
        {"unknown type", {{200, Bytes(3, 0)}}, "unknown type 200"},
        {"short ping", {{kPing, Bytes(7, 0)}}, "ping payload of 7 bytes"},
        {"short frame", {{kFrame, Bytes(8, 0)}}, "at least 9"},
    };
    for (const Case& test : cases) {
        StreamChecker c;
        for (const auto& [type, payload] : test.packets)
            c.check(type, payload);
        c.finish(End::endOfStream, false);
        EXPECT_EQ(c.violationCount(), 1u) << test.name << "\n" << allMessages(c);
        EXPECT_NE(allMessages(c).find(test.expected), std::string::npos) << test.name << "\n"
                                                                         << allMessages(c);
    }
}

TEST(StreamChecker, NonKeyFirstFrameIsNotHandedToTheDecoder) {
    StreamChecker c;
    c.check(kConfig, configPayload);
    const Bytes p = framePayload(false, 0);
    const auto outcome = c.check(kFrame, p);
    EXPECT_TRUE(outcome.violated);
    EXPECT_FALSE(outcome.frame);
    // The second violation-free key frame then goes through.
    c.check(kConfig, configPayload);
    const Bytes k = framePayload(true, 1);
    EXPECT_TRUE(c.check(kFrame, k).frame);
}

TEST(StreamChecker, AvccLengthsMustAddUpExactly) {
    const Bytes prefix = hex("01 0000000000000005");  // key flag, ptsMicros 5
    const std::vector<std::pair<const char*, Bytes>> bodies = {
        {"length past the end", hex("00000004 658884")},
        {"bytes left over", hex("00000002 658884")},
        {"partial length field", hex("00000002 6588 0000")},
        {"zero-length NAL", hex("00000000 00000001 65")},
        {"no NAL at all", {}},
    };
    for (const auto& [name, body] : bodies) {
        StreamChecker c;
        c.check(kConfig, configPayload);
        const auto outcome = c.check(kFrame, join({prefix, body}));
        EXPECT_TRUE(outcome.violated) << name;
        EXPECT_FALSE(outcome.frame) << name;
    }
    // Two NAL units that add up exactly are fine.
    StreamChecker c;
    c.check(kConfig, configPayload);
    const Bytes payload = join({prefix, hex("00000002 0605 00000003 658884")});
    const auto outcome = c.check(kFrame, payload);     // a view into the payload
    EXPECT_FALSE(outcome.violated) << allMessages(c);  // an SEI and an IDR slice
    ASSERT_TRUE(outcome.frame);
    const auto units = splitAvcc(outcome.frame->avcc);
    ASSERT_TRUE(units);
    EXPECT_EQ(units->size(), 2u);
}

TEST(StreamChecker, KeyFlagMustMatchTheSlices) {
    StreamChecker c;
    c.check(kConfig, configPayload);
    Bytes keyWithoutIdr = framePayload(true, 0);
    keyWithoutIdr[13] = 0x41;  // a non-IDR slice
    EXPECT_TRUE(c.check(kFrame, keyWithoutIdr).violated);
    Bytes idrNotFlagged = framePayload(false, 1);
    idrNotFlagged[13] = 0x65;
    EXPECT_TRUE(c.check(kFrame, idrNotFlagged).violated);
    Bytes otherFlags = framePayload(false, 2);
    otherFlags[0] = 0x02;
    EXPECT_TRUE(c.check(kFrame, otherFlags).violated);
    EXPECT_EQ(c.violationCount(), 3u) << allMessages(c);
}

TEST(StreamChecker, MalformedConfigPackets) {
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"empty", {}},
        {"SPS longer than the payload", hex("0009 6742")},
        {"PPS length missing", hex("0001 67")},
        {"trailing byte", hex("0001 67 0001 68 FF")},
        {"zero-length SPS", hex("0000 0001 68")},
        {"swapped NAL types", hex("0001 68 0001 67")},
    };
    for (const auto& [name, payload] : cases) {
        StreamChecker c;
        EXPECT_TRUE(c.check(kConfig, payload).violated) << name;
        EXPECT_FALSE(c.parameterSets()) << name;
    }
    StreamChecker c;
    const Bytes smallest = hex("0001 67 0001 68");
    EXPECT_FALSE(c.check(kConfig, smallest).violated) << allMessages(c);
}

TEST(StreamChecker, CursorPacketSizes) {
    // Display width 1024 points; image 20 × 20; hot spot 2, 3; a PNG signature.
    const Bytes goodImage = hex("0400 41A00000 41A00000 40000000 40400000 89504E470D0A1A0A0000");
    Bytes notPng = goodImage;
    notPng[18] = 'X';
    Bytes hugeImage = goodImage;
    hugeImage[2] = 0x45;                                     // image width 5120.0
    const Bytes goodPosition = hex("01 3F000000 BF800000");  // visible, 0.5, -1.0 (outside)
    Bytes badVisible = goodPosition;
    badVisible[0] = 2;

    struct Case {
        const char* name;
        uint8_t type;
        Bytes payload;
        bool violation;
    };
    const Case cases[] = {
        {"position of 9 bytes", kCursorPosition, goodPosition, false},
        {"position of 8 bytes", kCursorPosition,
         Bytes(goodPosition.begin(), goodPosition.end() - 1), true},
        {"position of 10 bytes", kCursorPosition, Bytes(10, 0), true},
        {"position visible byte 2", kCursorPosition, badVisible, true},
        {"image with a PNG", kCursorImage, goodImage, false},
        {"image of 17 bytes", kCursorImage, Bytes(goodImage.begin(), goodImage.begin() + 17), true},
        {"image header only", kCursorImage, Bytes(goodImage.begin(), goodImage.begin() + 18), true},
        {"image that is not a PNG", kCursorImage, notPng, true},
        {"image over 512 points", kCursorImage, hugeImage, true},
    };
    for (const Case& test : cases) {
        StreamChecker c;
        EXPECT_EQ(c.check(test.type, test.payload).violated, test.violation) << test.name << "\n"
                                                                             << allMessages(c);
    }
}

TEST(StreamChecker, HowTheStreamEnded) {
    struct Case {
        End end;
        bool closedByUs;
        bool afterConfig;
        uint64_t violations;
    };
    const Case cases[] = {
        {End::endOfStream, false, false, 0}, {End::truncated, false, false, 1},
        {End::truncated, true, false, 0},    {End::failed, true, false, 0},
        {End::tooLong, true, false, 1},      {End::endOfStream, false, true, 1},
    };
    for (const Case& test : cases) {
        StreamChecker c;
        if (test.afterConfig) c.check(kConfig, configPayload);
        c.finish(test.end, test.closedByUs);
        EXPECT_EQ(c.violationCount(), test.violations)
            << int(test.end) << " " << test.closedByUs << "\n"
            << allMessages(c);
    }
}

TEST(StreamChecker, StoredViolationsAreCappedButCounted) {
    StreamChecker c;
    for (int i = 0; i < 1000; ++i)
        c.check(0, {});
    EXPECT_EQ(c.violationCount(), 1000u);
    EXPECT_EQ(c.violations().size(), StreamChecker::maxStoredViolations);
    EXPECT_EQ(c.violations().back().packetIndex, StreamChecker::maxStoredViolations - 1);
}

}  // namespace
}  // namespace panelora::tabletsim
