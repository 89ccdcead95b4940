#include "server/small_handlers.h"

#include <sodium.h>

#include <caskel/version.h>

#include "platform/file_system.h"

namespace caskel {

namespace {

bool isUtf8(const std::string& bytes) {
  nlohmann::json probe = bytes;
  try {
    (void)probe.dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

std::string toBase64(const std::string& bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating zero
  return out;
}

}  // namespace

Reply handleVersion(const Request& r) {
  nlohmann::json extra = nullptr;
  if (r.caller.treatedAsAgent()) extra = {{"agent", true}};
  return Reply::success(kVersion, std::move(extra));
}

Reply handleGetCli(const Request& r) {
  auto bytes = fs::readFile(r.services.cliPath);
  if (!bytes || bytes->empty()) return Reply::failure("Bundled CLI not found");
  // The tool is a binary, not text: it travels as base64 and says so.
  if (isUtf8(*bytes)) return Reply::success(*bytes);
  return Reply::success(toBase64(*bytes), {{"encoding", "base64"}});
}

Reply handleInstructions(const Request& r) {
  return Reply::success(r.services.instructions ? r.services.instructions() : std::string());
}

}  // namespace caskel
