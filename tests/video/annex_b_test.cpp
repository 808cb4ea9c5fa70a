#include "video/annex_b.h"

#include <gtest/gtest.h>

#include <vector>

namespace panelora {
namespace {

using Bytes = std::vector<uint8_t>;

AvccFrame convert(const Bytes& input) {
    return annexBToAvcc(input);
}

TEST(AnnexBTest, KeyFrameWithLongAndShortStartCodes) {
    const Bytes input = {
        0x00, 0x00, 0x00, 0x01,        // 4-byte start code
        0x09, 0xF0,                    // AUD: dropped
        0x00, 0x00, 0x00, 0x01,        // 4-byte start code
        0x67, 0x64, 0x00, 0x28,        // SPS (type 7)
        0x00, 0x00, 0x01,              // 3-byte start code
        0x68, 0xEE, 0x3C, 0x80,        // PPS (type 8)
        0x00, 0x00, 0x01,              // 3-byte start code
        0x65, 0x88, 0x84, 0x00, 0x21,  // IDR slice (type 5); inner 00 stays
    };
    AvccFrame frame = convert(input);
    ASSERT_TRUE(frame.sps);
    EXPECT_EQ(*frame.sps, (Bytes{0x67, 0x64, 0x00, 0x28}));
    ASSERT_TRUE(frame.pps);
    EXPECT_EQ(*frame.pps, (Bytes{0x68, 0xEE, 0x3C, 0x80}));
    EXPECT_TRUE(frame.hasIdr);
    EXPECT_EQ(frame.avcc, (Bytes{
                              0x00, 0x00, 0x00, 0x05,        // length 5, big-endian
                              0x65, 0x88, 0x84, 0x00, 0x21,  // the IDR slice
                          }));
}

TEST(AnnexBTest, NonKeyFrameWithTwoSlicesAndTrailingZeros) {
    const Bytes input = {
        0x00, 0x00, 0x01,        // 3-byte start code
        0x41, 0x9A, 0x02,        // non-IDR slice (type 1)
        0x00, 0x00,              // trailing zero bytes: part of no NAL
        0x00, 0x00, 0x00, 0x01,  // 4-byte start code
        0x01, 0x9E, 0x11, 0x7F,  // non-IDR slice, nal_ref_idc 0
        0x00,                    // trailing zero at the end of the stream
    };
    AvccFrame frame = convert(input);
    EXPECT_FALSE(frame.sps);
    EXPECT_FALSE(frame.pps);
    EXPECT_FALSE(frame.hasIdr);
    EXPECT_EQ(frame.avcc, (Bytes{
                              0x00, 0x00, 0x00, 0x03,  // length 3
                              0x41, 0x9A, 0x02,        // first slice
                              0x00, 0x00, 0x00, 0x04,  // length 4
                              0x01, 0x9E, 0x11, 0x7F,  // second slice
                          }));
}

TEST(AnnexBTest, OnlyTheFirstParameterSetsAreKeptAndSeiIsPassedOn) {
    const Bytes input = {
        0x00, 0x00, 0x01, 0x67, 0x01,  // SPS #1
        0x00, 0x00, 0x01, 0x67, 0x02,  // SPS #2: ignored
        0x00, 0x00, 0x01, 0x68, 0x03,  // PPS #1
        0x00, 0x00, 0x01, 0x68, 0x04,  // PPS #2: ignored
        0x00, 0x00, 0x01, 0x06, 0x05,  // SEI (type 6): kept
        0x00, 0x00, 0x01, 0x25, 0x06,  // IDR slice with nal_ref_idc 1 (0x25 & 0x1F == 5)
    };
    AvccFrame frame = convert(input);
    EXPECT_EQ(*frame.sps, (Bytes{0x67, 0x01}));
    EXPECT_EQ(*frame.pps, (Bytes{0x68, 0x03}));
    EXPECT_TRUE(frame.hasIdr);
    EXPECT_EQ(frame.avcc, (Bytes{
                              0x00, 0x00, 0x00, 0x02, 0x06, 0x05,  // SEI
                              0x00, 0x00, 0x00, 0x02, 0x25, 0x06,  // IDR slice
                          }));
}

TEST(AnnexBTest, BadInputGivesAnEmptyResult) {
    const std::vector<Bytes> inputs = {
        {},                                    // empty
        {0x65, 0x88, 0x84},                    // no start code at all
        {0x00, 0x00},                          // truncated start code
        {0x00, 0x00, 0x01},                    // start code with nothing after it
        {0x00, 0x00, 0x00, 0x01, 0x00, 0x00},  // only zeros after the start code
        {0x00, 0x00, 0x01, 0x00, 0x00, 0x01},  // two start codes, no payload
        {0x00, 0x00, 0x01, 0x09, 0xF0},        // a lone AUD
    };
    for (const Bytes& input : inputs) {
        AvccFrame frame = convert(input);
        EXPECT_TRUE(frame.avcc.empty());
        EXPECT_FALSE(frame.sps);
        EXPECT_FALSE(frame.pps);
        EXPECT_FALSE(frame.hasIdr);
    }
}

TEST(AnnexBTest, BytesBeforeTheFirstStartCodeAreIgnored) {
    const Bytes input = {
        0xDE, 0xAD,        // garbage before any start code
        0x00, 0x00, 0x01,  // 3-byte start code
        0x41, 0x01,        // non-IDR slice
    };
    EXPECT_EQ(convert(input).avcc, (Bytes{0x00, 0x00, 0x00, 0x02, 0x41, 0x01}));
}

TEST(AnnexBTest, PseudoRandomInputNeverBreaksTheLengthFraming) {
    uint32_t state = 12345;
    for (int round = 0; round < 2000; ++round) {
        Bytes input(static_cast<size_t>(round % 64));
        for (auto& byte : input) {
            state = state * 1103515245 + 12345;
            // Many zeros and ones, so start codes turn up often.
            const uint32_t r = (state >> 16) % 4;
            byte = r == 0 ? 0 : r == 1 ? 1 : static_cast<uint8_t>(state >> 8);
        }
        AvccFrame frame = convert(input);
        // Walk the lengths: they must tile the output exactly, with non-empty units.
        size_t at = 0;
        while (at < frame.avcc.size()) {
            ASSERT_LE(at + 4, frame.avcc.size());
            const size_t length = (size_t{frame.avcc[at]} << 24) |
                                  (size_t{frame.avcc[at + 1]} << 16) |
                                  (size_t{frame.avcc[at + 2]} << 8) | frame.avcc[at + 3];
            ASSERT_GT(length, 0u);
            at += 4 + length;
        }
        EXPECT_EQ(at, frame.avcc.size());
    }
}

}  // namespace
}  // namespace panelora
