#pragma once

// The self-check commands that the agent instructions give and `caskel verify` prints. Both
// read only what the kernel reports about the running caskeld, with the system's own tools.
// Header-only so that the caskel tool can print them without linking the server's code.
namespace caskel::verification {

// Shows the seccomp mode and no-new-privileges flag of the running server: a server that
// forbade itself network sockets shows "Seccomp: 2" and "NoNewPrivs: 1".
inline constexpr const char* kSandboxCheck =
    "grep -E '^(Seccomp|NoNewPrivs):' /proc/$(pgrep -xo caskeld)/status";

// Lists the server's internet sockets (TCP, UDP, raw; connected and listening). The server
// hides its descriptors from ordinary users, so the listing needs root; the command prints a
// verdict word so that a refused or impossible check never looks like an empty listing.
inline constexpr const char* kConnectionsCheck =
    "PID=$(pgrep -xo caskeld) && OUT=$(sudo -n ss -tuwanp) && "
    "{ printf '%s\\n' \"$OUT\" | grep -F \"pid=$PID,\" || echo NO-CONNECTIONS; } || echo CHECK-FAILED";

}  // namespace caskel::verification
