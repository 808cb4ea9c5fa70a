#include "app/menu_model.h"

#include "app/controller.h"
#include "app_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

// One line per row: "<kind>|<text>", with the picker's options and selection and the toggle's
// state.
std::vector<std::string> describe(const std::vector<MenuRow>& rows) {
    static const char* kinds[] = {"text", "caption", "button", "---", "picker", "toggle"};
    std::vector<std::string> out;
    for (const MenuRow& row : rows) {
        std::string line = kinds[int(row.kind)];
        if (row.kind != MenuRowKind::separator) line.append("|").append(row.text);
        for (const MenuOption& option : row.options)
            line.append("|").append(std::to_string(option.tag)).append(" ").append(option.text);
        if (row.kind == MenuRowKind::picker)
            line.append("|").append(row.selectedTag ? std::to_string(*row.selectedTag) : "none");
        if (row.kind == MenuRowKind::toggle) line += row.checked ? "|on" : "|off";
        out.push_back(line);
    }
    return out;
}

std::vector<MenuItem> items(const std::vector<MenuRow>& rows) {
    std::vector<MenuItem> out;
    for (const MenuRow& row : rows)
        out.push_back(row.item);
    return out;
}

// Everything shown: streaming with statistics, both permissions missing.
MenuState fullest() {
    MenuState state;
    state.status = "Streaming 2732\u00D72048 @ 60 fps \u00B7 looks like 1708\u00D71280";
    state.statsLine = "60 fps \u00B7 12 Mbps";
    state.canArrange = true;
    state.screenRecordingAllowed = false;
    state.accessibilityAllowed = false;
    state.space = 125;
    state.preferSmooth = true;
    state.launchAtLogin = true;
    state.version = "0.1.0";
    return state;
}

TEST(MenuModel, EveryRowInOrder) {
    const auto rows = buildMenu(fullest());
    EXPECT_EQ(
        describe(rows),
        (std::vector<std::string>{
            "text|Streaming 2732\u00D72048 @ 60 fps \u00B7 looks like 1708\u00D71280",
            "caption|60 fps \u00B7 12 Mbps",
            "caption|Nothing can stream: allow Screen Recording",
            "button|Open Screen Recording Settings\u2026",
            "caption|If it's already on, switch it off and on again (or remove and re-add "
            "Panelora).",
            "caption|Touch, keyboard and trackpad are off: allow Accessibility",
            "button|Open Accessibility Settings\u2026",
            "caption|If it's already on, remove Panelora with the \u2212 button, add it again "
            "with +, then relaunch it.",
            "---",
            "button|Move Panelora to the Left",
            "button|Move Panelora to the Right",
            "button|Display Arrangement Settings\u2026",
            "---",
            "picker|Screen space|0 Auto|100 Comfortable: tablet-sized, largest text|125 "
            "Roomy: 25% more space|150 Spacious: 50% more space, smallest text|125",
            "picker|Quality|0 Sharp: native resolution, 60 fps|1 Smooth: up to 120 fps|1",
            "toggle|Launch at Login|on",
            "---",
            "button|Check for Updates\u2026",
            "caption|Version 0.1.0",
            "button|Quit Panelora",
        }));
    using I = MenuItem;
    // clang-format off
    const std::vector<MenuItem> expected = {
        I::status, I::statistics, I::screenRecordingHeadline, I::openScreenRecordingSettings,
        I::screenRecordingAdvice, I::accessibilityHeadline, I::openAccessibilitySettings,
        I::accessibilityAdvice, I::separator, I::moveLeft, I::moveRight, I::openDisplaySettings,
        I::separator, I::spacePicker, I::qualityPicker, I::launchAtLogin, I::separator,
        I::checkForUpdates, I::version, I::quit};
    // clang-format on
    EXPECT_EQ(items(rows), expected);
    // Only Quit has a shortcut.
    for (size_t i = 0; i + 1 < rows.size(); ++i)
        EXPECT_FALSE(rows[i].shortcut) << i;
    ASSERT_TRUE(rows.back().shortcut);
    EXPECT_EQ(rows.back().shortcut->text(), "Ctrl+Q");
}

