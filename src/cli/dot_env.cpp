#include "cli/dot_env.h"

#include <set>

namespace caskel::cli {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Walks the text keeping count of lines; \r before \n is dropped by the callers that care.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  char peekAt(size_t offset) const { return pos_ + offset < text_.size() ? text_[pos_ + offset] : '\0'; }
  void advance() {
    if (text_[pos_] == '\n') ++line_;
    ++pos_;
  }
  int line() const { return line_; }
  size_t pos() const { return pos_; }
  void skipBlanks() {
    while (!atEnd() && isBlank(peek())) advance();
  }
  bool atLineEnd() const {
    return atEnd() || peek() == '\n' || (peek() == '\r' && peekAt(1) == '\n') ||
           (peek() == '\r' && pos_ + 1 == text_.size());
  }
  void skipRestOfLine() {
    while (!atEnd() && peek() != '\n') advance();
    if (!atEnd()) advance();
  }
  // Moves to the start of the line after `line`, whatever was consumed so far.
  void restartAfter(size_t lineStartPos, int lineNumber) {
    pos_ = lineStartPos;
    line_ = lineNumber;
    skipRestOfLine();
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

// After a closing quote: only blanks and an optional comment may follow on the line.
bool finishLine(Cursor& c) {
  c.skipBlanks();
  if (!c.atEnd() && c.peek() == '#') {
    c.skipRestOfLine();
    return true;
  }
  if (!c.atLineEnd()) return false;
  c.skipRestOfLine();
  return true;
}

// Line endings inside quoted values are stored as \n: a CRLF file means the same value.
bool readQuoted(Cursor& c, char quote, std::string& value) {
  c.advance();  // opening quote
  while (!c.atEnd()) {
    char ch = c.peek();
    if (ch == quote) {
      c.advance();
      return true;
    }
    if (ch == '\r' && c.peekAt(1) == '\n') {
      c.advance();
      continue;
    }
    if (quote == '"' && ch == '\\' && c.peekAt(1) != '\0') {
      c.advance();
      char esc = c.peek();
      switch (esc) {
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        case '"':
        case '\\':
        case '$':
        case '`':
          value += esc;
          break;
        default:
          // Unknown escapes stay as written, as most .env readers keep them.
          value += '\\';
          value += esc;
      }
      c.advance();
      continue;
    }
    value += ch;
    c.advance();
  }
  return false;
}

void readUnquoted(Cursor& c, std::string& value) {
  while (!c.atLineEnd()) {
    char ch = c.peek();
    // "#" opens a comment only after whitespace, so a value like abc#def keeps its "#".
    if (ch == '#' && (value.empty() || isBlank(value.back()))) break;
    value += ch;
    c.advance();
  }
  while (!value.empty() && isBlank(value.back())) value.pop_back();
  c.skipRestOfLine();
}

}  // namespace

bool isDotEnvKey(std::string_view key) {
  if (key.empty() || !(isLetter(key[0]) || key[0] == '_')) return false;
  for (char ch : key) {
    if (!(isLetter(ch) || isDigit(ch) || ch == '_' || ch == '.' || ch == '-')) return false;
  }
  return true;
}

DotEnvFile parseDotEnv(std::string_view text) {
  DotEnvFile file;
  Cursor c(text);
  // A UTF-8 byte order mark is not part of the first name.
  if (text.starts_with("\xEF\xBB\xBF")) {
    c.advance();
    c.advance();
    c.advance();
  }
  while (!c.atEnd()) {
    const size_t lineStart = c.pos();
    const int lineNumber = c.line();
    c.skipBlanks();
    if (c.atLineEnd() || c.peek() == '#') {
      c.skipRestOfLine();
      continue;
    }
    auto fail = [&](const std::string& message) {
      file.problems.push_back({lineNumber, message});
      c.restartAfter(lineStart, lineNumber);
    };
    std::string key;
    while (!c.atLineEnd() && !isBlank(c.peek()) && c.peek() != '=') {
      key += c.peek();
      c.advance();
    }
    if (key == "export" && !c.atLineEnd() && isBlank(c.peek())) {
      c.skipBlanks();
      key.clear();
      while (!c.atLineEnd() && !isBlank(c.peek()) && c.peek() != '=') {
        key += c.peek();
        c.advance();
      }
    }
    c.skipBlanks();
    if (c.atLineEnd() || c.peek() != '=') {
      fail("expected NAME=value");
      continue;
    }
    if (!isDotEnvKey(key)) {
      fail("invalid name");
      continue;
    }
    c.advance();  // '='
    c.skipBlanks();
    std::string value;
    if (!c.atEnd() && (c.peek() == '\'' || c.peek() == '"')) {
      char quote = c.peek();
      if (!readQuoted(c, quote, value)) {
        fail("unterminated quoted value");
        continue;
      }
      if (!finishLine(c)) {
        file.problems.push_back({lineNumber, "unexpected text after the closing quote"});
        c.skipRestOfLine();
        continue;
      }
    } else {
      readUnquoted(c, value);
    }
    file.entries.push_back({std::move(key), std::move(value), lineNumber});
  }
  return file;
}

std::string formatDotEnvLine(std::string_view key, std::string_view value) {
  std::string line(key);
  line += "=\"";
  for (char ch : value) {
    switch (ch) {
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '"':
        line += "\\\"";
        break;
      case '\\':
        line += "\\\\";
        break;
      case '$':
        line += "\\$";
        break;
      case '`':
        line += "\\`";
        break;
      default:
        line += ch;
    }
  }
  line += "\"\n";
  return line;
}

std::vector<std::string> distinctKeys(const DotEnvFile& file) {
  std::vector<std::string> keys;
  std::set<std::string_view> seen;
  for (const auto& e : file.entries) {
    if (seen.insert(e.key).second) keys.push_back(e.key);
  }
  return keys;
}

}  // namespace caskel::cli
