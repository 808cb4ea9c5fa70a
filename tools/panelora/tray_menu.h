// The tray: a QSystemTrayIcon whose QMenu is rendered from the menu model (buildMenu) and rebuilt
// whenever the Controller tells of a change. Qt stays here; the core knows nothing of it.
//
// Main thread only.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/controller.h"
#include "app/menu_model.h"

namespace panelora {

// The program's icon, a tablet in landscape, from the embedded resources.
QIcon appIcon();

using MenuActivation = std::function<void(MenuItem, std::optional<int64_t>)>;

// Replaces the menu's contents with `rows`: the status as a plain disabled row, captions as
// disabled rows in a smaller font, buttons as actions, each picker as a disabled label followed
// by its options as checkable actions in one exclusive group, the toggle as a checkable action.
// `activate` receives the chosen row with the picked tag (pickers) or the new state (toggle).
// Returns each row's actions (a picker's label first, then its options).
std::vector<std::vector<QAction*>> fillMenu(QMenu& menu, const std::vector<MenuRow>& rows,
                                            MenuActivation activate);

// Keeps a menu showing the latest rows. When only texts and check marks changed (the statistics
// line every second), the actions are updated in place, so that an open menu keeps its hover and
// keyboard focus; any other change rebuilds the menu.
class MenuRenderer {
  public:
    MenuRenderer(QMenu& menu, MenuActivation activate)
        : menu_(menu), activate_(std::move(activate)) {}
    // True when the menu was rebuilt.
    bool render(const std::vector<MenuRow>& rows);

  private:
    QMenu& menu_;
    MenuActivation activate_;
    std::vector<MenuRow> shown_;
    std::vector<std::vector<QAction*>> actions_;
};

class Tray {
  public:
    using Targets = MenuFrontEndTargets;

    Tray(std::shared_ptr<Controller> controller, Targets targets);
    ~Tray();
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    void show();
    // Renders the menu from the Controller's current state.
    void rebuild();

  private:
    void activate(MenuItem item, std::optional<int64_t> value);
    void readLaunchAtLogin();

    std::shared_ptr<Controller> controller_;
    Targets targets_;
    std::shared_ptr<LaunchAtLoginToggle> toggle_;
    bool launchAtLogin_ = false;  // read when the menu opens and after the toggle is used
    QMenu menu_;
    MenuRenderer renderer_;
    QSystemTrayIcon icon_;
    Controller::ObserverToken observer_ = 0;
    // Tasks posted by the tray hold this weakly and do nothing once the tray is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace panelora
