// Text on its way to NSString: ill-formed UTF-8 becomes U+FFFD, one per maximal subpart, and
// well-formed text passes unchanged.
#include "platform/macos/portable/well_formed_utf8.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(WellFormedUtf8, ReplacesEachMaximalIllFormedSubpart) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"Panelora \xE2\x80\x94 tablet \xF0\x9F\x98\x80",
         "Panelora \xE2\x80\x94 tablet \xF0\x9F\x98\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last code point
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},          // U+D7FF, just below the surrogates
        {"a\xFFz", "a" + r + "z"},                 // never a lead byte
        {"\x80\xBF", r + r},                       // continuations without a lead
        {"\xC3", r},                               // cut off at the end
        {"\xE2\x82x", r + "x"},                    // cut off before ASCII: one subpart
        {"\xF0\x9F\x98x", r + "x"},
        {"\xC0\xAF", r + r},                               // overlong '/'
        {"\xE0\x80\xAF", r + r + r},                       // overlong, three bytes
        {"\xF0\x8F\xBF\xBF", r + r + r + r},               // overlong, four bytes
        {"\xED\xA0\x80", r + r + r},                       // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},               // past U+10FFFF
        {"\xF5\x80", r + r},                               // lead of no code point
        {std::string("a\0b", 3), std::string("a\0b", 3)},  // NUL is a character
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::wellFormedUtf8(c.in), c.out);
    }
}

}  // namespace
}  // namespace panelora::test
