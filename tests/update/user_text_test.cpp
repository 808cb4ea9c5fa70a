#include "update/user_text.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

// Marks attach to their base (not to a control or at the start); CR LF is one; flags pair their
// regional indicators; ZWJ sequences, skin tones, variation selectors and tag sequences are one;
// each invalid byte is one, and a mark after it attaches.
TEST(UserTextTest, CountsUserPerceivedCharacters) {
    // clang-format off
    const std::pair<std::string, size_t> cases[] = {
        {"", 0}, {"abc", 3}, {"e\u0301", 1}, {"a\u0301\u0302\u0323b", 2},
        {"x\u1AB0\u1DC0\u20D0\uFE20", 1}, {"\r\n", 1}, {"\n\r", 2}, {"\n\u0301", 2}, {"\u0301a", 2},
        {"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2}, {"\U0001F1EB\U0001F1F7\U0001F1E9", 2},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1}, {"\U0001F44D\U0001F3FD", 1},
        {"\u2764\uFE0F", 1}, {"\u845B\U000E0100", 1},
        {"\U0001F3F4\U000E0067\U000E0062\U000E007F", 1}, {"a\u200D", 1}, {"a\u200D\n", 2},
        {"\u65E5\u672C", 2}, {"\xFF\xFE", 2}, {"a\x80z", 3}, {"\xE2\x82", 2}, {"a\xCC", 2},
        {"\xC0\xAF", 2}, {"\xE0\x80\xAF", 3}, {"\xED\xA0\x80", 3}, {"\xF4\x90\x80\x80", 4},
        {"\xF8\x88\x80\x80\x80", 5}, {"\xFF\u0301", 1},
    };
    // clang-format on
    for (const auto& [text, characters] : cases)
        EXPECT_EQ(UserText::characterCount(text), characters) << text;
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

// Unicode white space and line breaks at both ends; a zero-width space is a format character.
TEST(UserTextTest, TrimsUnicodeWhiteSpaceAndLineBreaksAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"  a b \n", "a b"},
        {"\t\v\f\r\n x", "x"},
        {"\u00A0\u2028x\u2029\u3000", "x"},
        {"\u1680\u2000\u200A\u202F\u205F\u0085y", "y"},
        {" \n\u00A0 ", ""},
        {"\xFF ", "\xFF"},
        {" a\u0301 ", "a\u0301"},
        {"\u200B", "\u200B"}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(UserText::trimmed(in), out) << in;
}

}  // namespace
}  // namespace panelora::test
