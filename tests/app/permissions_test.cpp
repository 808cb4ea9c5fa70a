#include "app/permissions.h"

#include <gtest/gtest.h>

#include "app_fakes.h"

namespace panelora {
namespace {

TEST(Permissions, SettingsAddressesAreExact) {
    testing::FakePermissions backend;
    openScreenRecordingSettings(backend);
    openAccessibilitySettings(backend);
    openDisplaySettings(backend);
    EXPECT_EQ(backend.opened,
              (std::vector<std::string>{
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture",
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility",
                  "x-apple.systempreferences:com.apple.Displays-Settings.extension",
              }));
}

TEST(Permissions, URLCheck) {
    EXPECT_TRUE(Permissions::isValidURL("x-apple.systempreferences:com.apple.Displays-Settings"));
    EXPECT_TRUE(Permissions::isValidURL("a+b-c.d:x?y"));
    const char* bad[] = {"",
                         ":pane",
                         "scheme:",
                         "no-colon",
                         "1abc:pane",
                         "x y:pane",
                         "scheme:pane with space",
                         "scheme:pane\n",
                         "sch_eme:pane"};
    for (const char* address : bad)
        EXPECT_FALSE(Permissions::isValidURL(address)) << address;
}

TEST(Permissions, AdviceTexts) {
    EXPECT_EQ(screenRecordingAdvice.headline, "Nothing can stream: allow Screen Recording");
    EXPECT_EQ(screenRecordingAdvice.button, "Open Screen Recording Settings\xE2\x80\xA6");
    EXPECT_EQ(screenRecordingAdvice.followUp,
              "If it's already on, switch it off and on again (or remove and re-add Panelora).");
    EXPECT_EQ(accessibilityAdvice.headline,
              "Touch, keyboard and trackpad are off: allow Accessibility");
    EXPECT_EQ(accessibilityAdvice.button, "Open Accessibility Settings\xE2\x80\xA6");
    // The minus is U+2212 (E2 88 92), not a hyphen.
    EXPECT_EQ(accessibilityAdvice.followUp,
              "If it's already on, remove Panelora with the \xE2\x88\x92 button, add it again "
              "with +, then relaunch it.");
}

}  // namespace
}  // namespace panelora
