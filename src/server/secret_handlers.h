#pragma once

#include "server/request_handler.h"

namespace caskel {

// "set", "get", "peek", "rm" and "ls".
Reply handleSet(const Request& request);
Reply handleGet(const Request& request);
Reply handlePeek(const Request& request);
Reply handleDelete(const Request& request);
Reply handleList(const Request& request);

}  // namespace caskel
