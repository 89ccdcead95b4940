#pragma once

#include <string>

namespace caskel::cli {

// A seccomp program (raw struct sock_filter array, as bwrap --seccomp reads it) that fails
// ioctl TIOCSTI and TIOCLINUX with EPERM. A sandboxed process shares the person's terminal,
// and with these it could type a command into the shell that waits there once it has ended.
// Covers the native system-call table and, on 64-bit x86 and Arm, the 32-bit one; x32 calls
// are refused outright.
std::string ttyInjectionFilter();

}  // namespace caskel::cli
