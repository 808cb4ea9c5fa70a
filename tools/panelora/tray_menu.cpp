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

std::vector<std::vector<QAction*>> fillMenu(QMenu& menu, const std::vector<MenuRow>& rows,
                                            MenuActivation activate) {
    std::vector<std::vector<QAction*>> made;
    menu.clear();
    // clear() deletes the actions, not the groups and shortcuts made with them last time.
    const QObjectList children = menu.children();  // a copy: deleting changes the list
    for (QObject* child : children) {
        if (qobject_cast<QActionGroup*>(child) || qobject_cast<QShortcut*>(child)) delete child;
    }
    for (const MenuRow& row : rows) {
        const MenuItem item = row.item;
        std::vector<QAction*>& actions = made.emplace_back();
        switch (row.kind) {
            case MenuRowKind::text: {
                // The status reads as text, not as a greyed-out command.
                auto* action = new QWidgetAction(&menu);
                auto* text = new QLabel(qstr(row.text));
                text->setContentsMargins(statusIndent(menu), 4, 12, 4);
                action->setDefaultWidget(text);
                menu.addAction(action);
                actions.push_back(action);
                break;
            }
            case MenuRowKind::caption:
                actions.push_back(label(menu, row.text, true));
                break;
            case MenuRowKind::separator:
                actions.push_back(menu.addSeparator());
                break;
            case MenuRowKind::button: {
                QAction* action = menu.addAction(qstr(row.text));
                actions.push_back(action);
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
                actions.push_back(label(menu, row.text, true));
                auto* group = new QActionGroup(&menu);
                group->setExclusive(true);
                for (const MenuOption& option : row.options) {
                    QAction* action = menu.addAction(qstr(option.text));
                    actions.push_back(action);
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
                actions.push_back(action);
                action->setCheckable(true);
                action->setChecked(row.checked);
                QObject::connect(action, &QAction::triggered, &menu,
                                 [activate, item](bool on) { activate(item, on ? 1 : 0); });
                break;
            }
        }
    }
    return made;
}

namespace {

// The same rows, actions and options: only texts and check marks may differ.
bool sameShape(const std::vector<MenuRow>& a, const std::vector<MenuRow>& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const MenuRow& x, const MenuRow& y) {
            return x.kind == y.kind && x.item == y.item && x.options == y.options &&
                   x.shortcut == y.shortcut && (x.kind != MenuRowKind::button || x.text == y.text);
        });
}

}  // namespace

bool MenuRenderer::render(const std::vector<MenuRow>& rows) {
    if (shown_.empty() || !sameShape(shown_, rows)) {
        actions_ = fillMenu(menu_, rows, activate_);
        shown_ = rows;
        return true;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const MenuRow& row = rows[i];
        const std::vector<QAction*>& actions = actions_[i];
        switch (row.kind) {
            case MenuRowKind::text:
                if (row.text != shown_[i].text) {
                    auto* widget = static_cast<QWidgetAction*>(actions[0])->defaultWidget();
                    static_cast<QLabel*>(widget)->setText(qstr(row.text));
                }
                break;
            case MenuRowKind::caption:
                if (row.text != shown_[i].text) actions[0]->setText(qstr(row.text));
                break;
            case MenuRowKind::picker:
                for (size_t k = 0; k < row.options.size(); ++k)
                    actions[k + 1]->setChecked(row.selectedTag == row.options[k].tag);
                break;
            case MenuRowKind::toggle:
                actions[0]->setChecked(row.checked);
                break;
            case MenuRowKind::button:
            case MenuRowKind::separator:
                break;
        }
    }
    shown_ = rows;
    return false;
}

Tray::Tray(std::shared_ptr<Controller> controller, Targets targets)
    : controller_(std::move(controller)),
      targets_(std::move(targets)),
      renderer_(menu_,
                [this](MenuItem item, std::optional<int64_t> value) { activate(item, value); }) {
    icon_.setIcon(appIcon());
    icon_.setContextMenu(&menu_);
    // The autostart entry can change behind our back only while the menu is closed.
    QObject::connect(&menu_, &QMenu::aboutToShow, &menu_, [this] { readLaunchAtLogin(); });
    // A left click shows the menu as well: the whole interface is this one menu.
    QObject::connect(&icon_, &QSystemTrayIcon::activated, &menu_,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) menu_.popup(QCursor::pos());
                     });
    observer_ = controller_->addObserver([this] { rebuild(); });
    readLaunchAtLogin();
}

Tray::~Tray() {
    controller_->removeObserver(observer_);
}

void Tray::show() {
    icon_.show();
}

void Tray::readLaunchAtLogin() {
    toggle_ = std::make_shared<LaunchAtLoginToggle>(targets_.loginItems);  // reads the status
    launchAtLogin_ = toggle_->enabled();
    rebuild();
}

void Tray::rebuild() {
    MenuState state = MenuState::of(*controller_, launchAtLogin_, targets_.version);
    renderer_.render(buildMenu(state));
    icon_.setToolTip(qstr(std::string(kAppName) + " \u2014 " + state.status));
}

void Tray::activate(MenuItem item, std::optional<int64_t> value) {
    const MenuTargets targets = MenuTargets::of(controller_, targets_, toggle_);
    // Rebuilding clears the menu, and with it the action whose signal is running: never from
    // inside it.
    mainQueue()->post([targets, item, value] { performMenuAction(item, targets, value); });
    if (item == MenuItem::launchAtLogin) {
        std::weak_ptr<int> alive = alive_;
        mainQueue()->post([this, alive] {
            if (alive.lock()) readLaunchAtLogin();
        });
    }
}

}  // namespace panelora
