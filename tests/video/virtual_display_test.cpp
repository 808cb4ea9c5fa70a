#include "video/virtual_display.h"

#include "media_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

// Twice the logical size at 264 pixels per inch; one HiDPI mode of the logical size at the
// profile's rate, and the encoded size for backends that choose the pixel size themselves.
TEST(VirtualDisplayTest, SizesFollowTheProfileAt264PixelsPerInch) {
    const std::tuple<StreamProfile, uint32_t, uint32_t, double, double> cases[] = {
        {StreamProfile::fallback, 2048, 1536, 197.04, 147.78},
        {{1796, 1346, 120, 43513488, 1708, 1280}, 3416, 2560, 328.66, 246.30},
    };
    for (const auto& [profile, wide, high, widthMm, heightMm] : cases) {
        const VirtualDisplayDescriptor d = VirtualDisplay::descriptorFor(profile, 1);
        EXPECT_EQ(std::tie(d.name, d.maxPixelsWide, d.maxPixelsHigh),
                  std::tuple("Panelora", wide, high));
        EXPECT_NEAR(d.widthMillimeters, widthMm, 0.005);
        EXPECT_NEAR(d.heightMillimeters, heightMm, 0.005);
    }
    const VirtualDisplaySettings s =
        VirtualDisplay::settingsFor({1796, 1346, 120, 43513488, 1708, 1280});
    EXPECT_TRUE(s.hiDPI);
    ASSERT_EQ(s.modes.size(), 1u);
    EXPECT_EQ(std::tie(s.modes[0].width, s.modes[0].height, s.modes[0].refreshRate),
              std::tuple(1708u, 1280u, 120.0));
    EXPECT_EQ(std::tie(s.encodedWidth, s.encodedHeight), std::tuple(1796u, 1346u));
}

// A display whose settings are refused is removed again; one never made gets no settings; sizes
// that cannot be doubled are refused before the platform sees them.
TEST(VirtualDisplayTest, PassesTheSerialAppliesTheSettingsAndRefusalsLeaveNoDisplay) {
    FakeDisplays backend;
    auto display = VirtualDisplay::create(backend, StreamProfile::fallback, 42);
    ASSERT_NE(display, nullptr);
    ASSERT_EQ(backend.descriptors.size(), 1u);
    EXPECT_EQ(backend.descriptors[0].serialNum, 42u);
    ASSERT_EQ(backend.settings.size(), 1u);
    EXPECT_EQ(backend.settings[0].modes[0].width, 1024u);
    EXPECT_TRUE(backend.isAlive(display->displayID()));
    display.reset();

    StreamProfile huge = StreamProfile::fallback, empty = StreamProfile::fallback;
    huge.logicalWidth = int64_t{1} << 32;
    empty.logicalHeight = 0;
    EXPECT_EQ(VirtualDisplay::create(backend, huge, 1), nullptr);
    EXPECT_EQ(VirtualDisplay::create(backend, empty, 1), nullptr);
    EXPECT_EQ(backend.descriptors.size(), 1u);
    backend.refuseSettings = true;
    EXPECT_EQ(VirtualDisplay::create(backend, StreamProfile::fallback, 1), nullptr);
    EXPECT_EQ(backend.descriptors.size(), 2u);
    EXPECT_EQ(backend.aliveCount(), 0u);
    backend.refuse = true;
    EXPECT_EQ(VirtualDisplay::create(backend, StreamProfile::fallback, 1), nullptr);
    EXPECT_EQ(backend.settings.size(), 2u);
}

}  // namespace
}  // namespace panelora::test
