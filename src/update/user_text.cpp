#include "update/user_text.h"

#include <cstdint>

namespace panelora::UserText {
namespace {

constexpr char32_t invalid = 0xFFFFFFFF;

struct Decoded {
    char32_t codePoint;  // `invalid` for a byte outside any well-formed sequence
    std::size_t length;
};

// One code point at `at` (< text.size()), accepting only the well-formed sequences of
// Unicode's table 3-7; anything else is one invalid byte.
Decoded decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) -> uint8_t {
        return at + i < text.size() ? static_cast<uint8_t>(text[at + i]) : 0;
    };
    const auto continuation = [](uint8_t b, uint8_t lo = 0x80, uint8_t hi = 0xBF) {
        return b >= lo && b <= hi;
    };
    const uint8_t b0 = byte(0);
    if (b0 < 0x80) return {b0, 1};
    if (b0 >= 0xC2 && b0 <= 0xDF && continuation(byte(1))) {
        return {char32_t(b0 & 0x1F) << 6 | (byte(1) & 0x3F), 2};
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const uint8_t hi = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
        if (continuation(byte(1), lo, hi) && continuation(byte(2))) {
            return {char32_t(b0 & 0x0F) << 12 | char32_t(byte(1) & 0x3F) << 6 | (byte(2) & 0x3F),
                    3};
        }
        return {invalid, 1};
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80;
        const uint8_t hi = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
        if (continuation(byte(1), lo, hi) && continuation(byte(2)) && continuation(byte(3))) {
            return {char32_t(b0 & 0x07) << 18 | char32_t(byte(1) & 0x3F) << 12 |
                        char32_t(byte(2) & 0x3F) << 6 | (byte(3) & 0x3F),
                    4};
        }
    }
    return {invalid, 1};
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

bool isRegionalIndicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

constexpr char32_t zeroWidthJoiner = 0x200D;

// Code points that never start a character of their own (ZWJ is handled apart).
bool isExtender(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
           (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xE0100 && c <= 0xE01EF) || (c >= 0x1F3FB && c <= 0x1F3FF) ||
           (c >= 0xE0020 && c <= 0xE007F) || c == 0x200C;
}

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// End of the character that starts at `at` (< text.size()).
std::size_t characterEnd(std::string_view text, std::size_t at) {
    const Decoded first = decode(text, at);
    std::size_t end = at + first.length;
    if (first.codePoint == U'\r') return end < text.size() && text[end] == '\n' ? end + 1 : end;
    if (first.codePoint != invalid && isControl(first.codePoint)) return end;

    bool flagOpen = isRegionalIndicator(first.codePoint);
    while (end < text.size()) {
        const Decoded next = decode(text, end);
        if (next.codePoint == invalid) break;
        if (flagOpen && isRegionalIndicator(next.codePoint)) {
            end += next.length;
            flagOpen = false;
            continue;
        }
        flagOpen = false;
        if (next.codePoint == zeroWidthJoiner) {
            end += next.length;
            if (end < text.size()) {
                const Decoded joined = decode(text, end);
                if (joined.codePoint != invalid && !isControl(joined.codePoint)) {
                    end += joined.length;
                }
            }
            continue;
        }
        if (!isExtender(next.codePoint)) break;
        end += next.length;
    }
    return end;
}

}  // namespace

std::string_view prefixOfCharacters(std::string_view utf8, std::size_t maxCharacters) {
    std::size_t end = 0;
    for (std::size_t count = 0; count < maxCharacters && end < utf8.size(); ++count) {
        end = characterEnd(utf8, end);
    }
    return utf8.substr(0, end);
}

std::size_t characterCount(std::string_view utf8) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < utf8.size(); at = characterEnd(utf8, at))
        ++count;
    return count;
}

std::string_view trimmed(std::string_view utf8) {
    std::size_t first = utf8.size();
    std::size_t last = 0;  // end of the last code point that is not white space
    for (std::size_t at = 0; at < utf8.size();) {
        const Decoded d = decode(utf8, at);
        if (d.codePoint == invalid || !isWhiteSpace(d.codePoint)) {
            if (first == utf8.size()) first = at;
            last = at + d.length;
        }
        at += d.length;
    }
    if (first == utf8.size()) return utf8.substr(0, 0);
    return utf8.substr(first, last - first);
}

}  // namespace panelora::UserText
