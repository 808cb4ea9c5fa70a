// The status menu's AppKit rendering of the menu model: one NSMenuItem per entry, pickers as a
// caption and checkmarked options, the toggle as a checkmarked item, Command-Q, and when an open
// menu may be updated in place.
#include "platform/macos/portable/menu_plan.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

// One letter per entry: - separator, t text, c caption, b button, o option, O checked option,
// T checked toggle; ? for what no row makes (an enabled caption, a disabled option…).
std::string shape(const std::vector<MenuEntry>& entries) {
    std::string out;
    for (const MenuEntry& e : entries) {
        const bool caption = e.style == MenuEntry::Style::caption;
        if (e.kind == MenuEntry::Kind::separator)
            out += '-';
        else if ((caption && e.enabled) || e.indentation > 1)
            out += '?';
        else if (e.indentation == 1)
            out += !e.enabled ? '?' : e.checked ? 'O' : 'o';
        else if (e.checked)
            out += e.toggles ? 'T' : '?';
        else
            out += caption ? 'c' : e.enabled ? 'b' : 't';
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

// The titles are the model's rows with each picker's options after it (their texts are the
// model test's); only Quit has a key.
TEST(MenuPlan, StreamingMenu) {
    const auto rows = buildMenu(streaming());
    const auto plan = planMenu(rows);
    std::vector<std::string> expected, titles;
    for (const MenuRow& row : rows) {
        expected.push_back(row.text);
        for (const MenuOption& option : row.options)
            expected.push_back(option.text);
    }
    for (const MenuEntry& e : plan)
        titles.push_back(e.title);
    EXPECT_EQ(titles, expected);
    EXPECT_EQ(shape(plan), "tccbc-bbb-cooOocoOT-bcb");
    for (size_t i = 0; i + 1 < plan.size(); ++i)
        EXPECT_TRUE(plan[i].keyEquivalent.empty()) << plan[i].title;
    EXPECT_EQ(plan.back().keyEquivalent, "q");
    EXPECT_TRUE(plan.back().commandModifier);
}

// The toggle asks for the opposite of what it shows; a space no option matches checks none.
TEST(MenuPlan, ChoosingAnEntryPassesWhatPerformMenuActionTakes) {
    MenuState off = streaming();
    off.launchAtLogin = false;
    off.space = 110;
    for (const MenuState& state : {streaming(), off}) {
        std::map<std::string, MenuEntry> entries;
        for (const MenuEntry& e : planMenu(buildMenu(state))) {
            entries[e.title] = e;
            EXPECT_FALSE(state.space == 110 && e.item == MenuItem::spacePicker && e.checked);
        }
        const std::tuple<std::string, MenuItem, std::optional<int64_t>> cases[] = {
            {"Spacious: 50% more space, smallest text", MenuItem::spacePicker, 150},
            {"Sharp: native resolution, 60 fps", MenuItem::qualityPicker, 0},
            {"Launch at Login", MenuItem::launchAtLogin, state.launchAtLogin ? 0 : 1},
            {"Quit Panelora", MenuItem::quit, std::nullopt},
            {"Move Panelora to the Left", MenuItem::moveLeft, std::nullopt},
        };
        for (const auto& [title, item, value] : cases) {
            ASSERT_TRUE(entries.count(title)) << title;
            EXPECT_EQ(entries[title].item, item) << title;
            EXPECT_EQ(choiceValue(entries[title]), value) << title;
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
