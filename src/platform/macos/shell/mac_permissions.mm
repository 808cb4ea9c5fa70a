#include "platform/macos/shell/mac_permissions.h"

#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>
#include <CoreGraphics/CoreGraphics.h>

namespace panelora {

bool MacPermissions::screenRecordingPreflight() {
    return CGPreflightScreenCaptureAccess();
}

bool MacPermissions::accessibilityTrusted(bool prompt) {
    if (!prompt) return AXIsProcessTrusted();
    NSDictionary* options = @{(__bridge NSString*)kAXTrustedCheckOptionPrompt : @YES};
    return AXIsProcessTrustedWithOptions((__bridge CFDictionaryRef)options);
}

void MacPermissions::requestScreenRecording() {
    CGRequestScreenCaptureAccess();
}

void MacPermissions::openURL(const std::string& url) {
    NSString* text = [NSString stringWithUTF8String:url.c_str()];
    NSURL* address = text ? [NSURL URLWithString:text] : nil;
    if (address) [[NSWorkspace sharedWorkspace] openURL:address];
}

}  // namespace panelora
