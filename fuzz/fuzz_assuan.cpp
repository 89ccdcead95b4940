// A pinentry's replies are input like any other: fed in arbitrary pieces, the parser must never
// overrun its buffer or accept a line longer than the protocol allows.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/assuan_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the piece size, so splits land everywhere.
  size_t piece = 1 + data[0] % 64;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  caskel::AssuanParser parser;
  while (!rest.empty()) {
    size_t n = rest.size() < piece ? rest.size() : piece;
    parser.feed(rest.substr(0, n));
    rest.remove_prefix(n);
    while (auto line = parser.next()) {
      if (line->text.size() > caskel::AssuanParser::kMaxLineLength) std::abort();
    }
  }
  (void)caskel::assuanUnescape(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
