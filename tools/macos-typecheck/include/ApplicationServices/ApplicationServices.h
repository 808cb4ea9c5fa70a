// Declarations mirroring <ApplicationServices/ApplicationServices.h>: CoreGraphics and, from
// HIServices' <HIServices/AXUIElement.h>, the Accessibility trust test.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

extern "C" {

extern const CFStringRef kAXTrustedCheckOptionPrompt;
Boolean AXIsProcessTrusted(void);
Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options);

}  // extern "C"
