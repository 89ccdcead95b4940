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

#include "platform/process_info.h"

namespace caskel {

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

  // "via " + name + tags + place, for prompt reasons. `home` is the user's home directory.
  std::string description(const std::string& home) const;
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

  // Nothing for a peer of another user (or unreadable credentials).
  std::optional<CallerInfo> identifyCaller(int fd);
  // The same for credentials the server has already read from the connection.
  std::optional<CallerInfo> identifyPeer(const PeerCredentials& creds);
  // The same walk for a known peer pid (used by identifyCaller and by tests and benchmarks).
  CallerInfo identifyPid(int32_t pid);

  bool recordCaller(const std::string& path);
  void loadKnownCallers();
  void saveKnownCallers();  // takes knownCallersLock_

  std::pair<std::string, int32_t> resolveMeaningfulAncestor(int32_t pid, const std::string& name);
  bool hasControllingTerminal(int32_t pid);
  bool isAgentProcess(int32_t pid);
  // The display name of a process: by its executable, or, for an interpreter running a
  // script, by the script's path when that names a known application.
  std::optional<std::string> processName(int32_t pid);

  const std::string& home() const { return home_; }

 private:
  // What one look at a process yields; `record` also gives the parent for the next step.
  struct ProcessView {
    std::optional<ProcessRecord> record;
    std::optional<std::string> name;
    bool marked = false;  // carries one of agentMarkerVariables()
  };
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
    std::optional<bool> marked;  // read only when an agent check needs it
  };

  ProcessView inspect(int32_t pid, bool withMarkers);
  // /proc/PID/stat, read once per process within one identification (the walks share it).
  std::optional<ProcessRecord> recordOf(int32_t pid);
  std::optional<std::string> executableOf(int32_t pid);
  std::string nameFromExecutable(int32_t pid, const std::string& executable);
  void saveKnownCallersLocked();

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
