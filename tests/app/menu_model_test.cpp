#include "app/menu_model.h"

#include <gtest/gtest.h>

#include "app/controller.h"
#include "app_fakes.h"
#include "update/update_checker.h"

namespace panelora {
namespace {

using testing::FakePermissions;
using testing::SessionFactoryFake;
using testing::TempDir;

// One line per row: "<kind>|<text>", with the picker's selection and the toggle's state.
std::vector<std::string> describe(const std::vector<MenuRow>& rows) {
    std::vector<std::string> out;
    for (const MenuRow& row : rows) {
        switch (row.kind) {
            case MenuRowKind::text:
                out.push_back("text|" + row.text);
                break;
            case MenuRowKind::caption:
                out.push_back("caption|" + row.text);
                break;
            case MenuRowKind::button:
                out.push_back("button|" + row.text);
                break;
            case MenuRowKind::separator:
                out.push_back("---");
                break;
            case MenuRowKind::picker:
                out.push_back("picker|" + row.text + "|" +
                              (row.selectedTag ? std::to_string(*row.selectedTag) : "none"));
                break;
            case MenuRowKind::toggle:
                out.push_back("toggle|" + row.text + "|" + (row.checked ? "on" : "off"));
                break;
        }
    }
    return out;
}

MenuState granted() {
    MenuState state;
    state.status = "Connect your tablet with the cable";
    state.screenRecordingAllowed = true;
    state.accessibilityAllowed = true;
    state.version = "0.1.0";
    return state;
}

TEST(MenuModel, GrantedWithoutSession) {
    auto rows = buildMenu(granted());
    EXPECT_EQ(describe(rows), (std::vector<std::string>{
                                  "text|Connect your tablet with the cable",
                                  "---",
                                  "button|Display Arrangement Settings\u2026",
                                  "---",
                                  "picker|Screen space|0",
                                  "picker|Quality|0",
                                  "toggle|Launch at Login|off",
                                  "---",
                                  "button|Check for Updates\u2026",
                                  "caption|Version 0.1.0",
                                  "button|Quit Panelora",
                              }));
    const MenuRow& quit = rows.back();
    EXPECT_EQ(quit.item, MenuItem::quit);
    ASSERT_TRUE(quit.shortcut);
    EXPECT_EQ(quit.shortcut->key, 'q');
    EXPECT_TRUE(quit.shortcut->primaryModifier);
    EXPECT_EQ(quit.shortcut->text(), "Ctrl+Q");
    for (size_t i = 0; i + 1 < rows.size(); ++i)
        EXPECT_FALSE(rows[i].shortcut) << i;
}

TEST(MenuModel, StreamingShowsStatisticsUnderStatusAndMoveCommands) {
    MenuState state = granted();
    state.status =
        "Streaming 2732\u00D7"
        "2048 @ 60 fps \u00B7 looks like 1708\u00D7"
        "1280";
    state.statsLine = "60 fps \u00B7 12 Mbps";
    state.canArrange = true;
    state.launchAtLogin = true;
    auto rows = buildMenu(state);
    EXPECT_EQ(describe(rows), (std::vector<std::string>{
                                  "text|" + state.status,
                                  "caption|60 fps \u00B7 12 Mbps",
                                  "---",
                                  "button|Move Panelora to the Left",
                                  "button|Move Panelora to the Right",
                                  "button|Display Arrangement Settings\u2026",
                                  "---",
                                  "picker|Screen space|0",
                                  "picker|Quality|0",
                                  "toggle|Launch at Login|on",
                                  "---",
                                  "button|Check for Updates\u2026",
                                  "caption|Version 0.1.0",
                                  "button|Quit Panelora",
                              }));
    EXPECT_EQ(rows[1].item, MenuItem::statistics);
    EXPECT_EQ(rows[3].item, MenuItem::moveLeft);
    EXPECT_EQ(rows[4].item, MenuItem::moveRight);
}

TEST(MenuModel, StreamingBeforeFirstStatisticsHasNoStatisticsRow) {
    MenuState state = granted();
    state.canArrange = true;
    auto rows = buildMenu(state);
    EXPECT_EQ(rows[1].kind, MenuRowKind::separator);
    EXPECT_EQ(rows[2].item, MenuItem::moveLeft);
}

TEST(MenuModel, MissingPermissionsShowTheirBlocksScreenRecordingFirst) {
    MenuState state = granted();
    state.screenRecordingAllowed = false;
    state.accessibilityAllowed = false;
    state.statsLine = "stats";
    auto rows = buildMenu(state);
    auto lines = describe(rows);
    std::vector<std::string> head(lines.begin(), lines.begin() + 9);
    EXPECT_EQ(head, (std::vector<std::string>{
                        "text|Connect your tablet with the cable",
                        "caption|stats",
                        "caption|Nothing can stream: allow Screen Recording",
                        "button|Open Screen Recording Settings\u2026",
                        "caption|If it's already on, switch it off and on again (or remove and "
                        "re-add Panelora).",
                        "caption|Touch, keyboard and trackpad are off: allow Accessibility",
                        "button|Open Accessibility Settings\u2026",
                        "caption|If it's already on, remove Panelora with the \xE2\x88\x92 "
                        "button, add it again with +, then relaunch it.",
                        "---",
                    }));
    EXPECT_EQ(rows[3].item, MenuItem::openScreenRecordingSettings);
    EXPECT_EQ(rows[6].item, MenuItem::openAccessibilitySettings);

    // Each block alone.
    state.screenRecordingAllowed = true;
    rows = buildMenu(state);
    EXPECT_EQ(rows[2].item, MenuItem::accessibilityHeadline);
    EXPECT_EQ(rows[5].kind, MenuRowKind::separator);
    state.screenRecordingAllowed = false;
    state.accessibilityAllowed = true;
    rows = buildMenu(state);
    EXPECT_EQ(rows[2].item, MenuItem::screenRecordingHeadline);
    EXPECT_EQ(rows[4].item, MenuItem::screenRecordingAdvice);
    EXPECT_EQ(rows[5].kind, MenuRowKind::separator);
}

TEST(MenuModel, VersionLine) {
    MenuState state = granted();
    state.version = "";
    EXPECT_EQ(buildMenu(state)[9].text, "Version 0");
    EXPECT_EQ(buildMenu(state)[9].item, MenuItem::version);
    // The build names the project version.
    EXPECT_FALSE(UpdateChecker::currentVersion().empty());
    EXPECT_EQ(UpdateChecker::currentVersion(), "0.1.0");
}

const MenuRow& rowFor(const std::vector<MenuRow>& rows, MenuItem item) {
    for (const MenuRow& row : rows) {
        if (row.item == item) return row;
    }
    throw std::runtime_error("row not shown");
}

TEST(MenuModel, PickerOptionsTagsAndSelection) {
    MenuState state = granted();
    state.space = 125;
    state.preferSmooth = true;
    auto rows = buildMenu(state);
    const MenuRow& space = rowFor(rows, MenuItem::spacePicker);
    EXPECT_EQ(space.text, "Screen space");
    EXPECT_EQ(space.options, (std::vector<MenuOption>{
                                 {"Auto", 0},
                                 {"Comfortable: tablet-sized, largest text", 100},
                                 {"Roomy: 25% more space", 125},
                                 {"Spacious: 50% more space, smallest text", 150},
                             }));
    EXPECT_EQ(space.selectedTag, 125);
    const MenuRow& quality = rowFor(rows, MenuItem::qualityPicker);
    EXPECT_EQ(quality.text, "Quality");
    EXPECT_EQ(quality.options, (std::vector<MenuOption>{
                                   {"Sharp: native resolution, 60 fps", 0},
                                   {"Smooth: up to 120 fps", 1},
                               }));
    EXPECT_EQ(quality.selectedTag, 1);

    // A stored value that matches no option selects nothing.
    state.space = 130;
    EXPECT_EQ(rowFor(buildMenu(state), MenuItem::spacePicker).selectedTag, std::nullopt);
}

class RecordingLoginItems final : public LoginItemBackend {
  public:
    Status current = Status::notRegistered;
    std::optional<std::string> registerApp() override {
        current = Status::enabled;
        return std::nullopt;
    }
    std::optional<std::string> unregisterApp() override {
        current = Status::notRegistered;
        return std::nullopt;
    }
    Status status() override { return current; }
};

class MenuActions : public ::testing::Test {
  protected:
    MenuActions() : mainQueue(clock.makeQueue("main")) {
        AppEnvironment env;
        env.permissions = permissions;
        env.makeSession = sessions.factory();
        env.devices = devices;
        env.settings = std::make_shared<SettingsStore>(dir.path() / "settings.json");
        env.mainQueue = mainQueue;
        env.background = clock.makeQueue("background");
        targets.controller = Controller::create(std::move(env));
        targets.permissions = permissions;
        targets.launchAtLogin = std::make_shared<LaunchAtLoginToggle>(loginItems);
        targets.checkForUpdates = [this] { ++updateChecks; };
        targets.quit = [this] { ++quits; };
    }

