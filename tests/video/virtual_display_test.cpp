#include "video/virtual_display.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace panelora {
namespace {

using testing::FakeVirtualDisplayBackend;

struct DescriptorCase {
    const char* name;
    StreamProfile profile;
    uint32_t pixelsWide;
    uint32_t pixelsHigh;
    double widthMm;
    double heightMm;
};

class DescriptorTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(DescriptorTest, SizesFollowTheProfileAt264PixelsPerInch) {
    const DescriptorCase& c = GetParam();
    VirtualDisplayDescriptor d = VirtualDisplay::descriptorFor(c.profile, 1);
    EXPECT_EQ(d.name, "Panelora");
    EXPECT_EQ(d.maxPixelsWide, c.pixelsWide);
    EXPECT_EQ(d.maxPixelsHigh, c.pixelsHigh);
    EXPECT_NEAR(d.widthMillimeters, c.widthMm, 0.005);
    EXPECT_NEAR(d.heightMillimeters, c.heightMm, 0.005);
    EXPECT_EQ(d.productID, 0xE9ADu);
    EXPECT_EQ(d.vendorID, 59821u);
    EXPECT_EQ(d.serialNum, 1u);

    VirtualDisplaySettings s = VirtualDisplay::settingsFor(c.profile);
    EXPECT_TRUE(s.hiDPI);
    ASSERT_EQ(s.modes.size(), 1u);
    EXPECT_EQ(s.modes[0].width, c.pixelsWide / 2);
    EXPECT_EQ(s.modes[0].height, c.pixelsHigh / 2);
    EXPECT_EQ(s.modes[0].refreshRate, static_cast<double>(c.profile.fps));
    EXPECT_EQ(s.encodedWidth, static_cast<uint32_t>(c.profile.width));
    EXPECT_EQ(s.encodedHeight, static_cast<uint32_t>(c.profile.height));
}

INSTANTIATE_TEST_SUITE_P(Profiles, DescriptorTest,
                         ::testing::Values(DescriptorCase{"Fallback", StreamProfile::fallback, 2048,
                                                          1536, 197.04, 147.78},
                                           DescriptorCase{
                                               "Smooth120",
                                               StreamProfile{1796, 1346, 120, 43513488, 1708, 1280},
                                               3416, 2560, 328.66, 246.30}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VirtualDisplayTest, PassesTheSerialAndAppliesTheSettings) {
    FakeVirtualDisplayBackend backend;
    auto display = VirtualDisplay::create(backend, StreamProfile::fallback, 42);
    ASSERT_NE(display, nullptr);
    ASSERT_EQ(backend.registry->descriptors.size(), 1u);
    EXPECT_EQ(backend.registry->descriptors[0].serialNum, 42u);
    ASSERT_EQ(backend.registry->settings.size(), 1u);
    EXPECT_EQ(backend.registry->settings[0].modes[0].width, 1024u);
    EXPECT_EQ(backend.registry->alive.count(display->displayID()), 1u);
}

TEST(VirtualDisplayTest, RefusedSettingsLeaveNoDisplayBehind) {
    FakeVirtualDisplayBackend backend;
    backend.refuseSettings = true;
    EXPECT_EQ(VirtualDisplay::create(backend, StreamProfile::fallback, 1), nullptr);
    EXPECT_EQ(backend.registry->descriptors.size(), 1u);  // it was made, then removed
    EXPECT_TRUE(backend.registry->alive.empty());
}

TEST(VirtualDisplayTest, RefusedDescriptorYieldsNothing) {
    FakeVirtualDisplayBackend backend;
    backend.refuseDescriptor = true;
    EXPECT_EQ(VirtualDisplay::create(backend, StreamProfile::fallback, 1), nullptr);
    EXPECT_TRUE(backend.registry->settings.empty());
}

TEST(VirtualDisplayTest, SuccessiveSessionsGetTheirOwnDisplay) {
    FakeVirtualDisplayBackend backend;
    auto first = VirtualDisplay::create(backend, StreamProfile::fallback, 1);
    ASSERT_NE(first, nullptr);
    const DisplayID firstID = first->displayID();
    first.reset();
    EXPECT_TRUE(backend.registry->alive.empty());

    auto second = VirtualDisplay::create(backend, StreamProfile::fallback, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second->displayID(), firstID);
    second.reset();
    EXPECT_TRUE(backend.registry->alive.empty());
}

TEST(VirtualDisplayTest, SizesThatCannotBeDoubledAreRefusedBeforeThePlatformSeesThem) {
    FakeVirtualDisplayBackend backend;
    StreamProfile huge = StreamProfile::fallback;
    huge.logicalWidth = int64_t{1} << 32;
    StreamProfile empty = StreamProfile::fallback;
    empty.logicalHeight = 0;
    EXPECT_EQ(VirtualDisplay::create(backend, huge, 1), nullptr);
    EXPECT_EQ(VirtualDisplay::create(backend, empty, 1), nullptr);
    EXPECT_TRUE(backend.registry->descriptors.empty());
}

}  // namespace
}  // namespace panelora
