// Audit lines are read back from a file anyone with the user's rights can edit.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "audit/audit_logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto entry = caskel::AuditLogger::parseLine(line);
  if (entry && entry->operation.empty()) std::abort();
  std::string cleaned = caskel::AuditLogger::clean(line);
  for (unsigned char c : cleaned) {
    if (c < 0x20 || c == 0x7f) std::abort();
  }
  return 0;
}
