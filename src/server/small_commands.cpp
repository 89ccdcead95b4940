#include "server/small_commands.h"

#include <sodium.h>

#include <caskel/version.h>

#include "platform/file_system.h"
#include "server/request_handler.h"
#include "server/response_writer.h"

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

void registerSmallCommands(RequestHandler& handler) {
  handler.registerCommand("version", [](const Request& r) {
    nlohmann::json extra = nullptr;
    if (r.caller.treatedAsAgent()) extra = {{"agent", true}};
    sendResponse(r.fd, true, std::string(kVersion), std::nullopt, extra);
  });
  handler.registerCommand("get-cli", [](const Request& r) {
    auto bytes = fs::readFile(r.services.cliPath);
    if (!bytes || bytes->empty()) {
      sendResponse(r.fd, false, std::nullopt, "Bundled CLI not found");
      return;
    }
    // The tool is a binary, not text: it travels as base64 and says so.
    if (isUtf8(*bytes)) {
      sendResponse(r.fd, true, *bytes);
    } else {
      sendResponse(r.fd, true, toBase64(*bytes), std::nullopt, {{"encoding", "base64"}});
    }
  });
  handler.registerCommand("ai-instructions", [](const Request& r) {
    sendResponse(r.fd, true, r.services.instructions ? r.services.instructions() : std::string());
  });
}

}  // namespace caskel
