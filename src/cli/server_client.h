#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/protocol.h"

namespace caskel::cli {

// Why a request got no usable reply.
enum class TransportFailure {
  kNone,
  kNotRunning,  // no server listens on the socket
  kConnect,     // the socket exists but refused us for another reason
  kUntrusted,   // the socket's directory or the server's user is not ours alone
  kTooLarge,    // the request exceeds what the server reads
  kBadRequest,  // the request cannot be written as JSON (a value that is not UTF-8)
  kIo,          // the connection broke before the reply was complete
  kBadReply,    // the reply is not one JSON object
};

struct Exchange {
  TransportFailure failure = TransportFailure::kNone;
  std::string detail;    // for failures: one line for the user
  nlohmann::json reply;  // an object when failure is kNone
};

// One JSON request per connection: connect to our own user's server (see socket_trust.h),
// write the request (with "cli_version"), close our side, read the reply to end of stream and
// parse it.
class ServerClient {
 public:
  explicit ServerClient(std::string socketPath);

  // $CASKEL_SOCKET, else /tmp/caskel-sock-<uid>/caskel.sock.
  static std::string defaultSocketPath();

  const std::string& socketPath() const { return socketPath_; }
  // Sends the request and reads one reply line, keeping the connection open: the server ties
  // what it set up to this connection and undoes it when the connection ends. On success the
  // descriptor is in `fd` and stays open; end it with finishLifeline().
  Exchange sendKeepingOpen(nlohmann::json request, int& fd) const;
  // Tells the server the connection is over and waits until it has undone what it set up.
  static void finishLifeline(int fd);
  // Sends the request; any "value" in it is wiped from the request object afterwards.
  Exchange send(nlohmann::json request) const;

  // The server reads at most this many bytes of a request.
  static constexpr size_t kMaxRequestBytes = protocol::kMaxRequestBytes;

 private:
  std::string socketPath_;
};

}  // namespace caskel::cli
