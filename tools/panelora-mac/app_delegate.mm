#import "app_delegate.h"

#include <chrono>
#include <memory>

#include "app/controller.h"
#include "platform/macos/bundle/mac_platform.h"
#include "platform/macos/portable/settle.h"
#include "platform/macos/shell/dispatch_main_queue.h"
#include "platform/macos/shell/mac_permissions.h"
#include "platform/macos/shell/main_app_login_item.h"
#include "platform/macos/shell/ns_alert_presenter.h"
#include "platform/macos/shell/unified_log_sink.h"
#include "platform/macos/shell/url_session_fetcher.h"
#include "platform/macos/shell/user_defaults_backing.h"
#include "session/session.h"
#include "status_menu.h"
#include "support/log.h"
#include "support/main_queue.h"
#include "support/settings_store.h"
#include "update/update_checker.h"

namespace panelora {
namespace {

constexpr Duration kSettleTimeout = std::chrono::seconds(5);
constexpr Duration kSettlePoll = std::chrono::milliseconds(20);

// The polite request of the platform: each other running copy ends its session and quits.
void terminateOtherInstances() {
    NSString* identifier = [NSBundle mainBundle].bundleIdentifier;
    if (!identifier) return;
    const pid_t me = [NSProcessInfo processInfo].processIdentifier;
    for (NSRunningApplication* other in
         [NSRunningApplication runningApplicationsWithBundleIdentifier:identifier]) {
        if (other.processIdentifier != me) [other terminate];
    }
}

void openInBrowser(const std::string& url) {
    NSString* text = [NSString stringWithUTF8String:url.c_str()];
    NSURL* address = text ? [NSURL URLWithString:text] : nil;
    if (address) [[NSWorkspace sharedWorkspace] openURL:address];
}

// One check, and so one alert, at a time.
std::function<void()> updateCheck(std::shared_ptr<SerialQueue> main) {
    auto fetcher = std::make_shared<URLSessionFetcher>();
    auto alerts = std::make_shared<NSAlertPresenter>();
    auto checking = std::make_shared<bool>(false);
    return [fetcher, alerts, main, checking] {
        if (*checking) return;
        *checking = true;
        UpdateChecker::Environment environment;
        environment.fetcher = fetcher;
        environment.presenter = alerts;
        environment.openURL = &openInBrowser;
        environment.queue = main;
        UpdateChecker::checkForUpdates(environment, [checking] { *checking = false; });
    };
}

}  // namespace
}  // namespace panelora

@implementation PaneloraAppDelegate {
    std::shared_ptr<panelora::DispatchMainQueue> _main;
    std::unique_ptr<panelora::MacPlatform> _platform;
    std::shared_ptr<panelora::Controller> _controller;
    std::unique_ptr<panelora::StatusMenu> _menu;
    bool _quitting;
    bool _settled;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    (void)notification;
    using namespace panelora;
    log::setSystemSink(makeUnifiedLogSink());
    SettingsStore::setStandardBacking(std::make_shared<UserDefaultsBacking>());
    _main = std::make_shared<DispatchMainQueue>();
    setMainQueue(_main);

    terminateOtherInstances();

    _platform = MacPlatform::create();
    MacPlatform* platform = _platform.get();
    auto permissions = std::make_shared<MacPermissions>();
    SessionFactory sessions = sessionFactory([platform] { return platform->sessionEnvironment(); });
    std::shared_ptr<SerialQueue> main = _main;
    Controller::configureShared([permissions, sessions, main] {
        AppEnvironment environment;
        environment.permissions = permissions;
        environment.makeSession = sessions;
        environment.mainQueue = main;
        return environment;
    });
    _controller = Controller::shared();

    StatusMenu::Targets targets;
    targets.permissions = permissions;
    targets.loginItems = std::make_shared<MainAppLoginItem>();
    targets.checkForUpdates = updateCheck(main);
    // From the run loop, not inside the main-queue task that runs the menu's action: terminating
    // later runs a modal loop until the reply, and the settling it waits for runs on the queue.
    targets.quit = [] {
        CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopCommonModes, ^{
          [NSApp terminate:nil];
        });
        CFRunLoopWakeUp(CFRunLoopGetMain());
    };
    targets.version = UpdateChecker::currentVersion();
    _menu = std::make_unique<StatusMenu>(_controller, std::move(targets));

    _controller->start();
}

- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender {
    (void)sender;
    if (_settled || !_controller) return NSTerminateNow;
    if (_quitting) return NSTerminateLater;
    _quitting = true;
    _controller->shutdown();
    std::shared_ptr<panelora::Controller> controller = _controller;
    __weak PaneloraAppDelegate* weakSelf = self;
    panelora::waitUntilSettled(
        _main,
        // A session that ended on its own thread may still be in the last steps of its stop()
        // (the virtual display goes last) after the Controller let go of it.
        [controller] {
            return !controller->hasSession() && !controller->attemptInProgress() &&
                   panelora::Session::liveSessions() == 0;
        },
        panelora::kSettleTimeout, panelora::kSettlePoll,
        [weakSelf](bool settled) { [weakSelf finishTerminating:settled]; });
    return NSTerminateLater;
}

- (void)finishTerminating:(bool)settled {
    _settled = true;
    _menu.reset();
    // The backends go only when no session can use them any more; otherwise the process ends
    // with them in place.
    if (settled) _platform.reset();
    [NSApp replyToApplicationShouldTerminate:YES];
}

- (void)applicationWillTerminate:(NSNotification*)notification {
    (void)notification;
    if (_main) _main->close();
}

@end
