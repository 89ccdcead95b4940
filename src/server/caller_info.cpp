#include "server/caller_info.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <nlohmann/json.hpp>

#include "base/display_text.h"
#include "base/key_path.h"
#include "platform/file_system.h"

namespace caskel {

namespace {

constexpr std::array<std::string_view, 7> kKnownAppNames = {"claude", "codex",   "cursor", "windsurf",
                                                            "code",   "ghostty", "iterm2"};
constexpr std::array<std::string_view, 4> kAgentNames = {"claude", "codex", "cursor", "windsurf"};
// The shells and interpreters a caller's command runs in, including their Linux spellings.
constexpr std::array<std::string_view, 13> kWrapperNames = {"bash",    "zsh",    "sh",    "fish",   "Python",
                                                            "python3", "python", "env",   "caskel", "node",
                                                            "dash",    "ksh",    "nodejs"};
// Interpreters whose script, not their own executable, names the program.
constexpr std::array<std::string_view, 8> kInterpreters = {"node",   "nodejs", "bun",  "deno",
                                                           "python", "Python", "ruby", "perl"};

// Seconds between 1970-01-01 and 2001-01-01 (UTC), the epoch of "firstSeen".
constexpr double kReferenceEpoch = 978307200.0;
constexpr size_t kMaxKnownCallersBytes = 16 * 1024 * 1024;
constexpr size_t kMaxCachedProcesses = 512;

template <size_t N>
bool contains(const std::array<std::string_view, N>& set, std::string_view name) {
  return std::find(set.begin(), set.end(), name) != set.end();
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// "python3.11" -> "python", "perl5.36" -> "perl": the name without a trailing version.
std::string_view withoutVersion(std::string_view name) {
  size_t end = name.size();
  while (end > 0 && ((name[end - 1] >= '0' && name[end - 1] <= '9') || name[end - 1] == '.')) --end;
  return name.substr(0, end);
}

std::string lastPathComponent(std::string_view path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return path.empty() ? std::string() : std::string("/");
  size_t slash = path.rfind('/', end);
  return std::string(path.substr(slash == std::string_view::npos ? 0 : slash + 1,
                                 end - (slash == std::string_view::npos ? 0 : slash + 1) + 1));
}

bool isInterpreter(std::string_view executableName) {
  return contains(kInterpreters, executableName) || contains(kInterpreters, withoutVersion(executableName));
}

// The script an interpreter was started with: the first argument that is not an option, after
// options that take the next argument as their value; none for inline code ("-c", "-e", "-m").
std::optional<std::string> scriptArgument(const std::vector<std::string>& args,
                                          std::string_view interpreter) {
  static constexpr std::array<std::string_view, 8> kInlineCode = {"-c",     "-e",      "-p", "-m",
                                                                  "--eval", "--print", "-E", "-"};
  static constexpr std::array<std::string_view, 9> kTakesValue = {
      "-r", "--require", "--import", "--loader", "--experimental-loader", "-W", "-X", "-I", "--config"};
  const bool hasRunCommand = withoutVersion(interpreter) == "deno" || withoutVersion(interpreter) == "bun";
  for (size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") return i + 1 < args.size() ? std::optional<std::string>(args[i + 1]) : std::nullopt;
    if (contains(kInlineCode, arg)) return std::nullopt;
    if (contains(kTakesValue, arg)) {
      ++i;
      continue;
    }
    if (arg.starts_with("-")) continue;
    if (hasRunCommand && arg == "run") continue;
    return std::string(arg);
  }
  return std::nullopt;
}

double nowSinceReferenceEpoch() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() - kReferenceEpoch;
}

}  // namespace

// ---- names and texts

bool isWrapperName(std::string_view name) {
  if (contains(kWrapperNames, name)) return true;
  // Versioned interpreters: python3.11, python2.7.
  return (name.starts_with("python") || name.starts_with("Python")) && name.size() > 6 &&
         withoutVersion(name).size() == 6;
}

bool isAgentName(std::string_view name) {
  return contains(kAgentNames, name);
}

bool isKnownAppName(std::string_view name) {
  return contains(kKnownAppNames, name);
}

const std::vector<std::string>& agentMarkerVariables() {
  static const std::vector<std::string> names = {"CLAUDECODE", "CLAUDE_CODE_ENTRYPOINT"};
  return names;
}

std::string displayName(std::string_view path) {
  const std::string lowered = lowerAscii(path);
  const auto pieces = keyPathComponents(lowered);
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    if (isKnownAppName(*it)) return std::string(*it);
  }
  return lastPathComponent(path);
}

std::string shortenPath(const std::string& path, const std::string& home) {
  std::string text = path;
  std::string_view homeDir = home;
  while (homeDir.size() > 1 && homeDir.ends_with('/')) homeDir.remove_suffix(1);
  // Only at a directory boundary: /home/al must not turn /home/alice into "~ice".
  if (homeDir.size() > 1 && path.starts_with(homeDir) &&
      (path.size() == homeDir.size() || path[homeDir.size()] == '/')) {
    text = "~" + path.substr(homeDir.size());
  }
  const auto pieces = keyPathComponents(text);
  if (pieces.size() >= 4) {
    return "\u2026/" + std::string(pieces[pieces.size() - 2]) + "/" + std::string(pieces.back());
  }
  return text;
}

