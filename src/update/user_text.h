// Text helpers for what the update check shows: cutting release notes to a number of
// user-perceived characters and trimming white space, on UTF-8 strings.
//
// "Character" here approximates an extended grapheme cluster without a Unicode database:
//   - CR LF is one character; other controls (C0, DEL, C1) stand alone and take no marks;
//   - a code point absorbs every following combining mark (U+0300–036F, U+1AB0–1AFF,
//     U+1DC0–1DFF, U+20D0–20FF, U+FE20–FE2F), variation selector (U+FE00–FE0F,
//     U+E0100–E01EF), emoji modifier (U+1F3FB–1F3FF), tag (U+E0020–E007F) and ZWNJ;
//   - U+200D (ZWJ) is absorbed too and also joins the code point after it (emoji sequences);
//   - two regional indicators make one flag.
// Not covered: Hangul jamo sequences, spacing marks of Indic scripts and prepended
// characters, which count as characters of their own. Each byte that is not part of a
// well-formed UTF-8 sequence (overlong forms and surrogates included) counts as one character.
#pragma once

#include <cstddef>
#include <string_view>

namespace panelora::UserText {

// The longest prefix of `utf8` that holds at most `maxCharacters` characters.
std::string_view prefixOfCharacters(std::string_view utf8, std::size_t maxCharacters);

// Number of characters in `utf8`.
std::size_t characterCount(std::string_view utf8);

// `utf8` without white space and line breaks at either end: U+0009–000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000–200A, U+2028, U+2029, U+202F, U+205F and U+3000.
std::string_view trimmed(std::string_view utf8);

}  // namespace panelora::UserText
