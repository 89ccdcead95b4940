#pragma once

#include "server/request_handler.h"

namespace caskel {

// "meta", "unlock", "lock", "session" and "config".
Reply handleMeta(const Request& request);
Reply handleUnlock(const Request& request);
Reply handleLock(const Request& request);
Reply handleSession(const Request& request);
Reply handleConfig(const Request& request);

}  // namespace caskel