std::string CallerInfo::description(const std::string& home) const {
  std::vector<std::string> tags;
  // An agent is named as one first: that is what the user must weigh.
  if (isAgent) tags.emplace_back("AI agent");
  if (sandboxed) {
    // The sandbox is the whole story: its processes' terminals and executables say nothing more.
    tags.emplace_back("sandboxed");
  } else {
    if (isFirstSeen) tags.emplace_back("NEW");
    if (detached) {
      tags.emplace_back("detached");
    } else if (!hasTTY) {
      tags.emplace_back("background");
    }
  }
  std::string text = "via " + displaySafe(name, kMaxShownName);
  if (!tags.empty()) {
    text += " [";
    for (size_t i = 0; i < tags.size(); ++i) text += (i ? ", " : "") + tags[i];
    text += "]";
  }
  if (cwd && !cwd->empty()) text += " in " + displaySafe(shortenPath(*cwd, home), kMaxShownPath);
  return text;
}

// ---- identification

CallerIdentifier::CallerIdentifier(ProcessInfo& processes, std::string knownCallersPath, std::string home)
    : processes_(processes),
      knownCallersPath_(knownCallersPath.empty() ? fs::configDirectory() + "/known_callers.json"
                                                 : std::move(knownCallersPath)),
      home_(home.empty() ? fs::homeDirectory() : std::move(home)) {}

Admission CallerIdentifier::identifyPeer(const PeerCredentials& creds, double admittedAt) {
  Admission admission;
  if (creds.uid != processes_.currentUid()) {
    admission.status = Admission::Status::unauthorized;
    return admission;
  }
  // A peer whose pid cannot be seen (another pid namespace) or read is nobody we can name.
  if (creds.pid <= 0) return admission;
  std::optional<CallerInfo> caller = identifyPid(creds.pid);
  if (!caller) return admission;
  // Without a pidfd the start time is the only guard against a pid reused since the connect;
  // start times are known to the clock tick, boot time to the second.
  if (creds.pidfd < 0 && admittedAt > 0 && caller->peerStartTime > admittedAt + 1.0) return admission;
  // Alive now means alive while it was read: its pid could not have been reused meanwhile.
  if (!processes_.peerAlive(creds)) return admission;
  caller->isFirstSeen = caller->resolvedPath ? recordCaller(*caller->resolvedPath) : true;
  admission.status = Admission::Status::admitted;
  admission.caller = std::move(*caller);
  return admission;
}

Admission CallerIdentifier::identifySandboxed(const PeerCredentials& creds, const SandboxIdentity& sandbox) {
  Admission admission;
  if (creds.uid != processes_.currentUid()) {
    admission.status = Admission::Status::unauthorized;
    return admission;
  }
  if (creds.pid <= 0) return admission;
  std::optional<ProcessRecord> rec = processes_.record(creds.pid);
  if (!rec || rec->state == 'Z' || rec->state == 'X' || !processes_.peerAlive(creds)) return admission;
  // Only the sandbox's own processes: they descend from the tool that runs it, and inside its
  // process namespace an orphan is adopted by the sandbox's init, never by anything outside.
  // Another process of the user that reaches the socket's directory is not the sandbox.
  bool inside = false;
  std::optional<ProcessRecord> step = rec;
  for (size_t depth = 0; step && !inside && depth < kMaxSandboxDepth; ++depth) {
    inside = step->pid == sandbox.anchorPid && step->startTime == sandbox.anchorStartTime;
    step = step->parentPid > 1 ? processes_.record(step->parentPid) : std::nullopt;
  }
  if (!inside) return admission;
  CallerInfo& caller = admission.caller;
  caller.pid = creds.pid;
  caller.peerStartTime = rec->startTime;
  caller.resolvedPid = sandbox.anchorPid;
  caller.resolvedStartTime = sandbox.anchorStartTime;
  caller.name = sandbox.command;
  caller.cwd = sandbox.project;
  caller.hasTTY = true;
  caller.isAgent = true;
  caller.sandboxed = true;
  admission.status = Admission::Status::admitted;
  return admission;
}

bool CallerIdentifier::stillConnected(const PeerCredentials& creds, const CallerInfo& caller) {
  if (creds.pid <= 0 || !processes_.peerAlive(creds)) return false;
  // A live pidfd names the very process that connected: nothing more to read on this path,
  // which every request takes.
  if (creds.pidfd >= 0) return true;
  auto rec = processes_.record(creds.pid);
  return rec && rec->state != 'Z' && rec->state != 'X' && rec->startTime == caller.peerStartTime;
}

