#include "status_menu.h"

#import <AppKit/AppKit.h>

#include <vector>

#include "app/menu_model.h"
#include "platform/macos/ns_text.h"
#include "platform/macos/portable/menu_plan.h"
#include "support/app_info.h"
#include "support/main_queue.h"

using panelora::MenuEntry;

@interface PaneloraStatusMenu : NSObject <NSMenuDelegate>
- (instancetype)initWithController:(std::shared_ptr<panelora::Controller>)controller
                           targets:(panelora::StatusMenu::Targets)targets;
- (void)refresh;
- (void)remove;
@end

@implementation PaneloraStatusMenu {
    std::shared_ptr<panelora::Controller> _controller;
    panelora::StatusMenu::Targets _targets;
    std::shared_ptr<panelora::LaunchAtLoginToggle> _toggle;
    panelora::Controller::ObserverToken _observer;
    std::vector<MenuEntry> _shown;
    NSStatusItem* _item;
    NSMenu* _menu;
}

- (instancetype)initWithController:(std::shared_ptr<panelora::Controller>)controller
                           targets:(panelora::StatusMenu::Targets)targets {
    if (!(self = [super init])) return nil;
    _controller = std::move(controller);
    _targets = std::move(targets);
    _toggle = std::make_shared<panelora::LaunchAtLoginToggle>(_targets.loginItems);

    _item = [[NSStatusBar systemStatusBar] statusItemWithLength:NSVariableStatusItemLength];
    NSImage* icon = [NSImage imageWithSystemSymbolName:@"ipad.landscape"
                              accessibilityDescription:@(panelora::kAppName)];
    if (icon) {
        [icon setTemplate:YES];
        _item.button.image = icon;
    } else {
        _item.button.title = @(panelora::kAppName);
    }
    _menu = [[NSMenu alloc] init];
    _menu.autoenablesItems = NO;
    _menu.delegate = self;
    _item.menu = _menu;

    __weak PaneloraStatusMenu* weakSelf = self;
    _observer = _controller->addObserver([weakSelf] { [weakSelf refresh]; });
    [self refresh];
    return self;
}

- (void)remove {
    if (_observer) _controller->removeObserver(_observer);
    _observer = 0;
    _menu.delegate = nil;
    [[NSStatusBar systemStatusBar] removeStatusItem:_item];
}

// Before the menu opens: the launch-at-login state as the system holds it now.
- (void)menuNeedsUpdate:(NSMenu*)menu {
    (void)menu;
    _toggle = std::make_shared<panelora::LaunchAtLoginToggle>(_targets.loginItems);
    [self refresh];
}

- (void)refresh {
    const panelora::MenuState state =
        panelora::MenuState::of(*_controller, _toggle->enabled(), _targets.version);
    std::vector<MenuEntry> plan = panelora::planMenu(panelora::buildMenu(state));
    if (panelora::canUpdateInPlace(_shown, plan)) {
        for (size_t i = 0; i < plan.size(); ++i) {
            if (plan[i] != _shown[i]) [self show:plan[i] at:i in:[_menu itemAtIndex:(NSInteger)i]];
        }
    } else {
        [_menu removeAllItems];
        for (size_t i = 0; i < plan.size(); ++i) {
            if (plan[i].kind == MenuEntry::Kind::separator) {
                [_menu addItem:[NSMenuItem separatorItem]];
                continue;
            }
            NSMenuItem* item = [[NSMenuItem alloc] initWithTitle:@"" action:nil keyEquivalent:@""];
            [self show:plan[i] at:i in:item];
            [_menu addItem:item];
        }
    }
    _shown = std::move(plan);
    _item.button.toolTip =
        panelora::nsText(std::string(panelora::kAppName) + " \u2014 " + state.status);
}

- (void)show:(const MenuEntry&)entry at:(size_t)index in:(NSMenuItem*)item {
    if (entry.kind == MenuEntry::Kind::separator) return;
    NSString* title = panelora::nsText(entry.title);
    if (entry.style == MenuEntry::Style::caption) {
        NSFont* font = [NSFont menuFontOfSize:[NSFont smallSystemFontSize]];
        item.attributedTitle =
            [[NSAttributedString alloc] initWithString:title
                                            attributes:@{NSFontAttributeName : font}];
    } else {
        item.attributedTitle = nil;
        item.title = title;
    }
    item.enabled = entry.enabled;
    item.state = entry.checked ? NSControlStateValueOn : NSControlStateValueOff;
    item.indentationLevel = entry.indentation;
    item.keyEquivalent = panelora::nsText(entry.keyEquivalent);
    item.keyEquivalentModifierMask = entry.commandModifier ? NSEventModifierFlagCommand : 0;
    item.tag = static_cast<NSInteger>(index);
    item.target = entry.enabled ? self : nil;
    item.action = entry.enabled ? @selector(choose:) : nil;
}

- (void)choose:(NSMenuItem*)sender {
    const auto index = static_cast<size_t>(sender.tag);
    if (index >= _shown.size()) return;
    const MenuEntry& entry = _shown[index];
    const panelora::MenuTargets targets = panelora::MenuTargets::of(_controller, _targets, _toggle);
    const panelora::MenuItem item = entry.item;
    const std::optional<int64_t> value = panelora::choiceValue(entry);
    // After the menu has finished tracking: an alert or a rebuild from inside its action would
    // run within the menu's own event loop.
    __weak PaneloraStatusMenu* weakSelf = self;
    panelora::mainQueue()->post([targets, item, value, weakSelf] {
        panelora::performMenuAction(item, targets, value);
        if (item == panelora::MenuItem::launchAtLogin) [weakSelf refresh];
    });
}

@end

namespace panelora {

struct StatusMenu::Impl {
    PaneloraStatusMenu* menu;
};

StatusMenu::StatusMenu(std::shared_ptr<Controller> controller, Targets targets)
    : impl_(std::make_unique<Impl>()) {
    impl_->menu = [[PaneloraStatusMenu alloc] initWithController:std::move(controller)
                                                         targets:std::move(targets)];
}

StatusMenu::~StatusMenu() {
    [impl_->menu remove];
}

}  // namespace panelora
