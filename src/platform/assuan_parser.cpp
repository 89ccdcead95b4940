#include "platform/assuan_parser.h"

#include <sodium.h>

#include <limits>

namespace caskel {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Matches `keyword` at the start of `line` followed by a space or the end of the line, and
// returns the rest after that space.
std::optional<std::string_view> afterKeyword(std::string_view line, std::string_view keyword) {
  if (line.substr(0, keyword.size()) != keyword) return std::nullopt;
  std::string_view rest = line.substr(keyword.size());
  if (rest.empty()) return rest;
  if (rest.front() != ' ') return std::nullopt;
  return rest.substr(1);
}

}  // namespace

AssuanParser::~AssuanParser() {
  wipeBuffer();
}

void AssuanParser::wipeBuffer() {
  sodium_memzero(buffer_.data(), buffer_.size());
  length_ = 0;
}

void AssuanParser::feed(std::string_view bytes) {
  for (char c : bytes) {
    if (failed()) return;
    if (c == '\n') {
      completeLine();
    } else if (length_ == buffer_.size()) {
      error_ = Error::lineTooLong;
      wipeBuffer();
    } else {
      buffer_[length_++] = c;
    }
  }
}

void AssuanParser::completeLine() {
  std::optional<AssuanLine> line = parseLine(std::string_view(buffer_.data(), length_));
  wipeBuffer();
  if (!line) {
    error_ = Error::malformed;
    return;
  }
  ready_.push_back(std::move(*line));
}

std::optional<AssuanLine> AssuanParser::next() {
  if (ready_.empty()) return std::nullopt;
  AssuanLine line = std::move(ready_.front());
  ready_.pop_front();
  return line;
}

std::optional<AssuanLine> AssuanParser::parseLine(std::string_view line) {
  AssuanLine out;
  if (auto rest = afterKeyword(line, "D")) {
    std::optional<SecretString> decoded = assuanUnescape(*rest);
    if (!decoded) return std::nullopt;
    out.kind = AssuanLine::Kind::data;
    out.data = std::move(*decoded);
    return out;
  }
  if (auto rest = afterKeyword(line, "OK")) {
    out.kind = AssuanLine::Kind::ok;
    out.text = *rest;
    return out;
  }
  if (auto rest = afterKeyword(line, "ERR")) {
    size_t i = 0;
    uint64_t code = 0;
    while (i < rest->size() && (*rest)[i] >= '0' && (*rest)[i] <= '9') {
      code = code * 10 + static_cast<uint64_t>((*rest)[i] - '0');
      if (code > std::numeric_limits<uint32_t>::max()) return std::nullopt;
      ++i;
    }
    if (i == 0 || (i < rest->size() && (*rest)[i] != ' ')) return std::nullopt;
    out.kind = AssuanLine::Kind::err;
    out.code = static_cast<uint32_t>(code);
    out.text = i < rest->size() ? rest->substr(i + 1) : std::string_view();
    return out;
  }
  if (auto rest = afterKeyword(line, "S")) {
    if (rest->empty()) return std::nullopt;
    out.kind = AssuanLine::Kind::status;
    out.text = *rest;
    return out;
  }
  if (auto rest = afterKeyword(line, "INQUIRE")) {
    if (rest->empty()) return std::nullopt;
    out.kind = AssuanLine::Kind::inquire;
    out.text = *rest;
    return out;
  }
  if (!line.empty() && line.front() == '#') {
    out.kind = AssuanLine::Kind::comment;
    out.text = line.substr(1);
    return out;
  }
  return std::nullopt;
}

std::string assuanEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || c == '%') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<SecretString> assuanUnescape(std::string_view text) {
  // Sized once up front so the decoded secret never leaves an unwiped copy behind on growth.
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    int hi = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
    int lo = hi >= 0 ? hexValue(text[i + 2]) : -1;
    if (lo < 0) {
      sodium_memzero(out.data(), out.capacity());
      return std::nullopt;
    }
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  SecretString result(std::move(out));
  // A short string's bytes stay in the moved-from object's inline buffer.
  sodium_memzero(out.data(), out.capacity());
  return result;
}

}  // namespace caskel
