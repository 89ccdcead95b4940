#include "server/response_writer.h"

#include <sodium.h>

#include "platform/unix_socket.h"
#include "store/json_text.h"

namespace caskel {

void sendReply(int fd, const Reply& reply) {
  nlohmann::json object = reply.toJson();
  std::string text = toCompactJson(object);
  sock::sendAll(fd, text, kReplySendTimeout);
  // Replies may carry a value or a fragment's key: do not leave them in a freed heap block.
  sodium_memzero(text.data(), text.size());
  wipeJsonStrings(object);
}

}  // namespace caskel
