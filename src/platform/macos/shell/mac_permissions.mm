#include "platform/macos/shell/mac_permissions.h"

#import <AppKit/AppKit.h>
#include <CoreGraphics/CoreGraphics.h>

namespace panelora {

bool MacPermissions::screenRecordingPreflight() {
    return CGPreflightScreenCaptureAccess();
}

bool MacPermissions::accessibilityTrusted(bool prompt) {
    // Posting events is what the permission is for; the request prompts only when it is absent.
    return prompt ? CGRequestPostEventAccess() : CGPreflightPostEventAccess();
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
