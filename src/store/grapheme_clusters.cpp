#include "store/grapheme_clusters.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace caskel {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Combining marks and other characters that extend the character before them (sorted).
// The Indic blocks U+0900–0DFF are handled by indicMark() instead.
constexpr Range kExtend[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},   {0x0711, 0x0711},
    {0x0730, 0x074A},   {0x07A6, 0x07B0}, {0x08CA, 0x08E1}, {0x08E3, 0x08FF},   {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E}, {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC},   {0x0EC8, 0x0ECD},
    {0x0F18, 0x0F19},   {0x0F35, 0x0F35}, {0x0F37, 0x0F37}, {0x0F39, 0x0F39},   {0x0F3E, 0x0F3F},
    {0x0F71, 0x0F84},   {0x0F86, 0x0F87}, {0x0F8D, 0x0FBC}, {0x102B, 0x103E},   {0x1056, 0x1059},
    {0x105E, 0x1060},   {0x1062, 0x1064}, {0x1067, 0x106D}, {0x1071, 0x1074},   {0x1082, 0x108D},
    {0x108F, 0x108F},   {0x109A, 0x109D}, {0x135D, 0x135F}, {0x17B4, 0x17D3},   {0x17DD, 0x17DD},
    {0x180B, 0x180D},   {0x180F, 0x180F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},   {0x200C, 0x200C},
    {0x20D0, 0x20FF},   {0x2CEF, 0x2CF1}, {0x2DE0, 0x2DFF}, {0x302A, 0x302F},   {0x3099, 0x309A},
    {0xA66F, 0xA672},   {0xA674, 0xA67D}, {0xA69E, 0xA69F}, {0xA8E0, 0xA8F1},   {0xFB1E, 0xFB1E},
    {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFF9E, 0xFF9F}, {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F},
    {0xE0100, 0xE01EF},
};

// Format and separator characters that stand alone like controls (sorted).
constexpr Range kControl[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x200B, 0x200B}, {0x200E, 0x200F},
    {0x2028, 0x202E}, {0x2060, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF0, 0xFFFB},
};

// Pictographs that may follow a zero-width joiner in an emoji sequence (sorted; whole blocks
// where the exact list would be long).
constexpr Range kPictographic[] = {
    {0x00A9, 0x00A9},   {0x00AE, 0x00AE}, {0x203C, 0x203C}, {0x2049, 0x2049}, {0x2122, 0x2122},
    {0x2139, 0x2139},   {0x2194, 0x2199}, {0x21A9, 0x21AA}, {0x231A, 0x231B}, {0x2328, 0x2328},
    {0x2388, 0x2388},   {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA}, {0x24C2, 0x24C2},
    {0x25AA, 0x25AB},   {0x25B6, 0x25B6}, {0x25C0, 0x25C0}, {0x25FB, 0x25FE}, {0x2600, 0x27BF},
    {0x2934, 0x2935},   {0x2B05, 0x2B07}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55},
    {0x3030, 0x3030},   {0x303D, 0x303D}, {0x3297, 0x3297}, {0x3299, 0x3299}, {0x1F000, 0x1FAFF},
    {0x1FC00, 0x1FFFD},
};

template <size_t N>
bool inTable(const Range (&table)[N], char32_t c) {
  const Range* it = std::upper_bound(std::begin(table), std::end(table), c,
                                     [](char32_t v, const Range& r) { return v < r.first; });
  return it != std::begin(table) && c <= std::prev(it)->last;
}

// Vowel signs, viramas, nuktas and other marks of the Brahmic scripts. Devanagari to
// Malayalam share one layout per 128-code-point block, so one pattern covers them.
bool indicMark(char32_t c) {
  if (c >= 0x0D80 && c <= 0x0DFF) {  // Sinhala has its own layout
    return (c >= 0x0D81 && c <= 0x0D83) || c == 0x0DCA || (c >= 0x0DCF && c <= 0x0DDF) ||
           (c >= 0x0DF2 && c <= 0x0DF3);
  }
  const char32_t block = c & ~char32_t{0x7F};
  const char32_t off = c & 0x7F;
  if (off == 0x00) return block == 0x0900 || block == 0x0C00 || block == 0x0D00;
  if (off >= 0x01 && off <= 0x03) return true;
  if (off >= 0x3A && off <= 0x3C) return true;
  if (off >= 0x3E && off <= 0x4D) return true;
  if (off >= 0x4E && off <= 0x4F) return block == 0x0900;
  if (off >= 0x51 && off <= 0x57) return block != 0x0D00 || off == 0x57;
  if (off >= 0x62 && off <= 0x63) return true;
  if (block == 0x0A00) return off == 0x70 || off == 0x71 || off == 0x75;
  if (block == 0x0A80) return off >= 0x7A;
  return false;
}

