#pragma once

#include "server/reply.h"

namespace caskel {

// How long a reply may wait for a peer that does not read it.
inline constexpr double kReplySendTimeout = 5.0;

// Writes `reply` as compact JSON with "/" escaped, then wipes every copy of its value made on
// the way. A peer that is gone is ignored (never SIGPIPE).
void sendReply(int fd, const Reply& reply);

}  // namespace caskel
