#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace caskel::cli {

// Replaces every occurrence of the given values in a byte stream with "<redacted:NAME>", also
// when an occurrence is split across writes. It holds back only the shortest tail that could
// still grow into a value, so ordinary output passes with no delay.
class RedactionFilter {
 public:
  // Values shorter than kMinMaskedCharacters are not masked: a value of one to three
  // characters occurs all over ordinary output, and every mask put there would garble it and
  // show where the value appears, which spells it out. Where two values match at one place, the
  // longer wins.
  void addValue(std::string name, std::string value);

  static constexpr size_t kMinMaskedCharacters = 4;

  // Feeds a chunk; returns what can be written now.
  std::string push(std::string_view chunk);
  // End of stream: returns whatever was held back, with complete values replaced.
  std::string finish();

  ~RedactionFilter();

 private:
  struct Pattern {
    std::string name;
    std::string value;
  };
  // Emits from pending_ what is safe; `final` when no more input will come.
  std::string drain(bool final);
  // Whether pending_[pos..] is a proper prefix of some value (so more input could complete it).
  bool couldStartValue(size_t pos) const;

  std::vector<Pattern> patterns_;
  std::string pending_;
};

}  // namespace caskel::cli
