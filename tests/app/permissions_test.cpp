#include "app/permissions.h"

#include "app_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(Permissions, SettingsAddressesAreExact) {
    FakePermissions backend;
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
    for (const char* bad : {"", ":pane", "scheme:", "no-colon", "1abc:pane", "x y:pane",
                            "scheme:pane with space", "scheme:pane\n", "sch_eme:pane"})
        EXPECT_FALSE(Permissions::isValidURL(bad)) << bad;
}

}  // namespace
}  // namespace panelora::test
