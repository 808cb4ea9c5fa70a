#include "tray_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QFont>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QStyle>
#include <QWidgetAction>
#include <algorithm>

#include "support/app_info.h"
#include "support/main_queue.h"

namespace panelora {
namespace {

QString qstr(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QAction* label(QMenu& menu, const std::string& text, bool caption) {
    QAction* action = menu.addAction(qstr(text));
    action->setEnabled(false);
    if (caption) {
        QFont font = menu.font();
        if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * 0.85);
        action->setFont(font);
    }
    return action;
}

// Where the style starts an item's text: past the frame and the check column.
int statusIndent(const QMenu& menu) {
    const QStyle* style = menu.style();
    int frame = style->pixelMetric(QStyle::PM_MenuPanelWidth, nullptr, &menu) +
                style->pixelMetric(QStyle::PM_MenuHMargin, nullptr, &menu);
    int check = std::max(style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, &menu),
                         style->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &menu));
    return std::max(8, check + 12 - frame);
}

}  // namespace

QIcon appIcon() {
    static const QIcon icon(QStringLiteral(":/panelora/icons/panelora.png"));
    return icon;
}

void fillMenu(QMenu& menu, const std::vector<MenuRow>& rows,
              std::function<void(MenuItem, std::optional<int64_t>)> activate) {
    menu.clear();
    // clear() deletes the actions, not the groups and shortcuts made with them last time.
    const QObjectList children = menu.children();  // a copy: deleting changes the list
    for (QObject* child : children) {
        if (qobject_cast<QActionGroup*>(child) || qobject_cast<QShortcut*>(child)) delete child;
    }
    for (const MenuRow& row : rows) {
        const MenuItem item = row.item;
        switch (row.kind) {
            case MenuRowKind::text: {
                // The status reads as text, not as a greyed-out command.
                auto* action = new QWidgetAction(&menu);
                auto* text = new QLabel(qstr(row.text));
                text->setContentsMargins(statusIndent(menu), 4, 12, 4);
                action->setDefaultWidget(text);
                menu.addAction(action);
                break;
            }
            case MenuRowKind::caption:
                label(menu, row.text, true);
                break;
            case MenuRowKind::separator:
                menu.addSeparator();
                break;
            case MenuRowKind::button: {
                QAction* action = menu.addAction(qstr(row.text));
                QObject::connect(action, &QAction::triggered, &menu,
                                 [activate, item] { activate(item, std::nullopt); });
                if (row.shortcut) {
                    // An action's own shortcut is never live in a menu that belongs to no
                    // menu bar (the tray's), so the open menu takes the keys itself; the text
                    // after the tab is shown in the shortcut column.
                    const QKeySequence keys(qstr(row.shortcut->text()));
                    action->setText(action->text() + '\t' +
                                    keys.toString(QKeySequence::NativeText));
                    auto* shortcut = new QShortcut(keys, &menu);
                    shortcut->setContext(Qt::WindowShortcut);
                    QObject::connect(shortcut, &QShortcut::activated, action, &QAction::trigger);
                }
                break;
            }
            case MenuRowKind::picker: {
                label(menu, row.text, true);
                auto* group = new QActionGroup(&menu);
                group->setExclusive(true);
                for (const MenuOption& option : row.options) {
                    QAction* action = menu.addAction(qstr(option.text));
                    action->setCheckable(true);
                    action->setChecked(row.selectedTag == option.tag);
                    group->addAction(action);
                    const int64_t tag = option.tag;
                    QObject::connect(action, &QAction::triggered, &menu,
                                     [activate, item, tag] { activate(item, tag); });
                }
                break;
            }
            case MenuRowKind::toggle: {
                QAction* action = menu.addAction(qstr(row.text));
                action->setCheckable(true);
                action->setChecked(row.checked);
                QObject::connect(action, &QAction::triggered, &menu,
                                 [activate, item](bool on) { activate(item, on ? 1 : 0); });
                break;
            }
        }
    }
}

Tray::Tray(std::shared_ptr<Controller> controller, Targets targets)
    : controller_(std::move(controller)), targets_(std::move(targets)) {
    icon_.setIcon(appIcon());
    icon_.setContextMenu(&menu_);
    // A left click shows the menu as well: the whole interface is this one menu.
    QObject::connect(&icon_, &QSystemTrayIcon::activated, &menu_,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) menu_.popup(QCursor::pos());
                     });
    observer_ = controller_->addObserver([this] { rebuild(); });
    rebuild();
}

Tray::~Tray() {
    controller_->removeObserver(observer_);
}

void Tray::show() {
    icon_.show();
}

void Tray::rebuild() {
    // The toggle is made afresh with the menu, so it shows what is on disk now.
    toggle_ = std::make_shared<LaunchAtLoginToggle>(targets_.loginItems);
    MenuState state = MenuState::of(*controller_, toggle_->enabled(), targets_.version);
    fillMenu(menu_, buildMenu(state),
             [this](MenuItem item, std::optional<int64_t> value) { activate(item, value); });
    icon_.setToolTip(qstr(std::string(kAppName) + " \u2014 " + state.status));
}

void Tray::activate(MenuItem item, std::optional<int64_t> value) {
    MenuTargets targets;
    targets.controller = controller_;
    targets.permissions = targets_.permissions;
    targets.launchAtLogin = toggle_;
    targets.checkForUpdates = targets_.checkForUpdates;
    targets.quit = targets_.quit;
    // Rebuilding clears the menu, and with it the action whose signal is running: never from
    // inside it.
    mainQueue()->post([targets, item, value] { performMenuAction(item, targets, value); });
    if (item == MenuItem::launchAtLogin) {
        std::weak_ptr<int> alive = alive_;
        mainQueue()->post([this, alive] {
            if (alive.lock()) rebuild();
        });
    }
}

}  // namespace panelora