    TempDir dir;
    ManualClock clock;
    std::shared_ptr<SerialQueue> mainQueue;
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    std::shared_ptr<testing::FakeDevices> devices = std::make_shared<testing::FakeDevices>(clock);
    std::shared_ptr<RecordingLoginItems> loginItems = std::make_shared<RecordingLoginItems>();
    SessionFactoryFake sessions;
    MenuTargets targets;
    int updateChecks = 0;
    int quits = 0;
};

TEST_F(MenuActions, EachRowReachesItsTarget) {
    performMenuAction(MenuItem::openScreenRecordingSettings, targets);
    performMenuAction(MenuItem::openAccessibilitySettings, targets);
    performMenuAction(MenuItem::openDisplaySettings, targets);
    EXPECT_EQ(permissions->opened,
              (std::vector<std::string>{
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture",
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility",
                  "x-apple.systempreferences:com.apple.Displays-Settings.extension",
              }));

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

    // Text rows do nothing.
    performMenuAction(MenuItem::status, targets, 3);
    performMenuAction(MenuItem::version, targets);
    EXPECT_EQ(permissions->opened.size(), 3u);
    EXPECT_EQ(quits, 0);

    // Moves without a session do nothing (and do not crash).
    performMenuAction(MenuItem::moveLeft, targets);
    performMenuAction(MenuItem::moveRight, targets);
}

TEST_F(MenuActions, QuitShutsTheControllerDownThenQuits) {
    targets.controller->start();
    performMenuAction(MenuItem::quit, targets);
    EXPECT_EQ(quits, 1);
    // The watch loop is stopped: no attempt after quitting.
    clock.advance(std::chrono::seconds(5));
    EXPECT_TRUE(devices->listTimes.empty());
}

TEST_F(MenuActions, MenuStateFollowsTheController) {
    permissions->accessibility = false;
    auto& controller = targets.controller;
    AppEnvironment env;
    env.permissions = permissions;
    env.makeSession = sessions.factory();
    env.devices = devices;
    env.settings = std::make_shared<SettingsStore>(dir.path() / "other.json");
    env.mainQueue = mainQueue;
    env.background = clock.makeQueue("background");
    controller = Controller::create(std::move(env));
    controller->setSpace(125);
    MenuState state = MenuState::of(*controller, true, "1.2");
    EXPECT_EQ(state.status, "Looking for your tablet\u2026");
    EXPECT_FALSE(state.accessibilityAllowed);
    EXPECT_TRUE(state.screenRecordingAllowed);
    EXPECT_EQ(state.space, 125);
    EXPECT_TRUE(state.launchAtLogin);
    auto rows = buildMenu(state);
    EXPECT_EQ(rows[1].item, MenuItem::accessibilityHeadline);
    EXPECT_EQ(rowFor(rows, MenuItem::spacePicker).selectedTag, 125);
    EXPECT_EQ(rowFor(rows, MenuItem::version).text, "Version 1.2");
}

}  // namespace
}  // namespace panelora
