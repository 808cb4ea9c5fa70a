// Declarations mirroring <AppKit/AppKit.h>, as much as Panelora.app and the macOS backends use;
// each group names the AppKit header it mirrors.
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

// <Foundation/NSGeometry.h>, as AppKit uses it
typedef CGPoint NSPoint;
typedef CGSize NSSize;
typedef CGRect NSRect;

@class NSMenu, NSMenuItem, NSGraphicsContext, NSStatusItem;

// <AppKit/NSResponder.h>, <AppKit/NSView.h>, <AppKit/NSControl.h>, <AppKit/NSButton.h>
@interface NSResponder : NSObject
@end
@interface NSView : NSResponder
@property(nullable, copy) NSString* toolTip;
@end
@interface NSControl : NSView
@end
@class NSImage;
@interface NSButton : NSControl
@property(copy) NSString* title;
@property(nullable, strong) NSImage* image;
@end

// <AppKit/NSStatusBarButton.h>
@interface NSStatusBarButton : NSButton
@end

// <AppKit/NSCell.h>
typedef NSInteger NSControlStateValue;
static const NSControlStateValue NSControlStateValueOff = 0;
static const NSControlStateValue NSControlStateValueOn = 1;

// <AppKit/NSEvent.h>
typedef NS_OPTIONS(NSUInteger, NSEventModifierFlags) {
    NSEventModifierFlagCapsLock = 1 << 16,
    NSEventModifierFlagShift = 1 << 17,
    NSEventModifierFlagControl = 1 << 18,
    NSEventModifierFlagOption = 1 << 19,
    NSEventModifierFlagCommand = 1 << 20,
};

// <AppKit/NSFont.h>
@interface NSFont : NSObject <NSCopying>
+ (nullable NSFont*)menuFontOfSize:(CGFloat)fontSize;
@property(class, readonly) CGFloat smallSystemFontSize;
@end

// <AppKit/NSAttributedString.h>
extern "C" NSAttributedStringKey const NSFontAttributeName;

// <AppKit/NSImage.h>
typedef NSString* NSImageHintKey NS_TYPED_ENUM;
@interface NSImage : NSObject <NSCopying>
+ (nullable instancetype)imageWithSystemSymbolName:(NSString*)name
                          accessibilityDescription:(nullable NSString*)description
    API_AVAILABLE(macos(11.0));
@property NSSize size;
// A property named "template" in the SDK, which Objective-C++ can only reach by its methods.
- (void)setTemplate:(BOOL)isTemplate;
- (BOOL)isTemplate;
- (nullable CGImageRef)CGImageForProposedRect:(nullable NSRect*)proposedDestRect
                                      context:(nullable NSGraphicsContext*)referenceContext
                                        hints:(nullable NSDictionary<NSImageHintKey, id>*)hints;
@end

// <AppKit/NSImageRep.h>, <AppKit/NSBitmapImageRep.h>
@interface NSImageRep : NSObject <NSCopying>
@end
typedef NS_ENUM(NSUInteger, NSBitmapImageFileType) {
    NSBitmapImageFileTypeTIFF,
    NSBitmapImageFileTypeBMP,
    NSBitmapImageFileTypeGIF,
    NSBitmapImageFileTypeJPEG,
    NSBitmapImageFileTypePNG,
    NSBitmapImageFileTypeJPEG2000,
};
typedef NSString* NSBitmapImageRepPropertyKey NS_TYPED_ENUM;
@interface NSBitmapImageRep : NSImageRep
- (instancetype)initWithCGImage:(CGImageRef)cgImage;
- (nullable NSData*)representationUsingType:(NSBitmapImageFileType)storageType
                                 properties:
                                     (NSDictionary<NSBitmapImageRepPropertyKey, id>*)properties;
@end

// <AppKit/NSCursor.h>
@interface NSCursor : NSObject
@property(class, readonly, strong) NSCursor* arrowCursor;
+ (nullable NSCursor*)currentSystemCursor
    __attribute__((deprecated("documented to return nil in a future macOS")));
@property(readonly, strong) NSImage* image;
@property(readonly) NSPoint hotSpot;
@end

