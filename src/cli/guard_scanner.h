#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace caskel::cli {

struct GuardFinding {
  int line = 0;            // 1-based line of the text where the match starts
  std::string account;     // the stored key whose peek matched; empty for a token finding
  size_t tokenLength = 0;  // length of the suspicious token (token findings)
  std::string reason;      // what it looks like; never contains the matched text
};

// Looks for signs of a leaked credential in tool output: the 8-character peek of a stored
// secret, or a token that looks like a credential (a known provider prefix, or long, mixed and
// random-looking). Findings carry places and key names only, never the text that matched.
class GuardScanner {
 public:
  // Peeks shorter than 8 characters are ignored: they match far too much ordinary text.
  void addPeek(std::string account, std::string peek);
  std::vector<GuardFinding> scan(std::string_view text) const;

  // Shannon entropy in bits per character.
  static double entropy(std::string_view token);
  // Whether a token on its own looks like a credential; `reason` says why.
  static bool looksLikeCredential(std::string_view token, std::string& reason);

 private:
  struct Peek {
    std::string account;
    std::string text;
  };
  std::vector<Peek> peeks_;
};

}  // namespace caskel::cli
