#include "cli/tty_injection_filter.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace caskel::cli {

namespace {

#if defined(__x86_64__)
constexpr unsigned kNativeArch = AUDIT_ARCH_X86_64;
constexpr unsigned kCompatArch = AUDIT_ARCH_I386;
constexpr unsigned kCompatIoctl = 54;
constexpr unsigned kX32Bit = 0x40000000;
#elif defined(__aarch64__)
constexpr unsigned kNativeArch = AUDIT_ARCH_AARCH64;
constexpr unsigned kCompatArch = AUDIT_ARCH_ARM;
constexpr unsigned kCompatIoctl = 54;
constexpr unsigned kX32Bit = ~0u;  // no such table: never reached
#else
#error "no seccomp architecture for this machine"
#endif

sock_filter statement(unsigned short code, unsigned k) {
  return sock_filter{code, 0, 0, k};
}
sock_filter jumpIfEqual(unsigned k, unsigned char yes, unsigned char no) {
  return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, yes, no, k};
}

// The low half of the second argument (the request; ioctl numbers are 32 bits wide) on these
// little-endian machines.
constexpr unsigned kRequestOffset = offsetof(seccomp_data, args) + sizeof(__u64);

}  // namespace

std::string ttyInjectionFilter() {
  const unsigned nr = offsetof(seccomp_data, nr);
  const unsigned arch = offsetof(seccomp_data, arch);
  // A jump skips that many instructions; the comments give each one's number and targets.
  const std::vector<sock_filter> program = {
      statement(BPF_LD | BPF_W | BPF_ABS, arch),                                   // 0
      jumpIfEqual(kNativeArch, 1, 0),                                              // 1: 3 / 2
      jumpIfEqual(kCompatArch, 3, 9),                                              // 2: 6 / 12
      statement(BPF_LD | BPF_W | BPF_ABS, nr),                                     // 3
      sock_filter{BPF_JMP | BPF_JGE | BPF_K, 6, 0, kX32Bit},                       // 4: 11 / 5
      jumpIfEqual(SYS_ioctl, 2, 6),                                                // 5: 8 / 12
      statement(BPF_LD | BPF_W | BPF_ABS, nr),                                     // 6
      jumpIfEqual(kCompatIoctl, 0, 4),                                             // 7: 8 / 12
      statement(BPF_LD | BPF_W | BPF_ABS, kRequestOffset),                         // 8
      jumpIfEqual(TIOCSTI, 1, 0),                                                  // 9: 11 / 10
      jumpIfEqual(TIOCLINUX, 0, 1),                                                // 10: 11 / 12
      statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),  // 11
      statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),                               // 12
  };
  return std::string(reinterpret_cast<const char*>(program.data()), program.size() * sizeof(sock_filter));
}

}  // namespace caskel::cli
