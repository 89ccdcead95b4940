#include "server/response_writer.h"

#include <sodium.h>

#include "platform/unix_socket.h"
#include "store/json_text.h"

namespace caskel {

void sendReply(int fd, const Reply& reply) {
  nlohmann::json object = reply.toJson();
  std::string text = toCompactJson(object);
  sock::sendAll(fd, text, kReplySendTimeout);
  // Replies may carry a value: do not leave it in a freed heap block.
  sodium_memzero(text.data(), text.size());
  if (auto it = object.find("value"); it != object.end() && it->is_string()) {
    auto& value = it->get_ref<std::string&>();
    sodium_memzero(value.data(), value.size());
  }
}

}  // namespace caskel
