// Byte layouts written as hex pairs: hex("05 00000007 0AAC").
#pragma once

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace panelora::test {

// White space is ignored; anything else but hex digits, or an odd digit, throws.
inline std::vector<uint8_t> hex(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw std::invalid_argument("not a hex digit in \"" + std::string(text) + "\"");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        throw std::invalid_argument("odd hex digit in \"" + std::string(text) + "\"");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The pieces one after another.
inline std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> pieces) {
    std::vector<uint8_t> bytes;
    for (const auto& piece : pieces)
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    return bytes;
}

// The text's bytes.
inline std::vector<uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// `size` bytes that repeat only every 256 KiB, different for each seed: a transfer that loses,
// repeats or reorders a piece does not compare equal.
inline std::vector<uint8_t> pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 10));
    return bytes;
}

}  // namespace panelora::test
