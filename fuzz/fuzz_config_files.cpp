// known_callers.json and config.json are loaded at start-up from the user's configuration
// directory; a damaged or hostile file must never crash the server.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "server/caller_info.h"
#include "session/session_manager.h"

namespace {
std::string scratchPath(const char* name) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/caskel-fuzz-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  return dir + "/" + name;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    std::string path = scratchPath("known_callers.json");
    std::ofstream(path, std::ios::trunc) << body;
    caskel::CallerIdentifier callers(caskel::ProcessInfo::system(), path, "/home/nobody");
    callers.loadKnownCallers();
  } else {
    std::string path = scratchPath("config.json");
    std::ofstream(path, std::ios::trunc) << body;
    caskel::SessionManager sessions(caskel::KeychainManager("caskel", nullptr), path);
    for (const auto& [prefix, seconds] : sessions.prefixTimeouts()) (void)sessions.timeout(prefix);
    (void)sessions.timeout("org/proj/");
  }
  return 0;
}
