// Panelora.app: a menu bar application (accessory policy, no Dock icon, no main window) around
// the Controller. Everything else starts in PaneloraAppDelegate once the application has
// launched.
#import <AppKit/AppKit.h>

#import "app_delegate.h"

int main(int argc, const char* argv[]) {
    (void)argc;
    (void)argv;
    @autoreleasepool {
        NSApplication* application = [NSApplication sharedApplication];
        [application setActivationPolicy:NSApplicationActivationPolicyAccessory];
        // The application holds its delegate weakly; this one lives as long as the run loop.
        PaneloraAppDelegate* delegate = [[PaneloraAppDelegate alloc] init];
        application.delegate = delegate;
        [application run];
    }
    return 0;
}
