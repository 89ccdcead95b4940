#pragma once

namespace caskel {

class RequestHandler;

// "rotate": a new value for a key, the old one kept as <key>_OLD for a while.
// `backupLifetime` is how long the backup lives (an hour in the product; short in tests).
void registerRotateCommand(RequestHandler& handler, double backupLifetime);

}  // namespace caskel
