#include "platform/macos/shell/ns_alert_presenter.h"

#import <AppKit/AppKit.h>

#include "platform/macos/ns_text.h"
#include "platform/macos/portable/appkit_values.h"

namespace panelora {
namespace {

static_assert(appkit::kAlertFirstButtonReturn == NSAlertFirstButtonReturn);

}  // namespace

void NSAlertPresenter::activateApplication() {
    if (@available(macOS 14, *)) {
        [NSApp activate];
    } else {
        [NSApp activateIgnoringOtherApps:YES];
    }
}

void NSAlertPresenter::present(const Alert& alert,
                               std::function<void(std::optional<std::size_t>)> done) {
    NSAlert* panel = [[NSAlert alloc] init];
    panel.messageText = nsText(alert.messageText);
    panel.informativeText = nsText(alert.informativeText);
    for (const std::string& button : alert.buttons)
        [panel addButtonWithTitle:nsText(button)];
    const size_t buttons = alert.buttons.size();
    // A modal loop inside a main-queue task would hold the main queue until it ends.
    CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopCommonModes, ^{
      const NSModalResponse response = [panel runModal];
      if (done) done(appkit::chosenButton(static_cast<long>(response), buttons));
    });
    CFRunLoopWakeUp(CFRunLoopGetMain());
}

}  // namespace panelora
