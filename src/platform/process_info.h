#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace caskel {

// What the kernel tells about a process, read from /proc. Every call may fail (the process
// ended, or is not ours to inspect); failure is nothing / false, never an exception.
struct ProcessRecord {
  int32_t pid = 0;
  int32_t parentPid = 0;
  int32_t ttyNr = 0;        // 0: no controlling terminal
  double startTime = 0;     // seconds since 1970 (boot time + start ticks / clock ticks)
  std::string command;      // the name in /proc/PID/stat, may hold spaces and parentheses
  int32_t session = 0;      // session id (the pid of the session's leader)
  char state = 'R';         // 'Z' (zombie) or 'X' (dead): the process has exited
};

struct PeerCredentials {
  uint32_t uid = 0;
  int32_t pid = 0;
  // A pidfd of the connecting process (SO_PEERPIDFD), owned by the connection; -1 where the
  // kernel offers none. It names that very process, so a reused pid cannot pass for it.
  int pidfd = -1;
};

class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  virtual std::optional<PeerCredentials> peerCredentials(int fd) = 0;  // SO_PEERCRED
  virtual std::optional<ProcessRecord> record(int32_t pid) = 0;         // /proc/PID/stat
  virtual std::optional<std::string> executablePath(int32_t pid) = 0;   // /proc/PID/exe
  virtual std::optional<std::string> currentDirectory(int32_t pid) = 0; // /proc/PID/cwd
  virtual std::vector<std::string> commandLine(int32_t pid) = 0;        // /proc/PID/cmdline
  // The names of the environment variables of the process that are among `names`.
  virtual std::vector<std::string> environmentMarkers(int32_t pid, const std::vector<std::string>& names) = 0;
  virtual uint32_t currentUid() = 0;
  // False when the peer's pidfd says its process has exited (a zombie included); true without a
  // pidfd (the caller then relies on the start time alone).
  virtual bool peerAlive(const PeerCredentials& peer) = 0;

  // The real /proc implementation.
  static ProcessInfo& system();
};

// Parses the text of /proc/PID/stat (fields after the last ")"); nothing when malformed.
// `bootTime` is btime of /proc/stat, `ticksPerSecond` sysconf(_SC_CLK_TCK).
std::optional<ProcessRecord> parseProcStat(const std::string& text, double bootTime, long ticksPerSecond);

}  // namespace caskel
