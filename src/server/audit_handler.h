#pragma once

#include "server/request_handler.h"

namespace caskel {

// "audit": switches the audit log on or off, shows its newest records, or clears it.
//   {"cmd": "audit", "action": "on" | "off" | "clear"}  -> {"ok": true, "value": "on" | "off", "path": log}
//   {"cmd": "audit", "action": "show", "limit": N}      -> {"ok": true, "enabled": bool, "path": log,
//                                                           "entries": [{"timestamp", "operation",
//                                                           "account" (when present), "result"}, ...]}
// Entries come newest first; the limit defaults to 20 and is capped at kMaxShown.
// Showing is open to every caller: the log holds key and program names, never values, and is
// a file of the user's anyway. Changing it is refused to agents and detached callers, and
// turning it off or clearing it takes the passphrase, since both hide what happened.
Reply handleAudit(const Request& request);

inline constexpr int kDefaultAuditShown = 20;
inline constexpr int kMaxAuditShown = 10000;
inline constexpr const char* kAuditChangeRefused =
    "Changing the audit log is blocked for AI agents and detached processes — run `caskel audit` "
    "yourself in a terminal";

}  // namespace caskel
