#pragma once

#include <string>

namespace caskel {

// Locks the server process down before it serves: not dumpable (no ptrace or /proc/PID/mem by
// other processes of the user), no core dumps, no new privileges, and a seccomp filter under
// which socket() succeeds only for AF_UNIX, so the kernel itself keeps the server off the
// network. Children (pinentry) inherit the filter, and threads that already run get it too.
// Returns an error text on failure.
std::string hardenProcess();

// Everything but the network filter: for a program whose display is reached over the network.
std::string hardenWithoutNetworkFilter();

// The parts that need no filter, for programs that must keep the network (tests use this).
std::string disableCoreDumpsAndTracing();

// Raises the soft limit on open files to the hard limit (many idle connections must not
// starve real ones of descriptors).
void raiseFileLimit();

}  // namespace caskel
