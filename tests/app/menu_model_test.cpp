#include "app/menu_model.h"

#include "app/controller.h"
#include "app_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

// One line per row: "<kind>|<text>", with the picker's options and selection, the toggle's
// state and the shortcut.
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
        if (row.shortcut) line.append("|").append(row.shortcut->text());
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

TEST(MenuModel, EveryRowInOrder) {
    const auto rows = buildMenu(fullestMenuState());
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
            "button|Quit Panelora|Ctrl+Q",
        }));
    using I = MenuItem;
    // clang-format off
    EXPECT_EQ(items(rows), (std::vector<MenuItem>{
        I::status, I::statistics, I::screenRecordingHeadline, I::openScreenRecordingSettings,
        I::screenRecordingAdvice, I::accessibilityHeadline, I::openAccessibilitySettings,
        I::accessibilityAdvice, I::separator, I::moveLeft, I::moveRight, I::openDisplaySettings,
        I::separator, I::spacePicker, I::qualityPicker, I::launchAtLogin, I::separator,
        I::checkForUpdates, I::version, I::quit}));
    // clang-format on
}

// Rows that a state hides leave the others in order.
TEST(MenuModel, HiddenRows) {
    using I = MenuItem;
    const std::pair<std::function<void(MenuState&)>, std::vector<MenuItem>> cases[] = {
        {[](MenuState& s) { s.statsLine = ""; }, {I::statistics}},
        {[](MenuState& s) { s.canArrange = false; }, {I::moveLeft, I::moveRight}},
        {[](MenuState& s) { s.screenRecordingAllowed = true; },
         {I::screenRecordingHeadline, I::openScreenRecordingSettings, I::screenRecordingAdvice}},
        {[](MenuState& s) { s.accessibilityAllowed = true; },
         {I::accessibilityHeadline, I::openAccessibilitySettings, I::accessibilityAdvice}},
    };
    for (const auto& [change, hidden] : cases) {
        MenuState state = fullestMenuState();
        change(state);
        auto expected = items(buildMenu(fullestMenuState()));
        std::erase_if(expected, [&](I item) { return std::ranges::count(hidden, item) > 0; });
        EXPECT_EQ(items(buildMenu(state)), expected) << int(hidden[0]);
    }
}

// A space that matches no option and the toggle off are the tray menu test's (model and rendering).
TEST(MenuModel, VersionAndQualityFallBack) {
    MenuState state = fullestMenuState();
    state.version = "";
    state.preferSmooth = false;
    const auto lines = describe(buildMenu(state));
    EXPECT_EQ(lines[18], "caption|Version 0");
    EXPECT_TRUE(lines[14].ends_with("|0")) << lines[14];
}

TEST(MenuActions, EachRowReachesItsTarget) {
    AppRig rig;
    int updateChecks = 0, quits = 0;
    const MenuTargets targets{
        Controller::create(rig.environment()), rig.permissions,
        std::make_shared<LaunchAtLoginToggle>(std::make_shared<ScriptedLoginItems>()),
        [&] { ++updateChecks; }, [&] { ++quits; }};
    performMenuAction(MenuItem::openScreenRecordingSettings, targets);
    performMenuAction(MenuItem::openAccessibilitySettings, targets);
    performMenuAction(MenuItem::openDisplaySettings, targets);
    FakePermissions direct;
    openScreenRecordingSettings(direct);
    openAccessibilitySettings(direct);
    openDisplaySettings(direct);
    EXPECT_EQ(rig.permissions->opened, direct.opened);

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
    EXPECT_EQ(rig.permissions->opened.size(), 3u);
    EXPECT_EQ(quits, 0);

    // Quit shuts the Controller down first: no attempt follows.
    targets.controller->start();
    performMenuAction(MenuItem::quit, targets);
    EXPECT_EQ(quits, 1);
    rig.clock.advance(5s);
    rig.settle();
    EXPECT_TRUE(rig.devices->listTimes.empty());
}

// The toggle shows the platform's status as read after each call, whatever the call said; a
// failure is one literal log line.
TEST(LaunchAtLogin, ShowsWhatThePlatformSaysAfterEachCall) {
    using Status = LoginItemBackend::Status;
    // The status before, the call (enable or not), its error (also logged), the status after, and
    // what the toggle shows then.
    const std::tuple<Status, bool, const char*, Status, bool> cases[] = {
        {Status::notRegistered, true, nullptr, Status::enabled, true},
        {Status::enabled, false, nullptr, Status::enabled, false},
        {Status::notRegistered, true, nullptr, Status::requiresApproval, false},
        {Status::notRegistered, true, "Operation not permitted {} %s", Status::enabled, false},
        {Status::enabled, false, "busy", Status::enabled, true},
        {Status::notFound, true, "gone", Status::enabled, false},
    };
    for (const auto& [initial, enable, error, after, enabled] : cases) {
        auto items = std::make_shared<ScriptedLoginItems>();
        items->current = initial;
        items->after = after;
        if (error) items->error = error;
        LaunchAtLoginToggle toggle(items);
        EXPECT_EQ(toggle.enabled(), initial == Status::enabled);
        LogCapture log("%n|%v");
        toggle.setLaunchAtLogin(enable);
        EXPECT_EQ(toggle.enabled(), enabled) << (error ? error : "");
        EXPECT_EQ(
            log.lines(),
            error ? std::vector<std::string>{std::string("app|Launch at login failed: ") + error}
                  : std::vector<std::string>{});
    }
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
