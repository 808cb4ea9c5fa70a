#include "video/annex_b.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

// 4- and 3-byte start codes; access unit delimiters dropped, inner 00 kept; trailing zeros belong
// to no unit; only the first parameter sets are kept and SEI passed on; an IDR may have
// nal_ref_idc 1; bytes before the first start code and empty units are ignored. Per case: input,
// AVCC, SPS and PPS (nothing when null), whether an IDR is in it.
TEST(AnnexBTest, ConvertsToLengthPrefixedUnitsAndLiftsTheParameterSets) {
    const std::tuple<const char*, const char*, const char*, const char*, bool> cases[] = {
        {"00000001 09F0  00000001 67640028  000001 68EE3C80  000001 6588840021",
         "00000005 6588840021", "67640028", "68EE3C80", true},
        {"000001 419A02 0000  00000001 019E117F 00", "00000003 419A02  00000004 019E117F", nullptr,
         nullptr, false},
        {"000001 6701 000001 6702 000001 6803 000001 6804 000001 0605 000001 2506",
         "00000002 0605  00000002 2506", "6701", "6803", true},
        {"DEAD 000001 4101", "00000002 4101", nullptr, nullptr, false},
        {"000001 4101 000001 000001 4102", "00000002 4101  00000002 4102", nullptr, nullptr, false},
    };
    auto set = [](const char* h) { return h ? std::optional(hex(h)) : std::nullopt; };
    for (const auto& [input, avcc, sps, pps, hasIdr] : cases) {
        const AvccFrame frame = annexBToAvcc(hex(input));
        EXPECT_EQ(frame.avcc, hex(avcc)) << input;
        EXPECT_EQ(frame.sps, set(sps)) << input;
        EXPECT_EQ(frame.pps, set(pps)) << input;
        EXPECT_EQ(frame.hasIdr, hasIdr) << input;
    }
}

TEST(AnnexBTest, BadInputGivesAnEmptyResult) {
    for (const char* input :
         {"", "658884", "0000", "000001", "00000001 0000", "000001 000001", "000001 09F0"}) {
        const AvccFrame frame = annexBToAvcc(hex(input));
        EXPECT_TRUE(frame.avcc.empty()) << input;
        EXPECT_FALSE(frame.sps || frame.pps || frame.hasIdr) << input;
    }
}

}  // namespace
}  // namespace panelora::test
