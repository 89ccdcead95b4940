// The running caskeld is hardened: other processes of the same user cannot read its memory.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <thread>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

struct ProbeResult {
  int attach = 0;  // errno of PTRACE_SEIZE, 0 when it succeeded
  int memory = 0;  // errno of opening /proc/PID/mem
  int vmRead = 0;  // errno of process_vm_readv
};

long probeTarget = 0;

bool dropCapabilitiesOfThisThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Tries to reach `pid`'s memory from a thread of this process that holds no capabilities:
// capabilities belong to a thread, so dropping them there takes root's CAP_SYS_PTRACE away
// from the probe alone. A tracee is released when the thread that seized it ends.
std::optional<ProbeResult> probeWithoutCapabilities(pid_t pid) {
  std::optional<ProbeResult> result;
  std::thread prober([&] {
    if (!dropCapabilitiesOfThisThread()) return;
    ProbeResult r;
    r.attach = ::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0 ? 0 : errno;
    int fd = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    r.memory = fd >= 0 ? 0 : errno;
    if (fd >= 0) ::close(fd);
    long copy = 0;
    iovec local{&copy, sizeof copy};
    iovec remote{&probeTarget, sizeof probeTarget};
    r.vmRead = ::process_vm_readv(pid, &local, 1, &remote, 1, 0) == sizeof copy ? 0 : errno;
    result = r;
  });
  prober.join();
  return result;
}

// The server runs under a syscall filter without new privileges, and a process of the same user
// cannot read its memory.
TEST(HardeningTest, TheServerIsFilteredAndItsMemoryClosedToTheSameUser) {
  // Root without capabilities stands for an ordinary user: the server gets none either, or the
  // probe would be refused merely for holding fewer capabilities than its target.
  const auto launcher = unprivilegedLauncher();
  CaskeldProcess server([&](auto& o) { o.launcher = launcher; });
  ASSERT_TRUE(server.start()) << server.output();
  const std::string status = readText("/proc/" + std::to_string(server.pid()) + "/status");
  for (const char* line : {"Seccomp:\t2", "NoNewPrivs:\t1", "CapPrm:\t0000000000000000"})
    EXPECT_TRUE(has(status, line)) << status;
  // The control: an ordinary process in the same position, which the same probe can read.
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t control = spawn({"true"}, {}, [&] {
    dropCapabilitiesOfThisThread();
    if (::write(ready[1], "x\n", 2) != 2) ::_exit(1);
    for (;;) ::pause();
  });
  // Probed only once its capabilities are gone: before, it outranks the probe, which then fails.
  ::close(ready[1]);
  ASSERT_EQ(readLine(ready[0]), "x");
  std::optional<ProbeResult> open = probeWithoutCapabilities(control);
  awaitExit(control, 0);  // killed
  if (!open) GTEST_SKIP() << "cannot drop capabilities on a thread here";
  if (open->attach != 0 || open->memory != 0 || open->vmRead != 0) {
    GTEST_SKIP() << "this system refuses the probe even against an ordinary process (errno " << open->attach
                 << ", " << open->memory << ", " << open->vmRead << ")";
  }

  std::optional<ProbeResult> refused = probeWithoutCapabilities(server.pid());
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->attach, EPERM);
  EXPECT_EQ(refused->memory, EACCES);
  EXPECT_EQ(refused->vmRead, EPERM);
  EXPECT_TRUE(server.running());
  // Asked by a caller as unprivileged as the server: one with more capabilities than the server
  // could not even be identified, since its /proc entries are closed to the server.
  std::vector<std::string> client = launcher;
  client.push_back(CaskeldProcess::rawClientPath());
  EXPECT_EQ(server.ask(client, {{"cmd", "version"}})["ok"], true);
}

}  // namespace
}  // namespace caskel::test
