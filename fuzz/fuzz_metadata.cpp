// Stored metadata is read back from the vault: decoding must survive anything, and whatever
// decodes must encode and decode to the same record.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/secret_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto decoded = caskel::SecretMetadata::fromJson(text);
  if (decoded) {
    auto again = caskel::SecretMetadata::fromJson(decoded->toJson());
    if (!again || !(*again == *decoded)) std::abort();
    (void)decoded->isExpiring(14);
  }
  (void)caskel::characterCount(text);
  if (caskel::firstCharacters(text, 8).size() > size) std::abort();
  return 0;
}
