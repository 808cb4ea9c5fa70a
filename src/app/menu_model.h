// The menu as a pure model: the rows the menu shows for a given state of the Controller and the
// launch-at-login toggle, top to bottom, with hidden rows already left out. A shell (the tray,
// the headless mode) rebuilds its menu from buildMenu() whenever the Controller tells it of a
// change, and hands the user's choices to performMenuAction().
//
// Main queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/launch_at_login.h"
#include "app/permissions.h"

namespace panelora {

class Controller;

// Everything the menu shows.
struct MenuState {
    std::string status;
    std::string statsLine;
    bool canArrange = false;
    bool screenRecordingAllowed = true;
    bool accessibilityAllowed = true;
    PermissionTexts permissionTexts;  // the advice rows' words
    int64_t space = 0;
    bool preferSmooth = false;
    std::optional<bool> commandActsAsControl;  // nothing: not offered
    bool launchAtLogin = false;
    std::string version;  // "0" is shown when empty

    // The Controller's published fields, the toggle's state and the running version.
    static MenuState of(const Controller& controller, bool launchAtLogin, std::string version);
};

enum class MenuRowKind { text, caption, button, separator, picker, toggle };

// Which row it is; also what activating it does.
enum class MenuItem {
    status,
    statistics,
    screenRecordingHeadline,
    openScreenRecordingSettings,
    screenRecordingAdvice,
    accessibilityHeadline,
    openAccessibilitySettings,
    accessibilityAdvice,
    separator,
    moveLeft,
    moveRight,
    openDisplaySettings,
    spacePicker,
    qualityPicker,
    commandActsAsControl,
    launchAtLogin,
    checkForUpdates,
    version,
    quit,
};

struct MenuOption {
    std::string text;
    int64_t tag = 0;
    bool operator==(const MenuOption&) const = default;
};

// "Primary" is Command on macOS and Control elsewhere; text() is the portable spelling a
// toolkit's key-sequence parser takes ("Ctrl+Q" maps to Command-Q on macOS in Qt).
struct MenuShortcut {
    char key = 'q';
    bool primaryModifier = true;
    std::string text() const;
    bool operator==(const MenuShortcut&) const = default;
};

struct MenuRow {
    MenuRowKind kind = MenuRowKind::text;
    MenuItem item = MenuItem::status;
    std::string text;  // for pickers the label, empty for separators
    // Pickers: options in order, and the tag shown as selected (none when no option matches).
    // The quality picker's tags are 0 (Sharp, preferSmooth false) and 1 (Smooth).
    std::vector<MenuOption> options;
    std::optional<int64_t> selectedTag;
    bool checked = false;  // toggle
    std::optional<MenuShortcut> shortcut;

    bool isActionable() const {
        return kind == MenuRowKind::button || kind == MenuRowKind::picker ||
               kind == MenuRowKind::toggle;
    }
};

namespace Menu {

inline constexpr const char* moveLeftText = "Move Panelora to the Left";
inline constexpr const char* moveRightText = "Move Panelora to the Right";
inline constexpr const char* displaySettingsText = "Display Arrangement Settings\u2026";
inline constexpr const char* spaceLabel = "Screen space";
inline constexpr const char* qualityLabel = "Quality";
inline constexpr const char* commandActsAsControlText = "Command key acts as Ctrl";
inline constexpr const char* checkForUpdatesText = "Check for Updates\u2026";
inline constexpr const char* quitText = "Quit Panelora";

const std::vector<MenuOption>& spaceOptions();
const std::vector<MenuOption>& qualityOptions();

}  // namespace Menu

std::vector<MenuRow> buildMenu(const MenuState& state);

// What the menu's actions reach. `checkForUpdates` starts the check and returns at once;
// `quit` ends the application's run loop (the Controller is shut down before it is called).
// What a platform's menu (the tray, the menu bar item) is given besides the Controller.
struct MenuFrontEndTargets {
    std::shared_ptr<PermissionsBackend> permissions;
    std::shared_ptr<LoginItemBackend> loginItems;
    std::function<void()> checkForUpdates;
    std::function<void()> quit;
    std::string version;
};

struct MenuTargets {
    std::shared_ptr<Controller> controller;
    std::shared_ptr<PermissionsBackend> permissions;
    std::shared_ptr<LaunchAtLoginToggle> launchAtLogin;
    std::function<void()> checkForUpdates;
    std::function<void()> quit;

    static MenuTargets of(std::shared_ptr<Controller> controller, const MenuFrontEndTargets& front,
                          std::shared_ptr<LaunchAtLoginToggle> launchAtLogin) {
        return {std::move(controller), front.permissions, std::move(launchAtLogin),
                front.checkForUpdates, front.quit};
    }
};

// Applies a row's action. `value` is the chosen tag for a picker and 0 or 1 for the toggle;
// buttons ignore it. Rows without an action, and a picker or toggle without a value, do nothing.
void performMenuAction(MenuItem item, const MenuTargets& targets,
                       std::optional<int64_t> value = std::nullopt);

}  // namespace panelora
