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

TEST(StreamChecker, AConfigAndItsKeyFrameAreReadyToDecode) {
    StreamChecker c;
    EXPECT_FALSE(c.check(kConfig, configPayload).violated);
    const Bytes key = framePayload(true, 0x00);
    const auto first = c.check(kFrame, key);
    ASSERT_TRUE(first.frame);
    EXPECT_TRUE(first.frame->isKey && first.frame->afterConfig);
    EXPECT_EQ(first.frame->ptsMicros, 0x1000u);
    EXPECT_EQ(first.frame->avcc.size(), 7u);
    EXPECT_EQ(c.parameterSets(), (ParameterSets{hex("6742C01E"), hex("68CE")}));
    c.finish(End::endOfStream, false);
    EXPECT_EQ(c.violationCount(), 0u) << allMessages(c);
    EXPECT_EQ(c.packets(), 2u);
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
    // A non-key first frame is not handed to the decoder.
    StreamChecker c;
    c.check(kConfig, configPayload);
    EXPECT_FALSE(c.check(kFrame, framePayload(false, 0)).frame);
}

// One packet after a config and its key frame: whether it is a violation, for a frame whether
// it is handed to the decoder, and for a config whether its parameter sets replace the earlier.
TEST(StreamChecker, OnePacketAfterAKeyFrame) {
    const Bytes key = hex("01 0000000000002000");  // key flag, ptsMicros 0x2000
    auto withSlice = [](bool isKey, uint8_t nalType) {
        Bytes payload = framePayload(isKey, 0);
        payload[13] = nalType;
        return payload;
    };
    auto withFlags = [](uint8_t flags) {
        Bytes payload = framePayload(false, 0);
        payload[0] = flags;
        return payload;
    };
    // Display width 1024 points; image 20 × 20; hot spot 2, 3; a PNG signature.
    const Bytes goodImage = hex("0400 41A00000 41A00000 40000000 40400000 89504E470D0A1A0A0000");
    Bytes notPng = goodImage;
    notPng[18] = 'X';
    Bytes hugeImage = goodImage;
    hugeImage[2] = 0x45;                                     // image width 5120.0
    const Bytes goodPosition = hex("01 3F000000 BF800000");  // visible, 0.5, -1.0 (outside)
    Bytes badVisible = goodPosition;
    badVisible[0] = 2;

    const Bytes ping = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        const char* name;
        uint8_t type;
        Bytes payload;
        bool violation;
        bool dropped = false;  // not handed to the decoder
    };
    const Case cases[] = {
        {"a non-key frame at the same time stamp", kFrame, framePayload(false, 0), false},
        {"a key frame using the earlier parameter sets", kFrame, framePayload(true, 0x20), false},
        {"a ping", kPing, ping, false},
        {"the smallest config", kConfig, hex("0001 67 0001 68"), false},
        {"empty config", kConfig, {}, true},
        {"SPS longer than the payload", kConfig, hex("0009 6742"), true},
        {"PPS length missing", kConfig, hex("0001 67"), true},
        {"config with a trailing byte", kConfig, hex("0001 67 0001 68 FF"), true},
        {"zero-length SPS", kConfig, hex("0000 0001 68"), true},
        {"swapped NAL types", kConfig, hex("0001 68 0001 67"), true},
        {"NAL length past the end", kFrame, join({key, hex("00000004 658884")}), true, true},
        {"bytes left over", kFrame, join({key, hex("00000002 658884")}), true, true},
        {"partial length field", kFrame, join({key, hex("00000002 6588 0000")}), true, true},
        {"zero-length NAL", kFrame, join({key, hex("00000000 00000001 65")}), true, true},
        {"no NAL at all", kFrame, key, true, true},
        {"key flag on a non-IDR slice", kFrame, withSlice(true, 0x41), true},
        {"IDR slice not flagged", kFrame, withSlice(false, 0x65), true},
        {"other flags", kFrame, withFlags(0x02), true},
        {"an SEI and an IDR slice", kFrame, join({key, hex("00000002 0605 00000003 658884")}),
         false},
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
        c.check(kConfig, configPayload);
        c.check(kFrame, framePayload(true, 0));
        const auto outcome = c.check(test.type, test.payload);
        EXPECT_EQ(outcome.violated, test.violation) << test.name << "\n" << allMessages(c);
        if (test.type == kFrame) {
            EXPECT_EQ(bool(outcome.frame), !test.dropped) << test.name;
            EXPECT_FALSE(outcome.frame && outcome.frame->afterConfig) << test.name;
        }
        if (test.type == kConfig) {
            EXPECT_EQ(c.parameterSets()->sps == hex("67"), !test.violation) << test.name;
        }
        if (test.type == kPing) {
            ASSERT_TRUE(outcome.ping);
            EXPECT_EQ(Bytes(outcome.ping->begin(), outcome.ping->end()), ping);
        }
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
