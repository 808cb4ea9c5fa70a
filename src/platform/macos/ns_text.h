// NSString from the core's UTF-8, for the Foundation and AppKit parameters that must not be nil
// (a nil activity reason makes NSProcessInfo throw): ill-formed bytes become U+FFFD and a null
// pointer the empty string, so the answer is never nil. Objective-C++ only.
#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

#include "platform/macos/portable/well_formed_utf8.h"

namespace panelora {

inline NSString* nsText(std::string_view utf8) {
    const std::string text = text::wellFormedUtf8(utf8);
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding]
               ?: @"";
}

inline NSString* nsText(const char* utf8) {
    return nsText(utf8 ? std::string_view(utf8) : std::string_view());
}

}  // namespace panelora
