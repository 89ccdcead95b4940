#include "cli/server_client.h"

#include <caskel/version.h>

#include "cli/cli_platform.h"
#include "cli/socket_trust.h"

namespace caskel::cli {

namespace {
// get-cli replies carry the whole tool in base64: a few MiB; anything far beyond is not ours.
constexpr size_t kMaxReplyBytes = 64 * 1024 * 1024;
// The server may wait for the person at the machine to answer a prompt; it is not hung.
constexpr int kReplyTimeoutSeconds = 600;

void wipeValues(nlohmann::json& request) {
  auto it = request.find("value");
  if (it != request.end() && it->is_string()) wipe(it->get_ref<std::string&>());
}
}  // namespace

ServerClient::ServerClient(std::string socketPath) : socketPath_(std::move(socketPath)) {}

std::string ServerClient::defaultSocketPath() {
  const auto path = envVar(protocol::kSocketVariable);
  return protocol::defaultSocketPath(path ? path->c_str() : nullptr, currentUid());
}

Exchange ServerClient::send(nlohmann::json request) const {
  Exchange ex;
  request["cli_version"] = kVersion;
  std::string bytes;
  try {
    bytes = request.dump();
  } catch (const nlohmann::json::exception&) {
    // Replacing the bad bytes would store a different value than the user gave: refuse.
    wipeValues(request);
    ex.failure = TransportFailure::kBadRequest;
    ex.detail = "Error: the value is not valid UTF-8 text; Caskel stores text values.";
    return ex;
  }
  wipeValues(request);
  if (bytes.size() > kMaxRequestBytes) {
    wipe(bytes);
    ex.failure = TransportFailure::kTooLarge;
    ex.detail =
        "Error: the request is too large for the server (the limit is 64 KiB; a value must be smaller).";
    return ex;
  }
  std::optional<std::string> reply;
  bool sent = false;
  {
    IdentifiableToServer window;
    Connection connection = connectToOwnServer(socketPath_, SocketSystem::real());
    if (connection.failure != TransportFailure::kNone) {
      wipe(bytes);
      ex.failure = connection.failure;
      ex.detail = std::move(connection.detail);
      return ex;
    }
    const int fd = connection.fd;
    setReceiveTimeout(fd, kReplyTimeoutSeconds);
    sent = writeAll(fd, bytes);
    wipe(bytes);
    if (sent) shutdownWrite(fd);
    // A refusal (of a caller it cannot identify, say) may come before the request is written: a
    // failed write is only an error when no reply follows.
    reply = readAll(fd, kMaxReplyBytes);
    closeFd(fd);
  }
  if (!reply || reply->empty()) {
    ex.failure = TransportFailure::kIo;
    ex.detail = sent ? "The Caskel server closed the connection without a reply."
                     : "The Caskel server closed the connection before reading the request.";
    return ex;
  }
  ex.reply = nlohmann::json::parse(*reply, nullptr, false);
  wipe(*reply);
  if (ex.reply.is_discarded() || !ex.reply.is_object()) {
    ex.reply = nlohmann::json();
    ex.failure = TransportFailure::kBadReply;
    ex.detail = "The Caskel server sent a reply this tool cannot read.";
  }
  return ex;
}

Exchange ServerClient::sendKeepingOpen(nlohmann::json request, int& fd) const {
  Exchange ex;
  fd = -1;
  request["cli_version"] = kVersion;
  const std::string bytes = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string line;
  {
    IdentifiableToServer window;
    Connection connection = connectToOwnServer(socketPath_, SocketSystem::real());
    if (connection.failure != TransportFailure::kNone) {
      ex.failure = connection.failure;
      ex.detail = std::move(connection.detail);
      return ex;
    }
    setReceiveTimeout(connection.fd, kReplyTimeoutSeconds);
    // The server knows the request is whole when it parses; a refusal comes without a line end.
    const bool sent = writeAll(connection.fd, bytes);
    char chunk[4096];
    long n = 0;
    while (line.find('\n') == std::string::npos && line.size() < kMaxRequestBytes &&
           (n = readChunk(connection.fd, chunk, sizeof chunk)) > 0) {
      line.append(chunk, static_cast<size_t>(n));
    }
    if (line.empty()) {
      closeFd(connection.fd);
      ex.failure = TransportFailure::kIo;
      ex.detail = sent ? "The Caskel server closed the connection without a reply."
                       : "The Caskel server closed the connection before reading the request.";
      return ex;
    }
    fd = connection.fd;
  }
  ex.reply = nlohmann::json::parse(line.substr(0, line.find('\n')), nullptr, false);
  if (ex.reply.is_discarded() || !ex.reply.is_object()) {
    closeFd(fd);
    fd = -1;
    ex.reply = nlohmann::json();
    ex.failure = TransportFailure::kBadReply;
    ex.detail = "The Caskel server sent a reply this tool cannot read.";
  }
  return ex;
}

void ServerClient::finishLifeline(int fd) {
  if (fd < 0) return;
  shutdownWrite(fd);
  // The server closes its end once it is done; nothing is expected before that.
  char chunk[256];
  while (readChunk(fd, chunk, sizeof chunk) > 0) {
  }
  closeFd(fd);
}

}  // namespace caskel::cli