std::optional<ProcessSnapshot> CallerIdentifier::snapshot(int32_t pid) {
  ProcessSnapshot snap;
  int32_t current = pid;
  while (snap.chain.size() < ProcessSnapshot::kMaxDepth) {
    std::optional<ProcessRecord> rec = processes_.record(current);
    if (!rec) break;
    ProcessEntry entry;
    entry.record = std::move(*rec);
    describe(current, entry);
    const int32_t parent = entry.record.parentPid;
    snap.chain.push_back(std::move(entry));
    if (parent < 2) break;
    current = parent;
  }
  // The connecting process itself must be fully readable and running.
  if (snap.chain.empty() || !snap.chain[0].executable) return std::nullopt;
  const char state = snap.chain[0].record.state;
  if (state == 'Z' || state == 'X') return std::nullopt;
  return snap;
}

std::optional<CallerInfo> CallerIdentifier::identifyPid(int32_t pid) {
  std::optional<ProcessSnapshot> snap = snapshot(pid);
  if (!snap) return std::nullopt;
  CallerVerdict verdict = classifyCaller(*snap);
  const ProcessEntry& resolved = snap->chain[verdict.resolved];
  CallerInfo info;
  info.pid = pid;
  info.peerStartTime = snap->chain[0].record.startTime;
  info.resolvedPid = resolved.record.pid;
  info.resolvedPath = resolved.executable;
  info.resolvedStartTime = resolved.record.startTime;
  info.name = std::move(verdict.name);
  info.hasTTY = verdict.hasTTY;
  info.terminal = verdict.terminal;
  info.isAgent = verdict.isAgent;
  info.detached = verdict.detached;
  info.cwd = processes_.currentDirectory(info.resolvedPid);
  return info;
}

std::optional<std::string> CallerIdentifier::processName(int32_t pid) {
  ProcessEntry entry;
  auto rec = processes_.record(pid);
  if (!rec) return std::nullopt;
  entry.record = *rec;
  describe(pid, entry);
  return entry.name;
}

std::string CallerIdentifier::nameFromExecutable(int32_t pid, const std::string& executable) {
  std::string name = displayName(executable);
  const std::string base = lastPathComponent(executable);
  if (isKnownAppName(name) || !isInterpreter(base)) return name;
  const std::vector<std::string> args = processes_.commandLine(pid);
  if (args.empty()) return name;
  if (auto script = scriptArgument(args, base)) {
    if (std::string scriptName = displayName(*script); isKnownAppName(scriptName)) return scriptName;
  }
  // A program may retitle itself (its argv becomes e.g. "claude"), hiding the script.
  std::string title = args[0].substr(0, args[0].find(' '));
  if (std::string titleName = displayName(title); isKnownAppName(titleName)) return titleName;
  return name;
}

void CallerIdentifier::describe(int32_t pid, ProcessEntry& entry) {
  // Facts that cannot change while a process keeps its pid, start time and command name (the
  // start time guards against pid reuse; the command name changes on exec).
  CacheKey key{pid, entry.record.startTime, entry.record.command};
  {
    std::lock_guard lock(cacheLock_);
    if (auto it = cache_.find(key); it != cache_.end()) {
      entry.executable = it->second.executable;
      entry.name = it->second.name;
      entry.marked = it->second.marked;
      return;
    }
  }
  entry.executable = processes_.executablePath(pid);
  entry.marked = !processes_.environmentMarkers(pid, agentMarkerVariables()).empty();
  if (!entry.executable) return;  // gone or not ours to read: nothing stable to cache
  entry.name = nameFromExecutable(pid, *entry.executable);
  std::lock_guard lock(cacheLock_);
  if (cache_.size() >= kMaxCachedProcesses) cache_.clear();
  cache_[std::move(key)] = CachedFacts{*entry.executable, *entry.name, entry.marked};
}

// ---- known callers

bool CallerIdentifier::recordCaller(const std::string& path) {
  std::lock_guard lock(knownCallersLock_);
  if (knownCallers_.count(path)) return false;
  knownCallers_[path] = KnownCaller{nowSinceReferenceEpoch(), path};
  saveKnownCallersLocked();
  return true;
}

void CallerIdentifier::loadKnownCallers() {
  auto text = fs::readFile(knownCallersPath_, kMaxKnownCallersBytes);
  if (!text) return;
  nlohmann::json doc = nlohmann::json::parse(*text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return;
  std::map<std::string, KnownCaller> loaded;
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    const nlohmann::json& entry = it.value();
    if (!entry.is_object()) return;
    auto firstSeen = entry.find("firstSeen");
    auto path = entry.find("path");
    if (firstSeen == entry.end() || !firstSeen->is_number() || path == entry.end() || !path->is_string())
      return;
    loaded[it.key()] = KnownCaller{firstSeen->get<double>(), path->get<std::string>()};
  }
  std::lock_guard lock(knownCallersLock_);
  knownCallers_ = std::move(loaded);
}

void CallerIdentifier::saveKnownCallers() {
  std::lock_guard lock(knownCallersLock_);
  saveKnownCallersLocked();
}

void CallerIdentifier::saveKnownCallersLocked() {
  nlohmann::json doc = nlohmann::json::object();
  for (const auto& [key, caller] : knownCallers_) {
    doc[key] = {{"firstSeen", caller.firstSeen}, {"path", caller.path}};
  }
  // Failure is ignored: the map in memory stays right for this run.
  fs::writeFileAtomically(knownCallersPath_,
                          doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), 0600);
}

}  // namespace caskel
