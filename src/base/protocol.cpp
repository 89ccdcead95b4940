#include "base/protocol.h"

namespace caskel::protocol {

std::string socketDirectory(uint32_t uid) {
  return "/tmp/caskel-sock-" + std::to_string(uid);
}

std::string defaultSocketPath(const char* override, uint32_t uid) {
  if (override != nullptr && *override != '\0') return override;
  return socketDirectory(uid) + "/caskel.sock";
}

}  // namespace caskel::protocol
