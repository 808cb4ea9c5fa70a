// The status menu's AppKit rendering of the menu model: one NSMenuItem per entry, pickers as a
// caption and checkmarked options, the toggle as a checkmarked item, Command-Q, and when an open
// menu may be updated in place.
#include "platform/macos/portable/menu_plan.h"

#include <stdexcept>

#include "test_prelude.h"

namespace panelora::test {
namespace {

// One line per entry: "---" for a separator, else
// "<title>|<plain or caption>|<enabled or off>|<checked: on>|<indentation>|<key>".
std::vector<std::string> describe(const std::vector<MenuEntry>& entries) {
    std::vector<std::string> out;
    for (const MenuEntry& e : entries) {
        if (e.kind == MenuEntry::Kind::separator) {
            out.push_back("---");
            continue;
        }
        out.push_back(e.title + "|" + (e.style == MenuEntry::Style::caption ? "caption" : "plain") +
                      "|" + (e.enabled ? "enabled" : "off") + "|" + (e.checked ? "on" : "") + "|" +
                      std::to_string(e.indentation) + "|" + (e.commandModifier ? "cmd-" : "") +
                      e.keyEquivalent);
    }
    return out;
}

MenuState streaming() {
    MenuState state;
    state.status = "Streaming 2732\u00d72048 at 60 fps";
    state.statsLine = "60 fps \u00b7 12 Mbps \u00b7 encode 4 ms (max 10)";
    state.canArrange = true;
    state.accessibilityAllowed = false;
    state.space = 125;
    state.preferSmooth = true;
    state.launchAtLogin = true;
    state.version = "0.1.0";
    return state;
}

TEST(MenuPlan, StreamingMenu) {
    const auto plan = planMenu(buildMenu(streaming()));
    EXPECT_EQ(
        describe(plan),
        (std::vector<std::string>{
            "Streaming 2732\u00d72048 at 60 fps|plain|off||0|",
            "60 fps \u00b7 12 Mbps \u00b7 encode 4 ms (max 10)|caption|off||0|",
            "Touch, keyboard and trackpad are off: allow Accessibility|caption|off||0|",
            "Open Accessibility Settings\u2026|plain|enabled||0|",
            "If it's already on, remove Panelora with the \u2212 button, add it again with +, "
            "then relaunch it.|caption|off||0|",
            "---",
            "Move Panelora to the Left|plain|enabled||0|",
            "Move Panelora to the Right|plain|enabled||0|",
            "Display Arrangement Settings\u2026|plain|enabled||0|",
            "---",
            "Screen space|caption|off||0|",
            "Auto|plain|enabled||1|",
            "Comfortable: tablet-sized, largest text|plain|enabled||1|",
            "Roomy: 25% more space|plain|enabled|on|1|",
            "Spacious: 50% more space, smallest text|plain|enabled||1|",
            "Quality|caption|off||0|",
            "Sharp: native resolution, 60 fps|plain|enabled||1|",
            "Smooth: up to 120 fps|plain|enabled|on|1|",
            "Launch at Login|plain|enabled|on|0|",
            "---",
            "Check for Updates\u2026|plain|enabled||0|",
            "Version 0.1.0|caption|off||0|",
            "Quit Panelora|plain|enabled||0|cmd-q",
        }));
}

TEST(MenuPlan, ChoosingAnEntryPassesWhatPerformMenuActionTakes) {
    const auto plan = planMenu(buildMenu(streaming()));
    auto find = [&](const std::string& title) -> const MenuEntry& {
        for (const MenuEntry& e : plan)
            if (e.title == title) return e;
        throw std::runtime_error("no entry " + title);
    };
    const MenuEntry& spacious = find("Spacious: 50% more space, smallest text");
    EXPECT_EQ(spacious.item, MenuItem::spacePicker);
    EXPECT_EQ(choiceValue(spacious), 150);
    const MenuEntry& sharp = find("Sharp: native resolution, 60 fps");
    EXPECT_EQ(sharp.item, MenuItem::qualityPicker);
    EXPECT_EQ(choiceValue(sharp), 0);
    // The toggle asks for the opposite of what it shows.
    const MenuEntry& login = find("Launch at Login");
    EXPECT_EQ(login.item, MenuItem::launchAtLogin);
    EXPECT_EQ(choiceValue(login), 0);
    MenuState off = streaming();
    off.launchAtLogin = false;
    for (const MenuEntry& e : planMenu(buildMenu(off))) {
        if (e.item == MenuItem::launchAtLogin) {
            EXPECT_EQ(choiceValue(e), 1);
        }
    }
    EXPECT_EQ(find("Quit Panelora").item, MenuItem::quit);
    EXPECT_EQ(choiceValue(find("Quit Panelora")), std::nullopt);
    EXPECT_EQ(find("Move Panelora to the Left").item, MenuItem::moveLeft);
}

TEST(MenuPlan, SpaceWithoutMatchingOptionChecksNone) {
    MenuState state = streaming();
    state.space = 110;
    for (const MenuEntry& e : planMenu(buildMenu(state))) {
        if (e.item == MenuItem::spacePicker) {
            EXPECT_FALSE(e.checked) << e.title;
        }
    }
}

TEST(MenuPlan, InPlaceUpdateOnlyWhileTheShapeStays) {
    const auto before = planMenu(buildMenu(streaming()));
    struct Case {
        const char* change;
        void (*apply)(MenuState&);
        bool inPlace;
    };
    const Case cases[] = {
        {"new statistics", [](MenuState& s) { s.statsLine = "58 fps"; }, true},
        {"new status", [](MenuState& s) { s.status = "Streaming 1024\u00d7768 at 60 fps"; }, true},
        {"other space chosen", [](MenuState& s) { s.space = 0; }, true},
        {"quality changed", [](MenuState& s) { s.preferSmooth = false; }, true},
        {"login toggled", [](MenuState& s) { s.launchAtLogin = false; }, true},
        {"statistics gone", [](MenuState& s) { s.statsLine.clear(); }, false},
        {"session ended", [](MenuState& s) { s.canArrange = false; }, false},
        {"permission granted", [](MenuState& s) { s.accessibilityAllowed = true; }, false},
        {"permission withdrawn", [](MenuState& s) { s.screenRecordingAllowed = false; }, false},
    };
    for (const Case& c : cases) {
        MenuState state = streaming();
        c.apply(state);
        const auto after = planMenu(buildMenu(state));
        EXPECT_EQ(canUpdateInPlace(before, after), c.inPlace) << c.change;
        EXPECT_NE(before, after) << c.change;
    }
    EXPECT_FALSE(canUpdateInPlace({}, before));  // the first rendering builds the items
}

}  // namespace
}  // namespace panelora::test
