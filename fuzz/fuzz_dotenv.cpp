// The .env parser reads files from arbitrary projects; values it accepts must survive a
// write and read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/dot_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  caskel::cli::DotEnvFile parsed = caskel::cli::parseDotEnv(text);
  for (const auto& entry : parsed.entries) {
    if (!caskel::cli::isDotEnvKey(entry.key)) continue;
    auto again = caskel::cli::parseDotEnv(caskel::cli::formatDotEnvLine(entry.key, entry.value));
    if (again.entries.size() != 1 || again.entries[0].value != entry.value) std::abort();
  }
  return 0;
}