// Rows that a state hides leave the others in order.
TEST(MenuModel, HiddenRows) {
    using I = MenuItem;
    auto without = [](std::vector<MenuItem> hidden) {
        auto all = items(buildMenu(fullest()));
        std::erase_if(all, [&](I item) {
            return std::find(hidden.begin(), hidden.end(), item) != hidden.end();
        });
        return all;
    };
    MenuState state = fullest();
    state.statsLine = "";
    EXPECT_EQ(items(buildMenu(state)), without({I::statistics}));
    state.canArrange = false;
    EXPECT_EQ(items(buildMenu(state)), without({I::statistics, I::moveLeft, I::moveRight}));
    state.screenRecordingAllowed = true;
    EXPECT_EQ(items(buildMenu(state)),
              without({I::statistics, I::moveLeft, I::moveRight, I::screenRecordingHeadline,
                       I::openScreenRecordingSettings, I::screenRecordingAdvice}));
    state.screenRecordingAllowed = false;
    state.accessibilityAllowed = true;
    EXPECT_EQ(items(buildMenu(state)),
              without({I::statistics, I::moveLeft, I::moveRight, I::accessibilityHeadline,
                       I::openAccessibilitySettings, I::accessibilityAdvice}));
}

TEST(MenuModel, VersionAndSelectionFallBack) {
    MenuState state = fullest();
    state.version = "";
    state.space = 130;  // a stored value that matches no option selects nothing
    state.preferSmooth = false;
    state.launchAtLogin = false;
    const auto lines = describe(buildMenu(state));
    EXPECT_EQ(lines[18], "caption|Version 0");
    EXPECT_TRUE(lines[13].ends_with("|none")) << lines[13];
    EXPECT_TRUE(lines[14].ends_with("|0")) << lines[14];
    EXPECT_EQ(lines[15], "toggle|Launch at Login|off");
}

class MenuActions : public ::testing::Test, public AppRig {
  protected:
    MenuActions() {
        targets.controller = Controller::create(environment());
        targets.permissions = permissions;
        targets.launchAtLogin =
            std::make_shared<LaunchAtLoginToggle>(std::make_shared<ScriptedLoginItems>());
        targets.checkForUpdates = [this] { ++updateChecks; };
        targets.quit = [this] { ++quits; };
    }
    MenuTargets targets;
    int updateChecks = 0;
    int quits = 0;
};

TEST_F(MenuActions, EachRowReachesItsTarget) {
    performMenuAction(MenuItem::openScreenRecordingSettings, targets);
    performMenuAction(MenuItem::openAccessibilitySettings, targets);
    performMenuAction(MenuItem::openDisplaySettings, targets);
    FakePermissions direct;
    openScreenRecordingSettings(direct);
    openAccessibilitySettings(direct);
    openDisplaySettings(direct);
    EXPECT_EQ(permissions->opened, direct.opened);

    performMenuAction(MenuItem::spacePicker, targets, 150);
    EXPECT_EQ(targets.controller->space(), 150);
    performMenuAction(MenuItem::qualityPicker, targets, 1);
    EXPECT_TRUE(targets.controller->preferSmooth());
    performMenuAction(MenuItem::qualityPicker, targets);  // no value: nothing
    EXPECT_TRUE(targets.controller->preferSmooth());
    performMenuAction(MenuItem::launchAtLogin, targets, 1);
    EXPECT_TRUE(targets.launchAtLogin->enabled());
    performMenuAction(MenuItem::launchAtLogin, targets, 0);
    EXPECT_FALSE(targets.launchAtLogin->enabled());
    performMenuAction(MenuItem::checkForUpdates, targets);
    EXPECT_EQ(updateChecks, 1);
    // Text rows, and moves without a session, do nothing.
    for (MenuItem item :
         {MenuItem::status, MenuItem::version, MenuItem::moveLeft, MenuItem::moveRight})
        performMenuAction(item, targets, 3);
    EXPECT_EQ(permissions->opened.size(), 3u);
    EXPECT_EQ(quits, 0);
}

TEST_F(MenuActions, QuitShutsTheControllerDownThenQuits) {
    targets.controller->start();
    performMenuAction(MenuItem::quit, targets);
    EXPECT_EQ(quits, 1);
    clock.advance(std::chrono::seconds(5));  // the watch loop is stopped: no attempt
    EXPECT_TRUE(devices->listTimes.empty());
}

TEST_F(MenuActions, MenuStateFollowsTheController) {
    permissions->accessibility = false;
    targets.controller = Controller::create(environment());
    targets.controller->setSpace(125);
    const MenuState state = MenuState::of(*targets.controller, true, "1.2");
    EXPECT_EQ(state.status, Controller::lookingText);
    EXPECT_FALSE(state.accessibilityAllowed);
    EXPECT_TRUE(state.screenRecordingAllowed);
    EXPECT_EQ(state.space, 125);
    EXPECT_TRUE(state.launchAtLogin);
    EXPECT_EQ(state.version, "1.2");
}

}  // namespace
}  // namespace panelora::test
