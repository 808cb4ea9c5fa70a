// The choice of a desktop: the table's walk (in order, the first that applies and works, or only
// the one --desktop names) over fake entries, and the real table when neither GNOME's screen cast
// nor a usable X server answers, with the Linux words the status and the menu's advice then use.
#include "platform/linux/desktop/linux_desktop.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

// A platform that is never used: only which entry made it matters.
class MadePlatform final : public DesktopPlatform {
  public:
    explicit MadePlatform(std::string name) : name_(std::move(name)) {}
    DesktopSeams seams() override { return {}; }
    LibavVideoCodecFactory& codecs() override { return codecs_; }
    std::string description() const override { return name_; }
    bool captureAllowed(DesktopProblem&) override { return true; }
    bool inputAllowed(DesktopProblem&) override { return true; }
    void setOnGone(std::function<void(std::string)>) override {}

  private:
    std::string name_;
    LibavVideoCodecFactory codecs_;
};

// An entry that applies (or not) and works (or not), writing down each time it is made.
Desktop fakeDesktop(std::string_view name, bool applies, bool works,
                    std::vector<std::string>& made) {
    Desktop desktop;
    desktop.name = name;
    desktop.applies = [applies] { return applies; };
    desktop.notHere = applies ? "" : (name == "a" ? "no A here" : "no B here");
    desktop.create = [name, works, &made](
                         const DesktopOptions&,
                         std::string* missing) -> std::unique_ptr<DesktopPlatform> {
        made.emplace_back(name);
        if (works) return std::make_unique<MadePlatform>(std::string(name));
        *missing = std::string(name) + " does not work";
        return nullptr;
    };
    desktop.remedy = name == "a" ? "start A" : "start B";
    return desktop;
}

TEST(DesktopChoice, WalksTheTableInOrderOrTakesOnlyTheNamedDesktop) {
    struct Case {
        std::string desktop;  // --desktop
        bool aApplies, aWorks, bApplies, bWorks;
        std::vector<std::string> made;  // the entries made, in order
        std::string chosen;             // empty: none
        std::string missing, remedy;
    };
    const std::string either = "Start A, or start B.";
    // clang-format off
    const Case cases[] = {
        {"auto", true, true, true, true, {"a"}, "a", "", ""},
        {"auto", true, false, true, true, {"a", "b"}, "b", "", ""},
        {"auto", false, true, true, true, {"b"}, "b", "", ""},
        {"auto", false, true, false, true, {}, "", "no A here, and no B here", either},
        {"auto", true, false, true, false, {"a", "b"}, "", "a does not work, and b does not work",
         either},
        {"auto", true, false, false, true, {"a"}, "", "a does not work, and no B here", either},
        // A named desktop is made even where an automatic choice would not try it, and alone.
        {"b", true, true, false, true, {"b"}, "b", "", ""},
        {"b", true, true, true, false, {"b"}, "", "b does not work",
         "Start B, or start Panelora with --desktop auto."},
        {"kde", true, true, true, true, {}, "", "this build has no desktop \"kde\"",
         "Start Panelora with --desktop set to one of: auto, a, b."},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desktop + " " + c.chosen);
        std::vector<std::string> made;
        const std::vector<Desktop> table{fakeDesktop("a", c.aApplies, c.aWorks, made),
                                         fakeDesktop("b", c.bApplies, c.bWorks, made)};
        LinuxDesktop::Options options;
        options.desktop = c.desktop;
        DesktopProblem missing;
        auto platform = LinuxDesktop::choose(options, missing, table);
        EXPECT_EQ(made, c.made);
        EXPECT_EQ(platform ? platform->description() : "", c.chosen);
        EXPECT_EQ(missing.missing, c.missing);
        EXPECT_EQ(missing.remedy, c.remedy);
        EXPECT_EQ(missing.status, platform ? "" : LinuxTexts::needsDesktop);
    }
}

// The real table: GNOME first, then sway, then X11; when none answers, the texts say in Linux
// words what is missing.
TEST(DesktopChoice, WithoutADesktopTheTextsSayInLinuxWordsWhatIsMissing) {
    EXPECT_EQ(desktopChoices(), "auto, gnome, sway, x11");
    EXPECT_TRUE(findDesktop("gnome") && findDesktop("gnome")->name == "gnome" &&
                findDesktop("sway") && findDesktop("x11"));
    EXPECT_FALSE(findDesktop("auto") || findDesktop("kde"));  // "auto" is a choice, not a desktop
    struct Case {
        std::string desktop;
        const char* wayland;  // $WAYLAND_DISPLAY
        std::string missing;
    };
    const std::string noX = "no usable X server at :9999";
    const std::string noCast = "this Wayland desktop offers no GNOME screen cast";
    for (const Case& c : {
             Case{"auto", nullptr, "no GNOME on Wayland, and no sway, and " + noX},
             Case{"auto", "wayland-9", noCast + ", and no sway, and " + noX},
             Case{"gnome", nullptr, noCast},
             Case{"sway", "wayland-9", "no sway answers on its IPC socket"},
             Case{"x11", "wayland-9", noX},
         }) {
        ScopedEnvironment environment;
        environment.set("WAYLAND_DISPLAY",
                        c.wayland ? std::optional<std::string>(c.wayland) : std::nullopt);
        environment.set("XDG_SESSION_TYPE", std::nullopt);
        environment.set("SWAYSOCK", std::nullopt);
        LinuxDesktop::Options options;
        options.desktop = c.desktop;
        options.platform.x11.display = ":9999";
        options.platform.gnome.busAddress = "unix:path=/nonexistent/panelora-bus";
        DesktopProblem missing;
        EXPECT_FALSE(LinuxDesktop::choose(options, missing));
        EXPECT_EQ(missing.missing, c.missing);
        if (c.desktop == "auto") {
            EXPECT_EQ(missing.remedy,
                      "Log in to GNOME on Wayland, or log in to sway, or run Xorg 1.18 or later "
                      "(RandR 1.5).");
        } else {
            EXPECT_TRUE(missing.remedy.ends_with(", or start Panelora with --desktop auto."))
                << missing.remedy;
        }

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
