// The status menu's AppKit rendering of the menu model: one NSMenuItem per entry, pickers as a
// caption and checkmarked options, the toggle as a checkmarked item, Command-Q, and when an open
// menu may be updated in place. The model's own rows and texts are the app test's.
#include "platform/macos/portable/menu_plan.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

// One letter per entry: - separator, t text, c caption, b button, o option, O checked option,
// T checked toggle, g unchecked toggle; ? for what no row makes (an enabled caption, a disabled
// option…).
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
        else if (e.toggles)
            out += e.checked ? 'T' : 'g';
        else if (e.checked)
            out += '?';
        else
            out += caption ? 'c' : e.enabled ? 'b' : 't';
    }
    return out;
}

// A row of each kind: kind, item, text, options, selected tag, checked, shortcut. Quit's key is
// given in upper case, as AppKit must not get it.
std::vector<MenuRow> rowsOfEachKind(std::optional<int64_t> space = 125, bool launch = true) {
    using K = MenuRowKind;
    using I = MenuItem;
    const std::vector<MenuOption> spaces{{"Auto", 0}, {"Roomy", 125}, {"Spacious", 150}};
    return {
        {K::text, I::status, "Streaming", {}, {}, false, {}},
        {K::caption, I::statistics, "60 fps", {}, {}, false, {}},
        {K::separator, I::separator, "", {}, {}, false, {}},
        {K::picker, I::spacePicker, "Screen space", spaces, space, false, {}},
        {K::toggle, I::launchAtLogin, "Launch", {}, {}, launch, {}},
        {K::button, I::moveLeft, "Left", {}, {}, false, {}},
        {K::button, I::quit, "Quit", {}, {}, false, MenuShortcut{'Q', true}},
    };
}

// Choosing an entry passes what performMenuAction() takes: an option its tag, the toggle the
// opposite of what it shows, a button nothing. Only Quit has a key.
TEST(MenuPlan, EntriesOfEachKindAndTheirChoices) {
    const auto plan = planMenu(rowsOfEachKind());
    EXPECT_EQ(shape(plan), "tc-coOoTbb");
    std::vector<std::string> titles;
    std::vector<std::optional<int64_t>> choices;
    for (const MenuEntry& e : plan) {
        titles.push_back(e.keyEquivalent.empty() ? e.title : e.title + "|" + e.keyEquivalent);
        choices.push_back(choiceValue(e));
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"Streaming", "60 fps", "", "Screen space", "Auto",
                                                "Roomy", "Spacious", "Launch", "Left", "Quit|q"}));
    const std::optional<int64_t> none;
    EXPECT_EQ(choices, (std::vector<std::optional<int64_t>>{none, none, none, none, 0, 125, 150, 0,
                                                            none, none}));
    EXPECT_EQ(plan[5].item, MenuItem::spacePicker);
    EXPECT_EQ(plan[7].item, MenuItem::launchAtLogin);
    EXPECT_TRUE(plan.back().commandModifier);
    // Unchecked, the toggle asks to be turned on; a space no option matches checks none.
    const auto off = planMenu(rowsOfEachKind(110, false));
    EXPECT_EQ(shape(off), "tc-cooogbb");
    EXPECT_EQ(choiceValue(off[7]), 1);
}

TEST(MenuPlan, InPlaceUpdateOnlyWhileTheShapeStays) {
    const auto before = planMenu(rowsOfEachKind());
    // The change, made to the rows, and whether the open menu may take it in place.
    const std::tuple<const char*, void (*)(std::vector<MenuRow>&), bool> cases[] = {
        {"new texts", [](std::vector<MenuRow>& r) { r[0].text = r[1].text = "58 fps"; }, true},
        {"other option chosen", [](std::vector<MenuRow>& r) { r[3].selectedTag = 0; }, true},
        {"toggled", [](std::vector<MenuRow>& r) { r[4].checked = false; }, true},
        {"a row gone", [](std::vector<MenuRow>& r) { r.erase(r.begin() + 1); }, false},
        {"another action", [](std::vector<MenuRow>& r) { r[5].item = MenuItem::moveRight; }, false},
        {"another option", [](std::vector<MenuRow>& r) { r[3].options[2].tag = 175; }, false},
        {"no key", [](std::vector<MenuRow>& r) { r[6].shortcut.reset(); }, false},
    };
    for (const auto& [change, apply, inPlace] : cases) {
        auto rows = rowsOfEachKind();
        apply(rows);
        const auto after = planMenu(rows);
        EXPECT_EQ(canUpdateInPlace(before, after), inPlace) << change;
        EXPECT_NE(before, after) << change;
    }
    EXPECT_FALSE(canUpdateInPlace({}, before));  // the first rendering builds the items
}

}  // namespace
}  // namespace panelora::test
