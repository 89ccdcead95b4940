// The .env parser reads files from arbitrary projects; values it accepts must survive a
// write and read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/dot_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  caskel::DotEnvFile parsed = caskel::parseDotEnv(text);
  (void)parsed;
  return 0;
}
