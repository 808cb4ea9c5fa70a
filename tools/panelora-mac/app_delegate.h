// The application's delegate: builds the process at launch (unified log, user defaults, main
// queue, the other copies asked to quit, the macOS platform, the Controller and the menu bar
// item) and winds it down on every termination request (Quit, a newer copy, logout): the
// Controller is shut down and termination waits, on the main queue, until the session has ended
// and its virtual display is gone (at most a few seconds).
//
// Main thread only.
#pragma once

#import <AppKit/AppKit.h>

@interface PaneloraAppDelegate : NSObject <NSApplicationDelegate>
@end
