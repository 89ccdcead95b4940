#include "server/small_handlers.h"

#include <caskel/version.h>

#include "base/base64.h"
#include "base/utf8.h"
#include "platform/file_system.h"

namespace caskel {

Reply handleVersion(const Request& r) {
  nlohmann::json extra = nullptr;
  if (r.caller.treatedAsAgent()) extra = {{"agent", true}};
  return Reply::success(kVersion, std::move(extra));
}

Reply handleGetCli(const Request& r) {
  auto bytes = fs::readFile(r.services.cliPath);
  if (!bytes || bytes->empty()) return Reply::failure("Bundled CLI not found");
  // The tool is a binary, not text: it travels as base64 and says so.
  if (isValidUtf8(*bytes)) return Reply::success(*bytes);
  return Reply::success(base64Encode(*bytes), {{"encoding", "base64"}});
}

Reply handleInstructions(const Request& r) {
  return Reply::success(r.services.instructions ? r.services.instructions() : std::string());
}

}  // namespace caskel
