#include "server/response_writer.h"

#include <sodium.h>

#include "platform/unix_socket.h"
#include "store/json_text.h"

namespace caskel {

void sendObject(int fd, const nlohmann::json& object) {
  std::string text = toCompactJson(object);
  sock::sendAll(fd, text, kReplySendTimeout);
  // Replies may carry a value: do not leave it in a freed heap block.
  sodium_memzero(text.data(), text.size());
}

void sendResponse(int fd, bool ok, const std::optional<std::string>& value, const std::optional<std::string>& error,
                  const nlohmann::json& extra) {
  nlohmann::json reply = nlohmann::json::object();
  reply["ok"] = ok;
  if (value) reply["value"] = *value;
  if (error) reply["error"] = *error;
  if (extra.is_object()) {
    for (auto& [key, item] : extra.items()) reply[key] = item;
  }
  sendObject(fd, reply);
}

}  // namespace caskel
