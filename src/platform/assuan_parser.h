#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "platform/secret_string.h"

namespace caskel {

// One response line of an Assuan server (pinentry).
struct AssuanLine {
  enum class Kind {
    ok,       // "OK [text]"
    err,      // "ERR <code> [description]"
    data,     // "D <percent-escaped data>"; `data` holds the decoded bytes
    status,   // "S <keyword> [args]"; `text` holds keyword and args
    comment,  // "# ..."
    inquire,  // "INQUIRE <keyword> [args]"
  };
  Kind kind = Kind::ok;
  std::string text;   // the rest of the line after the keyword (never for data lines)
  uint32_t code = 0;  // the error code of an ERR line
  SecretString data;  // decoded payload of a D line (it may be the passphrase)
};

// Splits the byte stream a pinentry writes into Assuan response lines. Input is hostile: a
// line longer than the protocol's limit, an unknown keyword or a bad escape puts the parser
// in a failed state for good. Every byte it buffered is wiped, because D lines carry the
// passphrase.
class AssuanParser {
 public:
  // Assuan's limit is 1000 bytes per line including the line feed.
  static constexpr size_t kMaxLineLength = 999;
  enum class Error { none, lineTooLong, malformed };

  AssuanParser() = default;
  ~AssuanParser();
  AssuanParser(const AssuanParser&) = delete;
  AssuanParser& operator=(const AssuanParser&) = delete;

  // Takes any number of bytes; complete lines become available through next().
  void feed(std::string_view bytes);
  // The oldest complete line not yet taken, or nothing.
  std::optional<AssuanLine> next();
  bool failed() const { return error_ != Error::none; }
  Error error() const { return error_; }
  // True while a line has started but its line feed has not arrived.
  bool partial() const { return length_ > 0; }

  // Parses one line without its line feed; nothing when it is not a valid response line.
  static std::optional<AssuanLine> parseLine(std::string_view line);

 private:
  void completeLine();
  void wipeBuffer();

  std::array<char, kMaxLineLength> buffer_{};
  size_t length_ = 0;
  std::deque<AssuanLine> ready_;
  Error error_ = Error::none;
};

// Assuan's escaping of command arguments: '%', CR, LF and every other byte below 0x20 become
// %XX; everything else (UTF-8 included) passes unchanged.
std::string assuanEscape(std::string_view text);
// Decodes %XX escapes into a SecretString built whole; nothing on a malformed escape.
std::optional<SecretString> assuanUnescape(std::string_view text);

}  // namespace caskel
