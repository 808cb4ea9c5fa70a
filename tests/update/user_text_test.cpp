#include "update/user_text.h"

#include <gtest/gtest.h>

#include <string>

namespace panelora {
namespace {

struct CountCase {
    const char* name;
    std::string text;
    std::size_t characters;
};

TEST(UserTextTest, CountsUserPerceivedCharacters) {
    const CountCase cases[] = {
        {"empty", "", 0},
        {"ascii", "abc", 3},
        {"e + acute", "e\u0301", 1},
        {"base + three marks", "a\u0301\u0302\u0323b", 2},
        {"marks from each block", "x\u1AB0\u1DC0\u20D0\uFE20", 1},
        {"CR LF", "\r\n", 1},
        {"LF CR", "\n\r", 2},
        {"control takes no mark", "\n\u0301", 2},
        {"leading mark alone", "\u0301a", 2},
        {"two flags", "\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2},
        {"flag and a lone indicator", "\U0001F1EB\U0001F1F7\U0001F1E9", 2},
        {"ZWJ family", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {"skin tone", "\U0001F44D\U0001F3FD", 1},
        {"variation selector", "\u2764\uFE0F", 1},
        {"ideographic variation selector", "\u845B\U000E0100", 1},
        {"tag sequence", "\U0001F3F4\U000E0067\U000E0062\U000E007F", 1},
        {"ZWJ at the end", "a\u200D", 1},
        {"ZWJ before a control", "a\u200D\n", 2},
        {"CJK", "\u65E5\u672C", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UserText::characterCount(c.text), c.characters) << c.name;
    }
}

TEST(UserTextTest, EachInvalidByteIsOneCharacter) {
    const CountCase cases[] = {
        {"stray bytes", "\xFF\xFE", 2},
        {"lone continuation",
         "a\x80"
         "b",
         3},
        {"truncated three-byte", "\xE2\x82", 2},
        {"truncated at the end after a base", "a\xCC", 2},
        {"overlong slash", "\xC0\xAF", 2},
        {"overlong three-byte", "\xE0\x80\xAF", 3},
        {"UTF-8 encoded surrogate", "\xED\xA0\x80", 3},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 4},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", 5},
        {"mark after invalid byte attaches", "\xFF\u0301", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UserText::characterCount(c.text), c.characters) << c.name;
    }
}

TEST(UserTextTest, PrefixNeverSplitsACharacter) {
    EXPECT_EQ(UserText::prefixOfCharacters("e\u0301xyz", 1), "e\u0301");
    EXPECT_EQ(UserText::prefixOfCharacters("\r\nab", 1), "\r\n");
    EXPECT_EQ(UserText::prefixOfCharacters("\U0001F468\u200D\U0001F469!", 1),
              "\U0001F468\u200D\U0001F469");
    EXPECT_EQ(UserText::prefixOfCharacters("abc", 0), "");
    EXPECT_EQ(UserText::prefixOfCharacters("abc", 10), "abc");
    EXPECT_EQ(UserText::prefixOfCharacters("\xE2\x82", 1), "\xE2");
}

TEST(UserTextTest, TrimsUnicodeWhiteSpaceAndLineBreaksAtBothEnds) {
    struct Case {
        std::string in, out;
    } const cases[] = {
        {"", ""},
        {"  a b \n", "a b"},
        {"\t\v\f\r\n x", "x"},
        {"\u00A0\u2028x\u2029\u3000", "x"},
        {"\u1680\u2000\u200A\u202F\u205F\u0085y", "y"},
        {" \n\u00A0 ", ""},
        {"\xFF ", "\xFF"},
        {" a\u0301 ", "a\u0301"},
        // Zero-width space is a format character, not white space.
        {"\u200B", "\u200B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UserText::trimmed(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace panelora
