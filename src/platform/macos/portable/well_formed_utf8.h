// Text for Foundation: NSString refuses ill-formed UTF-8 (stringWithUTF8String: answers nil, and
// a nil handed on where AppKit or NSProcessInfo want a string throws), so the macOS backends pass
// every C++ string through this first.
#pragma once

#include <string>
#include <string_view>

namespace panelora::text {

// `utf8` with each maximal ill-formed subpart (stray or missing continuation bytes, overlong
// forms, surrogates, code points past U+10FFFF) replaced by U+FFFD, as Unicode recommends.
std::string wellFormedUtf8(std::string_view utf8);

}  // namespace panelora::text
