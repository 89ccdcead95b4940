#pragma once

#include "server/request_handler.h"

namespace caskel {

// "version", "get-cli" and "ai-instructions": the commands that need nothing but the server.
Reply handleVersion(const Request& request);
Reply handleGetCli(const Request& request);
Reply handleInstructions(const Request& request);

}  // namespace caskel
