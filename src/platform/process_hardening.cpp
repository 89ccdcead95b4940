#include "platform/process_hardening.h"

#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>

namespace caskel {

std::string disableCoreDumpsAndTracing() {
  rlimit none{0, 0};
  if (::setrlimit(RLIMIT_CORE, &none) != 0)
    return std::string("setrlimit(RLIMIT_CORE): ") + std::strerror(errno);
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
    return std::string("prctl(PR_SET_DUMPABLE): ") + std::strerror(errno);
  return {};
}

std::string hardenWithoutNetworkFilter() {
  if (std::string err = disableCoreDumpsAndTracing(); !err.empty()) return err;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return std::string("prctl(PR_SET_NO_NEW_PRIVS): ") + std::strerror(errno);
  }
  return {};
}

std::string hardenProcess() {
  if (std::string err = hardenWithoutNetworkFilter(); !err.empty()) return err;
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (!ctx) return "seccomp_init failed";
  int rc = 0;
  // Every address family but AF_UNIX is refused as if the kernel did not know it.
  rc |= seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EAFNOSUPPORT), SCMP_SYS(socket), 1,
                         SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(AF_UNIX)));
  rc |= seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EAFNOSUPPORT), SCMP_SYS(socketpair), 1,
                         SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(AF_UNIX)));
  // io_uring can create sockets without the socket() system call.
  rc |= seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0);
  // The desktop program hardens after its toolkit started threads (the X11 event reader):
  // the filter, and with it no-new-privileges, is laid on those threads too.
  rc |= seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1);
  if (rc == 0) rc = seccomp_load(ctx);
  seccomp_release(ctx);
  if (rc != 0) return std::string("seccomp filter: ") + std::strerror(-rc);
  return {};
}

void raiseFileLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

}  // namespace caskel
