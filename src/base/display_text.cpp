#include "base/display_text.h"

#include <cstdint>
#include <vector>

#include "base/utf8.h"

namespace caskel {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHidden(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;  // C0, DEL, C1 (line breaks, ESC, CSI)
  if (cp == 0x00AD || cp == 0x034F || cp == 0x061C || cp == 0x115F || cp == 0x1160 || cp == 0x180E)
    return true;
  if (cp >= 0x200B && cp <= 0x200F) return true;  // zero-width and directional marks
  if (cp >= 0x2028 && cp <= 0x202E) return true;  // line/paragraph separators, embeddings, overrides
  if (cp >= 0x2060 && cp <= 0x206F) return true;  // word joiner, invisible operators, isolates
  if (cp == 0x3164 || cp == 0xFEFF || cp == 0xFFA0) return true;
  if (cp >= 0xFFF9 && cp <= 0xFFFB) return true;    // interlinear annotation
  if (cp >= 0xE0000 && cp <= 0xE007F) return true;  // tag characters
  return false;
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string displaySafe(std::string_view text, size_t maxCharacters) {
  std::vector<char32_t> points;
  points.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = decodeUtf8(text, i);
    points.push_back(isHidden(cp) ? kReplacement : cp);
  }
  std::string out;
  out.reserve(text.size() + 3);
  if (maxCharacters == 0 || points.size() <= maxCharacters) {
    for (char32_t cp : points) append(out, cp);
    return out;
  }
  // Both ends carry meaning (a path's root and its leaf): cut the middle.
  size_t keep = maxCharacters - 1;
  size_t head = keep / 2;
  size_t tail = keep - head;
  for (size_t k = 0; k < head; ++k) append(out, points[k]);
  append(out, 0x2026);
  for (size_t k = points.size() - tail; k < points.size(); ++k) append(out, points[k]);
  return out;
}

}  // namespace caskel
