#pragma once

namespace caskel {

class RequestHandler;

// "meta", "unlock", "lock", "session" and "config".
void registerFolderCommands(RequestHandler& handler);

}  // namespace caskel
