#include "base/shell_text.h"

namespace caskel {

namespace {
bool isAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
}  // namespace

std::string shellSingleQuote(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string envVarName(std::string_view account) {
  std::string_view last;
  size_t pos = 0;
  while (pos <= account.size()) {
    size_t next = account.find('/', pos);
    if (next == std::string_view::npos) next = account.size();
    if (next > pos) last = account.substr(pos, next - pos);
    pos = next + 1;
  }
  if (last.empty()) last = account;
  std::string name;
  name.reserve(last.size() + 1);
  for (char c : last) name += isAsciiAlnum(c) ? c : '_';
  if (!name.empty() && !isAsciiLetter(name[0]) && name[0] != '_') name.insert(name.begin(), '_');
  return name;
}

std::optional<std::string> exportedValue(std::string_view fragment, std::string_view name) {
  const std::string head = "export " + std::string(name) + "=";
  size_t lineStart = 0;
  while (lineStart <= fragment.size()) {
    if (fragment.compare(lineStart, head.size(), head) == 0) {
      // Words of the form '…' and \' only, up to the end of the line outside quotes.
      std::string value;
      size_t i = lineStart + head.size();
      while (i < fragment.size() && fragment[i] != '\n') {
        if (fragment[i] == '\'') {
          size_t close = fragment.find('\'', i + 1);
          if (close == std::string_view::npos) return std::nullopt;
          value.append(fragment.substr(i + 1, close - i - 1));
          i = close + 1;
        } else if (fragment[i] == '\\' && i + 1 < fragment.size() && fragment[i + 1] == '\'') {
          value += '\'';
          i += 2;
        } else {
          return std::nullopt;
        }
      }
      return value;
    }
    size_t nl = fragment.find('\n', lineStart);
    if (nl == std::string_view::npos) break;
    lineStart = nl + 1;
  }
  return std::nullopt;
}

}  // namespace caskel
