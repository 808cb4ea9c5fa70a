#include "video/virtual_display.h"

#include "media_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(VirtualDisplayTest, SizesFollowTheProfileAt264PixelsPerInch) {
    struct Case {
        StreamProfile profile;
        uint32_t pixelsWide, pixelsHigh;
        double widthMm, heightMm;
    };
    const Case cases[] = {
        {StreamProfile::fallback, 2048, 1536, 197.04, 147.78},
        {{1796, 1346, 120, 43513488, 1708, 1280}, 3416, 2560, 328.66, 246.30},
    };
    for (const Case& c : cases) {
        const VirtualDisplayDescriptor d = VirtualDisplay::descriptorFor(c.profile, 1);
        EXPECT_EQ(d.name, "Panelora");
        EXPECT_EQ(d.maxPixelsWide, c.pixelsWide);
        EXPECT_EQ(d.maxPixelsHigh, c.pixelsHigh);
        EXPECT_NEAR(d.widthMillimeters, c.widthMm, 0.005);
        EXPECT_NEAR(d.heightMillimeters, c.heightMm, 0.005);

        const VirtualDisplaySettings s = VirtualDisplay::settingsFor(c.profile);
        EXPECT_TRUE(s.hiDPI);
        ASSERT_EQ(s.modes.size(), 1u);
        EXPECT_EQ(s.modes[0].width, c.pixelsWide / 2);
        EXPECT_EQ(s.modes[0].height, c.pixelsHigh / 2);
        EXPECT_EQ(s.modes[0].refreshRate, double(c.profile.fps));
        EXPECT_EQ(s.encodedWidth, uint32_t(c.profile.width));
        EXPECT_EQ(s.encodedHeight, uint32_t(c.profile.height));
    }
}

// A display whose settings are refused is removed again; one never made gets no settings.
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

    backend.refuseSettings = true;
    EXPECT_EQ(VirtualDisplay::create(backend, StreamProfile::fallback, 1), nullptr);
    EXPECT_EQ(backend.descriptors.size(), 2u);
    EXPECT_EQ(backend.aliveCount(), 0u);
    backend.refuse = true;
    EXPECT_EQ(VirtualDisplay::create(backend, StreamProfile::fallback, 1), nullptr);
    EXPECT_EQ(backend.settings.size(), 2u);
}

TEST(VirtualDisplayTest, SizesThatCannotBeDoubledAreRefusedBeforeThePlatformSeesThem) {
    FakeDisplays backend;
    StreamProfile huge = StreamProfile::fallback;
    huge.logicalWidth = int64_t{1} << 32;
    StreamProfile empty = StreamProfile::fallback;
    empty.logicalHeight = 0;
    EXPECT_EQ(VirtualDisplay::create(backend, huge, 1), nullptr);
    EXPECT_EQ(VirtualDisplay::create(backend, empty, 1), nullptr);
    EXPECT_TRUE(backend.descriptors.empty());
}

}  // namespace
}  // namespace panelora::test
