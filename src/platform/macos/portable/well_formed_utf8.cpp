#include "platform/macos/portable/well_formed_utf8.h"

#include <cstdint>

namespace panelora::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed sequence at `at`, or minus the length of its maximal ill-formed
// subpart (at least one byte). The ranges are those of Unicode's table of well-formed UTF-8.
int sequenceAt(std::string_view utf8, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(utf8[at + i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    int length = 0;
    uint8_t secondLow = 0x80, secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) secondLow = 0xA0;   // no overlong forms
        if (lead == 0xED) secondHigh = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) secondLow = 0x90;   // no overlong forms
        if (lead == 0xF4) secondHigh = 0x8F;  // nothing past U+10FFFF
    } else {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        if (at + i >= utf8.size()) return -i;
        const uint8_t low = i == 1 ? secondLow : 0x80;
        const uint8_t high = i == 1 ? secondHigh : 0xBF;
        if (byte(i) < low || byte(i) > high) return -i;
    }
    return length;
}

}  // namespace

std::string wellFormedUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t at = 0; at < utf8.size();) {
        const int length = sequenceAt(utf8, at);
        if (length > 0) {
            out.append(utf8.substr(at, static_cast<size_t>(length)));
            at += static_cast<size_t>(length);
        } else {
            out.append(kReplacement);
            at += static_cast<size_t>(-length);
        }
    }
    return out;
}

}  // namespace panelora::text
