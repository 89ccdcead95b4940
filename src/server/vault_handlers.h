#pragma once

#include "server/request_handler.h"

namespace caskel {

// "passwd", "backup" and "restore": changes to the vault as a whole. Each is refused to agents
// and detached callers before anyone is asked, and asks the person through the passphrase
// prompt, naming the caller.
Reply handlePasswd(const Request& request);
Reply handleBackup(const Request& request);
Reply handleRestore(const Request& request);

}  // namespace caskel
