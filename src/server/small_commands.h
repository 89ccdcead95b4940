#pragma once

namespace caskel {

class RequestHandler;

// "version", "get-cli" and "ai-instructions": the commands that need nothing but the server.
void registerSmallCommands(RequestHandler& handler);

}  // namespace caskel
