#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/auth_context.h"
#include "platform/process_info.h"
#include "server/process_snapshot.h"
#include "session/session_manager.h"

namespace caskel {

// A sandbox started by `caskel sandbox`: what its prompts name, and the process that runs it
// (the tool), to which its sessions are bound.
struct SandboxIdentity {
  std::string command;  // the sandboxed program's name, as the tool gave it
  std::string project;  // the writable project directory
  int32_t anchorPid = 0;
  double anchorStartTime = 0;
};

// Who is on the other end of a connection, after walking its process tree.
struct CallerInfo {
  int32_t pid = 0;
  int32_t resolvedPid = 0;
  std::optional<std::string> resolvedPath;
  double resolvedStartTime = 0;
  std::string name;
  bool hasTTY = false;
  std::optional<std::string> cwd;
  bool isFirstSeen = false;
  bool isAgent = false;
  // Detached from the program it runs for (no terminal, adopted by a reaper): nothing in its
  // ancestry vouches for it, so it is served like an agent.
  bool detached = false;
  // Connected through a sandbox's own socket: an agent by construction, never walked.
  bool sandboxed = false;
  int32_t terminal = 0;      // the connecting process's controlling terminal (tty_nr), 0: none
  double peerStartTime = 0;  // start time of the connecting process

  // Agents and detached callers get values only through the encrypted hand-off.
  bool treatedAsAgent() const { return isAgent || detached; }
  // Who holds a session or a recent yes: the resolved process, its terminal, its agent-ness.
  SessionBinding binding() const {
    return SessionBinding{resolvedPid, resolvedStartTime, terminal, treatedAsAgent()};
  }
  Requester requester() const {
    return Requester{resolvedPid, resolvedStartTime, terminal, treatedAsAgent()};
  }

  // "via " + name + tags + place, for prompt reasons, with every caller-controlled text made
  // safe to show. `home` is the user's home directory.
  std::string description(const std::string& home) const;
};

// The outcome of admitting a connection.
struct Admission {
  enum class Status { admitted, unauthorized, unidentified };
  Status status = Status::unidentified;
  CallerInfo caller;  // meaningful when admitted
  static constexpr const char* kUnauthorized = "Unauthorized: peer UID mismatch";
  static constexpr const char* kUnidentified = "Caller could not be identified";
};

struct KnownCaller {
  double firstSeen = 0;  // seconds since 2001-01-01 00:00:00 UTC
  std::string path;
};

// Identifies callers and remembers the executables seen before (known_callers.json).
class CallerIdentifier {
 public:
  // `knownCallersPath` defaults to known_callers.json in the configuration directory.
  explicit CallerIdentifier(ProcessInfo& processes = ProcessInfo::system(), std::string knownCallersPath = {},
                            std::string home = {});

  // Admits the peer of a connection from the credentials the server read from it. A caller is
  // identified only when its process is alive and every fact about it could be read; with no
  // pidfd, a start time later than `admittedAt` (seconds since 1970) means a reused pid.
  Admission identifyPeer(const PeerCredentials& creds, double admittedAt = 0);
  // Admits a connection on a sandbox's socket: the sandbox names the caller, whichever of its
  // processes connected, once the peer is found to be ours, alive and inside the sandbox.
  Admission identifySandboxed(const PeerCredentials& creds, const SandboxIdentity& sandbox);
  // The walk for a known peer pid; nothing when the process cannot be read.
  std::optional<CallerInfo> identifyPid(int32_t pid);
  // True while the process that connected still runs as the one identified: checked again
  // when its request has arrived, so that a request is never served for a process that exited.
  bool stillConnected(const PeerCredentials& creds, const CallerInfo& caller);

  // The caller's ancestry, read once.
  std::optional<ProcessSnapshot> snapshot(int32_t pid);

  bool recordCaller(const std::string& path);
  void loadKnownCallers();
  void saveKnownCallers();  // takes knownCallersLock_

  // The display name of a process: by its executable, or, for an interpreter running a
  // script, by the script's path when that names a known application.
  std::optional<std::string> processName(int32_t pid);

  const std::string& home() const { return home_; }

 private:
  // Facts that cannot change while a process keeps its pid, start time and command name (the
  // start time guards against pid reuse; the command name changes on exec). Keyed this way, a
  // known process costs one read of /proc/PID/stat per connection, not a path lookup too.
  struct CacheKey {
    int32_t pid = 0;
    double startTime = 0;
    std::string command;
    bool operator<(const CacheKey& o) const {
      return std::tie(pid, startTime, command) < std::tie(o.pid, o.startTime, o.command);
    }
  };
  struct CachedFacts {
    std::string executable;
    std::string name;
    bool marked = false;
  };

  // Executable, name and markers of a process, from the cache when it was seen before.
  void describe(int32_t pid, ProcessEntry& entry);
  std::string nameFromExecutable(int32_t pid, const std::string& executable);
  void saveKnownCallersLocked();

  // Agents nest shells and interpreters; a chain longer than this is refused.
  static constexpr size_t kMaxSandboxDepth = 64;

  ProcessInfo& processes_;
  std::string knownCallersPath_;
  std::string home_;
  std::mutex knownCallersLock_;
  std::map<std::string, KnownCaller> knownCallers_;
  std::mutex cacheLock_;  // never held together with knownCallersLock_
  std::map<CacheKey, CachedFacts> cache_;
};

// Last known application name among the lower-cased path pieces, else the last component.
std::string displayName(std::string_view path);
// "~" for the home prefix; "…/" + the last two pieces when four or more remain.
std::string shortenPath(const std::string& path, const std::string& home);
bool isWrapperName(std::string_view name);
bool isAgentName(std::string_view name);
bool isKnownAppName(std::string_view name);
// Environment variables that agents set for the shells they start.
const std::vector<std::string>& agentMarkerVariables();

}  // namespace caskel
