#include "app/menu_model.h"

#include <algorithm>
#include <cctype>

#include "app/controller.h"

namespace panelora {

MenuState MenuState::of(const Controller& controller, bool launchAtLogin, std::string version) {
    MenuState state;
    state.status = controller.status();
    state.statsLine = controller.statsLine();
    state.canArrange = controller.canArrange();
    state.screenRecordingAllowed = controller.screenRecordingAllowed();
    state.accessibilityAllowed = controller.accessibilityAllowed();
    state.permissionTexts = controller.permissionTexts();
    state.space = controller.space();
    state.preferSmooth = controller.preferSmooth();
    state.commandActsAsControl = controller.commandActsAsControl();
    state.launchAtLogin = launchAtLogin;
    state.version = std::move(version);
    return state;
}

std::string MenuShortcut::text() const {
    std::string keyText(1, static_cast<char>(std::toupper(static_cast<unsigned char>(key))));
    return primaryModifier ? "Ctrl+" + keyText : keyText;
}

namespace Menu {

const std::vector<MenuOption>& spaceOptions() {
    static const std::vector<MenuOption> options{
        {"Auto", 0},
        {"Comfortable: tablet-sized, largest text", 100},
        {"Roomy: 25% more space", 125},
        {"Spacious: 50% more space, smallest text", 150},
    };
    return options;
}

const std::vector<MenuOption>& qualityOptions() {
    static const std::vector<MenuOption> options{
        {"Sharp: native resolution, 60 fps", 0},
        {"Smooth: up to 120 fps", 1},
    };
    return options;
}

}  // namespace Menu

namespace {

MenuRow row(MenuRowKind kind, MenuItem item, std::string text = {}) {
    MenuRow r;
    r.kind = kind;
    r.item = item;
    r.text = std::move(text);
    return r;
}

MenuRow separator() {
    return row(MenuRowKind::separator, MenuItem::separator);
}

MenuRow picker(MenuItem item, const char* label, const std::vector<MenuOption>& options,
               int64_t value) {
    MenuRow r = row(MenuRowKind::picker, item, label);
    r.options = options;
    bool matches = std::any_of(options.begin(), options.end(),
                               [value](const MenuOption& o) { return o.tag == value; });
    if (matches) r.selectedTag = value;
    return r;
}

void addAdvice(std::vector<MenuRow>& rows, const AdviceText& advice, MenuItem headline,
               MenuItem button, MenuItem followUp) {
    rows.push_back(row(MenuRowKind::caption, headline, advice.headline));
    rows.push_back(row(MenuRowKind::button, button, advice.button));
    rows.push_back(row(MenuRowKind::caption, followUp, advice.followUp));
}

}  // namespace

std::vector<MenuRow> buildMenu(const MenuState& state) {
    std::vector<MenuRow> rows;
    rows.push_back(row(MenuRowKind::text, MenuItem::status, state.status));
    if (!state.statsLine.empty()) {
        rows.push_back(row(MenuRowKind::caption, MenuItem::statistics, state.statsLine));
    }
    if (!state.screenRecordingAllowed) {
        addAdvice(rows, state.permissionTexts.screenRecording, MenuItem::screenRecordingHeadline,
                  MenuItem::openScreenRecordingSettings, MenuItem::screenRecordingAdvice);
    }
    if (!state.accessibilityAllowed) {
        addAdvice(rows, state.permissionTexts.accessibility, MenuItem::accessibilityHeadline,
                  MenuItem::openAccessibilitySettings, MenuItem::accessibilityAdvice);
    }

    rows.push_back(separator());
    if (state.canArrange) {
        rows.push_back(row(MenuRowKind::button, MenuItem::moveLeft, Menu::moveLeftText));
        rows.push_back(row(MenuRowKind::button, MenuItem::moveRight, Menu::moveRightText));
    }
    rows.push_back(
        row(MenuRowKind::button, MenuItem::openDisplaySettings, Menu::displaySettingsText));

    rows.push_back(separator());
    rows.push_back(
        picker(MenuItem::spacePicker, Menu::spaceLabel, Menu::spaceOptions(), state.space));
    rows.push_back(picker(MenuItem::qualityPicker, Menu::qualityLabel, Menu::qualityOptions(),
                          state.preferSmooth ? 1 : 0));
    if (state.commandActsAsControl) {
        MenuRow command = row(MenuRowKind::toggle, MenuItem::commandActsAsControl,
                              Menu::commandActsAsControlText);
        command.checked = *state.commandActsAsControl;
        rows.push_back(std::move(command));
    }
    MenuRow toggle = row(MenuRowKind::toggle, MenuItem::launchAtLogin, LaunchAtLoginToggle::label);
    toggle.checked = state.launchAtLogin;
    rows.push_back(std::move(toggle));

    rows.push_back(separator());
    rows.push_back(row(MenuRowKind::button, MenuItem::checkForUpdates, Menu::checkForUpdatesText));
    rows.push_back(row(MenuRowKind::caption, MenuItem::version,
                       "Version " + (state.version.empty() ? std::string("0") : state.version)));
    MenuRow quit = row(MenuRowKind::button, MenuItem::quit, Menu::quitText);
    quit.shortcut = MenuShortcut{};
    rows.push_back(std::move(quit));
    return rows;
}

void performMenuAction(MenuItem item, const MenuTargets& targets, std::optional<int64_t> value) {
    switch (item) {
        case MenuItem::openScreenRecordingSettings:
            if (targets.permissions) openScreenRecordingSettings(*targets.permissions);
            break;
        case MenuItem::openAccessibilitySettings:
            if (targets.permissions) openAccessibilitySettings(*targets.permissions);
            break;
        case MenuItem::openDisplaySettings:
            if (targets.permissions) openDisplaySettings(*targets.permissions);
            break;
        case MenuItem::moveLeft:
            if (targets.controller) targets.controller->move(DisplayArrangement::Side::left);
            break;
        case MenuItem::moveRight:
            if (targets.controller) targets.controller->move(DisplayArrangement::Side::right);
            break;
        case MenuItem::spacePicker:
            if (targets.controller && value) targets.controller->setSpace(*value);
            break;
        case MenuItem::qualityPicker:
            if (targets.controller && value) targets.controller->setPreferSmooth(*value != 0);
            break;
        case MenuItem::commandActsAsControl:
            if (targets.controller && value)
                targets.controller->setCommandActsAsControl(*value != 0);
            break;
        case MenuItem::launchAtLogin:
            if (targets.launchAtLogin && value)
                targets.launchAtLogin->setLaunchAtLogin(*value != 0);
            break;
        case MenuItem::checkForUpdates:
            if (targets.checkForUpdates) targets.checkForUpdates();
            break;
        case MenuItem::quit:
            if (targets.controller) targets.controller->shutdown();
            if (targets.quit) targets.quit();
            break;
        case MenuItem::status:
        case MenuItem::statistics:
        case MenuItem::screenRecordingHeadline:
        case MenuItem::screenRecordingAdvice:
        case MenuItem::accessibilityHeadline:
        case MenuItem::accessibilityAdvice:
        case MenuItem::separator:
        case MenuItem::version:
            break;
    }
}

}  // namespace panelora
