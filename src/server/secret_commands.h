#pragma once

namespace caskel {

class RequestHandler;

// "set", "get", "peek", "rm" and "ls".
void registerSecretCommands(RequestHandler& handler);

}  // namespace caskel
