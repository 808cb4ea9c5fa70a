// The desktop chosen at start when neither GNOME's screen cast nor a usable X server answers, and
// the Linux words the status and the menu's advice then use.
#include "platform/linux/desktop/linux_desktop.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(DesktopChoice, WithoutADesktopTheTextsSayInLinuxWordsWhatIsMissing) {
    struct Case {
        LinuxDesktop::Choice choice;
        const char* wayland;  // $WAYLAND_DISPLAY
        std::string missing;
    };
    const std::string noX = "no usable X server at :9999";
    const std::string noCast = "this Wayland desktop offers no GNOME screen cast";
    for (const Case& c : {
             Case{LinuxDesktop::Choice::automatic, nullptr, "no GNOME on Wayland, and " + noX},
             Case{LinuxDesktop::Choice::automatic, "wayland-9", noCast + ", and " + noX},
             Case{LinuxDesktop::Choice::gnome, nullptr, noCast},
             Case{LinuxDesktop::Choice::x11, "wayland-9", "no GNOME on Wayland, and " + noX},
         }) {
        ScopedEnvironment environment;
        environment.set("WAYLAND_DISPLAY",
                        c.wayland ? std::optional<std::string>(c.wayland) : std::nullopt);
        environment.set("XDG_SESSION_TYPE", std::nullopt);
        LinuxDesktop::Options options;
        options.choice = c.choice;
        options.x11Display = ":9999";
        options.busAddress = "unix:path=/nonexistent/panelora-bus";
        DesktopProblem missing;
        EXPECT_FALSE(LinuxDesktop::choose(options, missing));
        EXPECT_EQ(missing.missing, c.missing);

        const PermissionTexts texts = linuxPermissionTexts(missing, missing);
        EXPECT_EQ(texts.blockedStatus, LinuxTexts::needsDesktop);
        EXPECT_EQ(texts.screenRecording.headline, "Nothing can stream: " + c.missing);
        for (const std::string& text :
             {texts.screenRecording.followUp, texts.accessibility.headline,
              texts.accessibility.button, texts.accessibility.followUp}) {
            for (const char* macOS : {"System Settings", "relaunch", "Relaunch", "\u2212 button"})
                EXPECT_EQ(text.find(macOS), std::string::npos) << text;
        }
    }
}

}  // namespace
}  // namespace panelora::test
