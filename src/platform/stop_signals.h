#pragma once

#include <functional>

namespace caskel {

// SIGINT and SIGTERM are taken by one thread with sigwait, so that no handler runs inside a
// lock. Call this before any thread starts: threads inherit the blocked set. SIGPIPE is
// ignored too, so that a peer that hangs up is an error return, not the end of the program.
void blockStopSignals();

// Calls `onStop` (on a thread of its own) when SIGINT or SIGTERM arrives. The thread is
// detached: when the program stops another way it is still waiting, and ends with the process.
void onStopSignal(std::function<void()> onStop);

}  // namespace caskel
