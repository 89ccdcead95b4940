#pragma once

#include "server/request_handler.h"

namespace caskel {

// "rotate": a new value for a key, the old one kept as <key>_OLD for the services'
// backupLifetime (an hour in the product; short in tests).
Reply handleRotate(const Request& request);

}  // namespace caskel
