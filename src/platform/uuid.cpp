#include "platform/uuid.h"

#include <sodium.h>

#include <array>
#include <cstdint>

namespace caskel {

std::string makeUuid() {
  // sodium_init is idempotent and thread-safe; it picks the best random source once.
  static const bool initialised = sodium_init() >= 0;
  (void)initialised;
  std::array<uint8_t, 16> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0x0f]);
  }
  return out;
}

}  // namespace caskel
