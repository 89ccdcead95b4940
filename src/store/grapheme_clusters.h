#pragma once

#include <cstddef>
#include <string_view>

namespace caskel {

// User-perceived characters ("grapheme clusters") of UTF-8 text, for peeks and character
// counts. This is a compact approximation of the extended grapheme cluster rules, chosen over
// a full Unicode library because peeks of keys and tokens are almost always ASCII. It:
//   - never splits a UTF-8 sequence; each byte that is not part of a valid sequence (bad lead,
//     truncated, overlong, surrogate, above U+10FFFF) is one character on its own;
//   - keeps CR LF together and otherwise breaks around control characters;
//   - keeps a base with its combining marks (the generic combining blocks, Hebrew, Arabic,
//     the Indic scripts, Thai, Lao, Tibetan, Myanmar, kana voicing marks), variation
//     selectors, emoji skin-tone modifiers, tag characters and U+200C/U+200D;
//   - joins emoji across U+200D (pictograph, marks, ZWJ, pictograph);
//   - pairs regional indicators into flags (three indicators are one flag and one more);
//   - joins Hangul jamo and syllables into syllable blocks.
// Known simplifications: Prepend characters and Indic conjuncts across a virama (GB9c) are
// not joined, and the pictograph and mark tables cover whole blocks rather than exact
// property lists.

// Byte offset where the character starting at `offset` ends (text.size() at the end).
size_t nextCharacterBoundary(std::string_view text, size_t offset);

}  // namespace caskel
