#include "server/caller_info.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <nlohmann/json.hpp>

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

std::vector<std::string_view> pathPieces(std::string_view path) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) pieces.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
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
  const auto pieces = pathPieces(lowered);
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
  const auto pieces = pathPieces(text);
  if (pieces.size() >= 4) {
    return "\u2026/" + std::string(pieces[pieces.size() - 2]) + "/" + std::string(pieces.back());
  }
  return text;
}

std::string CallerInfo::description(const std::string& home) const {
  std::vector<std::string> tags;
  if (isFirstSeen) tags.emplace_back("NEW");
  if (!hasTTY) tags.emplace_back("background");
  std::string text = "via " + name;
  if (!tags.empty()) {
    text += " [";
    for (size_t i = 0; i < tags.size(); ++i) text += (i ? ", " : "") + tags[i];
    text += "]";
  }
  if (cwd && !cwd->empty()) text += " in " + shortenPath(*cwd, home);
  return text;
}

// ---- identification

namespace {
// The records read during the identification running on this thread; the three walks over
// the same ancestors share them instead of reading /proc/PID/stat up to 40 times.
thread_local std::map<int32_t, std::optional<ProcessRecord>>* recordMemo = nullptr;

struct RecordMemoScope {
  std::map<int32_t, std::optional<ProcessRecord>> records;
  std::map<int32_t, std::optional<ProcessRecord>>* previous;
  RecordMemoScope() : previous(recordMemo) { recordMemo = &records; }
  ~RecordMemoScope() { recordMemo = previous; }
};
}  // namespace

std::optional<ProcessRecord> CallerIdentifier::recordOf(int32_t pid) {
  if (!recordMemo) return processes_.record(pid);
  if (auto it = recordMemo->find(pid); it != recordMemo->end()) return it->second;
  auto rec = processes_.record(pid);
  recordMemo->emplace(pid, rec);
  return rec;
}

std::optional<std::string> CallerIdentifier::executableOf(int32_t pid) {
  if (auto rec = recordOf(pid)) {
    std::lock_guard lock(cacheLock_);
    if (auto it = cache_.find(CacheKey{pid, rec->startTime, rec->command}); it != cache_.end()) {
      return it->second.executable;
    }
  }
  return processes_.executablePath(pid);
}

CallerIdentifier::CallerIdentifier(ProcessInfo& processes, std::string knownCallersPath, std::string home)
    : processes_(processes),
      knownCallersPath_(knownCallersPath.empty() ? fs::configDirectory() + "/known_callers.json"
                                                 : std::move(knownCallersPath)),
      home_(home.empty() ? fs::homeDirectory() : std::move(home)) {}

std::optional<CallerInfo> CallerIdentifier::identifyCaller(int fd) {
  auto creds = processes_.peerCredentials(fd);
  if (!creds) return std::nullopt;
  return identifyPeer(*creds);
}

std::optional<CallerInfo> CallerIdentifier::identifyPeer(const PeerCredentials& creds) {
  if (creds.uid != processes_.currentUid()) return std::nullopt;
  if (creds.pid <= 0) {
    // The peer lives where its pid cannot be seen (another pid namespace): identify nothing.
    CallerInfo unknown;
    unknown.name = "unknown";
    unknown.isFirstSeen = true;
    return unknown;
  }
  return identifyPid(creds.pid);
}

CallerInfo CallerIdentifier::identifyPid(int32_t pid) {
  RecordMemoScope memo;
  CallerInfo info;
  info.pid = pid;
  std::string peerName = processName(pid).value_or("pid " + std::to_string(pid));
  info.hasTTY = hasControllingTerminal(pid);
  std::tie(info.name, info.resolvedPid) = resolveMeaningfulAncestor(pid, peerName);
  info.cwd = processes_.currentDirectory(info.resolvedPid);
  info.resolvedPath = executableOf(info.resolvedPid);
  if (auto rec = recordOf(info.resolvedPid)) info.resolvedStartTime = rec->startTime;
  info.isFirstSeen = info.resolvedPath ? recordCaller(*info.resolvedPath) : true;
  info.isAgent = isAgentProcess(pid);
  return info;
}

std::pair<std::string, int32_t> CallerIdentifier::resolveMeaningfulAncestor(int32_t pid,
                                                                            const std::string& name) {
  std::pair<std::string, int32_t> current{name, pid};
  if (!isWrapperName(name)) return current;
  std::optional<ProcessRecord> rec = recordOf(pid);
  for (int step = 1; step <= 10; ++step) {
    if (!rec || rec->parentPid < 2) return current;
    const int32_t parent = rec->parentPid;
    ProcessView view = inspect(parent, false);
    if (!view.name) return current;
    if (step == 10 || !isWrapperName(*view.name)) return {*view.name, parent};
    current = {*view.name, parent};
    rec = view.record;
  }
  return current;
}

bool CallerIdentifier::hasControllingTerminal(int32_t pid) {
  int32_t current = pid;
  for (int examined = 1; examined <= 10; ++examined) {
    auto rec = recordOf(current);
    if (!rec) return false;
    if (rec->ttyNr != 0) return true;
    if (rec->parentPid < 2) return false;
    current = rec->parentPid;
  }
  return false;
}

bool CallerIdentifier::isAgentProcess(int32_t pid) {
  int32_t current = pid;
  for (int examined = 1; examined <= 20; ++examined) {
    ProcessView view = inspect(current, true);
    // A process whose path cannot be read is skipped, not a reason to stop.
    if (view.name && isAgentName(lowerAscii(*view.name))) return true;
    if (view.marked) return true;
    if (!view.record || view.record->parentPid < 2) return false;
    current = view.record->parentPid;
  }
  return false;
}

std::optional<std::string> CallerIdentifier::processName(int32_t pid) {
  return inspect(pid, false).name;
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

CallerIdentifier::ProcessView CallerIdentifier::inspect(int32_t pid, bool withMarkers) {
  ProcessView view;
  view.record = recordOf(pid);
  if (!view.record) {
    // Gone or unreadable: nothing stable to cache under.
    if (auto executable = processes_.executablePath(pid)) view.name = nameFromExecutable(pid, *executable);
    if (withMarkers) view.marked = !processes_.environmentMarkers(pid, agentMarkerVariables()).empty();
    return view;
  }
  CacheKey key{pid, view.record->startTime, view.record->command};
  CachedFacts facts;
  bool known = false;
  {
    std::lock_guard lock(cacheLock_);
    if (auto it = cache_.find(key); it != cache_.end()) {
      facts = it->second;
      known = true;
    }
  }
  if (known && (!withMarkers || facts.marked)) {
    view.name = facts.name;
    view.marked = facts.marked.value_or(false);
    return view;
  }
  if (!known) {
    std::optional<std::string> executable = processes_.executablePath(pid);
    if (!executable) {
      if (withMarkers) view.marked = !processes_.environmentMarkers(pid, agentMarkerVariables()).empty();
      return view;
    }
    facts.executable = *executable;
    facts.name = nameFromExecutable(pid, *executable);
  }
  if (withMarkers && !facts.marked) {
    facts.marked = !processes_.environmentMarkers(pid, agentMarkerVariables()).empty();
  }
  view.name = facts.name;
  view.marked = facts.marked.value_or(false);
  std::lock_guard lock(cacheLock_);
  if (cache_.size() >= kMaxCachedProcesses) cache_.clear();
  cache_[std::move(key)] = std::move(facts);
  return view;
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