enum class Kind { Other, CR, LF, Control, Extend, ZWJ, RegionalIndicator, L, V, T, LV, LVT, Pictographic };

Kind kindOf(char32_t c) {
  if (c < 0x80) {
    if (c == '\r') return Kind::CR;
    if (c == '\n') return Kind::LF;
    return (c < 0x20 || c == 0x7F) ? Kind::Control : Kind::Other;
  }
  if (c == 0x200D) return Kind::ZWJ;
  if (inTable(kControl, c)) return Kind::Control;
  if (c >= 0x1F1E6 && c <= 0x1F1FF) return Kind::RegionalIndicator;
  if (inTable(kExtend, c) || (c >= 0x0900 && c <= 0x0DFF && indicMark(c))) return Kind::Extend;
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0xA960 && c <= 0xA97C)) return Kind::L;
  if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6)) return Kind::V;
  if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB)) return Kind::T;
  if (c >= 0xAC00 && c <= 0xD7A3) return (c - 0xAC00) % 28 == 0 ? Kind::LV : Kind::LVT;
  if (inTable(kPictographic, c)) return Kind::Pictographic;
  return Kind::Other;
}

struct Decoded {
  Kind kind;
  size_t length;  // bytes
};

// Decodes one UTF-8 sequence strictly; a byte that does not start a valid sequence is one
// standalone unit.
Decoded decodeAt(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(pos);
  if (lead < 0x80) return {kindOf(lead), 1};
  size_t length;
  char32_t c;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, min = 0x10000;
  } else {
    return {Kind::Control, 1};
  }
  if (text.size() - pos < length) return {Kind::Control, 1};
  for (size_t i = 1; i < length; ++i) {
    const uint8_t b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return {Kind::Control, 1};
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {Kind::Control, 1};
  return {kindOf(c), length};
}

bool isBreakAlone(Kind k) {
  return k == Kind::Control || k == Kind::CR || k == Kind::LF;
}

}  // namespace

size_t nextCharacterBoundary(std::string_view text, size_t offset) {
  if (offset >= text.size()) return text.size();
  Decoded first = decodeAt(text, offset);
  size_t pos = offset + first.length;
  if (first.kind == Kind::CR && pos < text.size() && text[pos] == '\n') return pos + 1;
  if (isBreakAlone(first.kind)) return pos;

  Kind prev = first.kind;
  bool pictographSequence = prev == Kind::Pictographic;  // pictograph followed by marks only
  bool joinerAfterPictograph = false;
  size_t regionalRun = prev == Kind::RegionalIndicator ? 1 : 0;
  while (pos < text.size()) {
    const Decoded next = decodeAt(text, pos);
    const Kind k = next.kind;
    if (isBreakAlone(k)) break;
    bool join = false;
    if (k == Kind::Extend || k == Kind::ZWJ) {
      join = true;
    } else if (prev == Kind::L) {
      join = k == Kind::L || k == Kind::V || k == Kind::LV || k == Kind::LVT;
    } else if (prev == Kind::LV || prev == Kind::V) {
      join = k == Kind::V || k == Kind::T;
    } else if (prev == Kind::LVT || prev == Kind::T) {
      join = k == Kind::T;
    } else if (prev == Kind::ZWJ) {
      join = k == Kind::Pictographic && joinerAfterPictograph;
    } else if (prev == Kind::RegionalIndicator) {
      join = k == Kind::RegionalIndicator && regionalRun % 2 == 1;
    }
    if (!join) break;

    joinerAfterPictograph = k == Kind::ZWJ && pictographSequence;
    if (k == Kind::Pictographic) {
      pictographSequence = true;
    } else if (k != Kind::Extend) {
      pictographSequence = false;
    }
    regionalRun = k == Kind::RegionalIndicator ? regionalRun + 1 : 0;
    prev = k;
    pos += next.length;
  }
  return pos;
}

}  // namespace caskel