// <AppKit/NSMenu.h>
@protocol NSMenuDelegate <NSObject>
@optional
- (void)menuNeedsUpdate:(NSMenu*)menu;
@end

@interface NSMenu : NSObject <NSCopying>
@property BOOL autoenablesItems;
@property(nullable, weak) id<NSMenuDelegate> delegate;
- (void)addItem:(NSMenuItem*)newItem;
- (void)removeAllItems;
- (nullable NSMenuItem*)itemAtIndex:(NSInteger)index;
@end

// <AppKit/NSMenuItem.h>
@interface NSMenuItem : NSObject <NSCopying>
+ (NSMenuItem*)separatorItem;
- (instancetype)initWithTitle:(NSString*)string
                       action:(nullable SEL)selector
                keyEquivalent:(NSString*)charCode;
@property(copy) NSString* title;
@property(nullable, copy) NSAttributedString* attributedTitle;
@property(getter=isEnabled) BOOL enabled;
@property NSControlStateValue state;
@property NSInteger indentationLevel;
@property(copy) NSString* keyEquivalent;
@property NSEventModifierFlags keyEquivalentModifierMask;
@property NSInteger tag;
@property(nullable, weak) id target;
@property(nullable) SEL action;
@end

// <AppKit/NSStatusBar.h>, <AppKit/NSStatusItem.h>
static const CGFloat NSVariableStatusItemLength = -1;
@interface NSStatusBar : NSObject
@property(class, readonly, strong) NSStatusBar* systemStatusBar;
- (NSStatusItem*)statusItemWithLength:(CGFloat)length;
- (void)removeStatusItem:(NSStatusItem*)item;
@end
@interface NSStatusItem : NSObject
@property(nullable, readonly, strong) NSStatusBarButton* button;
@property(nullable, strong) NSMenu* menu;
@end

// <AppKit/NSApplication.h>
typedef NSInteger NSModalResponse;
typedef NS_ENUM(NSInteger, NSApplicationActivationPolicy) {
    NSApplicationActivationPolicyRegular,
    NSApplicationActivationPolicyAccessory,
    NSApplicationActivationPolicyProhibited,
};
typedef NS_ENUM(NSUInteger, NSApplicationTerminateReply) {
    NSTerminateCancel = 0,
    NSTerminateNow = 1,
    NSTerminateLater = 2,
};

@class NSApplication;
@protocol NSApplicationDelegate <NSObject>
@optional
- (void)applicationDidFinishLaunching:(NSNotification*)notification;
- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender;
- (void)applicationWillTerminate:(NSNotification*)notification;
@end

@interface NSApplication : NSResponder
@property(class, readonly, strong) __kindof NSApplication* sharedApplication;
@property(nullable, weak) id<NSApplicationDelegate> delegate;
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
- (void)run;
- (void)terminate:(nullable id)sender;
- (void)replyToApplicationShouldTerminate:(BOOL)shouldTerminate;
- (void)activate API_AVAILABLE(macos(14.0));
- (void)activateIgnoringOtherApps:(BOOL)flag API_DEPRECATED("Use -activate", macos(10.0, 14.0));
@end

extern "C" __kindof NSApplication* _Null_unspecified NSApp;

// <AppKit/NSRunningApplication.h>
@interface NSRunningApplication : NSObject
+ (NSArray<NSRunningApplication*>*)runningApplicationsWithBundleIdentifier:
    (NSString*)bundleIdentifier;
@property(readonly) pid_t processIdentifier;
- (BOOL)terminate;
@end

// <AppKit/NSWorkspace.h>
@interface NSWorkspace : NSObject
@property(class, readonly, strong) NSWorkspace* sharedWorkspace;
- (BOOL)openURL:(NSURL*)url;
@end

// <AppKit/NSAlert.h>
static const NSModalResponse NSAlertFirstButtonReturn = 1000;
static const NSModalResponse NSAlertSecondButtonReturn = 1001;
@interface NSAlert : NSObject
@property(copy) NSString* messageText;
@property(copy) NSString* informativeText;
- (NSButton*)addButtonWithTitle:(NSString*)title;
- (NSModalResponse)runModal;
@end

NS_ASSUME_NONNULL_END
