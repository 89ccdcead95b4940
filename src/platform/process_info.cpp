#include "platform/process_info.h"

#include <fcntl.h>
#include <poll.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "base/utf8.h"
#include "platform/network_namespace.h"
#include "platform/unix_socket.h"

namespace caskel {

namespace {

// /proc texts are read with a cap: a process controls its own argv and environment, and the
// server reads them on every connection.
constexpr size_t kMaxStatBytes = 4096;
constexpr size_t kMaxCommandLineBytes = 64 * 1024;
constexpr size_t kMaxEnvironmentBytes = 256 * 1024;

std::optional<std::string> readBounded(const std::string& path, size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[4096];
  while (out.size() < maxBytes) {
    ssize_t n = ::read(fd, buf, std::min(sizeof buf, maxBytes - out.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

std::optional<std::string> readLink(const std::string& path) {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;  // failed or cut short
  return std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> splitNul(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// btime of /proc/stat, read once: the kernel derives it from the wall clock minus the uptime, so
// rereading it could shift a process's start time by a second and break the session binding.
double bootTime() {
  static const double value = [] {
    auto text = readBounded("/proc/stat", 1024 * 1024);
    if (!text) return 0.0;
    size_t pos = text->find("\nbtime ");
    if (pos == std::string::npos) return 0.0;
    pos += 7;
    size_t end = text->find('\n', pos);
    long long seconds = 0;
    if (!parseNumber(std::string_view(*text).substr(pos, end == std::string::npos ? end : end - pos),
                     seconds)) {
      return 0.0;
    }
    return static_cast<double>(seconds);
  }();
  return value;
}

// An open /proc/PID/stat; closed when the last reader lets go of it.
struct StatHandle {
  explicit StatHandle(int descriptor) : fd(descriptor) {}
  ~StatHandle() { ::close(fd); }
  StatHandle(const StatHandle&) = delete;
  StatHandle& operator=(const StatHandle&) = delete;
  int fd;
};

// Handles of the processes seen lately: the callers' ancestors are read on every connection,
// and opening a /proc file costs more than reading it. Bounded, as every handle is a
// descriptor of the server's.
class StatHandleCache {
 public:
  std::shared_ptr<StatHandle> find(int32_t pid) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(pid);
    return it == handles_.end() ? nullptr : it->second;
  }
  void keep(int32_t pid, std::shared_ptr<StatHandle> handle) {
    std::lock_guard lock(mutex_);
    if (handles_.size() >= kMaxHandles && !handles_.count(pid)) handles_.clear();
    handles_[pid] = std::move(handle);
  }
  // Forgets `handle` unless another thread has already replaced it.
  void drop(int32_t pid, const std::shared_ptr<StatHandle>& handle) {
    std::lock_guard lock(mutex_);
    if (auto it = handles_.find(pid); it != handles_.end() && it->second == handle) handles_.erase(it);
  }

 private:
  static constexpr size_t kMaxHandles = 128;
  std::mutex mutex_;
  std::unordered_map<int32_t, std::shared_ptr<StatHandle>> handles_;
};

std::optional<ProcessRecord> readRecord(int fd, int32_t pid) {
  // The whole text fits one read; a seq_file restarts at offset 0.
  char buf[kMaxStatBytes];
  ssize_t n;
  do {
    n = ::pread(fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  static const long ticks = ::sysconf(_SC_CLK_TCK);
  auto rec = parseProcStat(std::string(buf, static_cast<size_t>(n)), bootTime(), ticks);
  if (!rec || rec->pid != pid) return std::nullopt;
  return rec;
}

class LinuxProcessInfo final : public ProcessInfo {
 public:
  std::optional<PeerCredentials> peerCredentials(int fd) override {
    PeerCredentials creds;
    if (!sock::peerCredentials(fd, creds.uid, creds.pid)) return std::nullopt;
    return creds;
  }

  std::optional<ProcessRecord> record(int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    // A handle kept from an earlier read is re-read in place; it stays bound to the process it
    // was opened for, so once that process is gone (and its pid possibly reused) the read fails
    // and the pid is looked up afresh.
    if (std::shared_ptr<StatHandle> kept = statHandles_.find(pid)) {
      if (auto rec = readRecord(kept->fd, pid)) return rec;
      statHandles_.drop(pid, kept);
    }
    int fd = ::open(procPath(pid, "stat").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    auto handle = std::make_shared<StatHandle>(fd);
    auto rec = readRecord(handle->fd, pid);
    if (rec) statHandles_.keep(pid, std::move(handle));
    return rec;
  }

  std::optional<std::string> executablePath(int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    // Inside its own user namespace the kernel closes these links to this process.
    if (auto outside = readOutside(OutsideRead::executable, pid)) return *outside;
    auto path = readLink(procPath(pid, "exe"));
    if (!path) return std::nullopt;
    // An executable replaced on disk (an upgrade) is still the same program to the user; the
    // kernel's marker would otherwise make it a new caller with a different name.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (path->size() > kDeleted.size() && path->ends_with(kDeleted))
      path->resize(path->size() - kDeleted.size());
    return sanitizeUtf8(*path);
  }

  std::optional<std::string> currentDirectory(int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    if (auto outside = readOutside(OutsideRead::directory, pid)) return *outside;
    auto path = readLink(procPath(pid, "cwd"));
    if (!path || path->empty()) return std::nullopt;
    return sanitizeUtf8(*path);
  }

  std::vector<std::string> commandLine(int32_t pid) override {
    if (pid <= 0) return {};
    auto text = readBounded(procPath(pid, "cmdline"), kMaxCommandLineBytes);
    if (!text) return {};
    std::vector<std::string> args = splitNul(*text);
    for (auto& arg : args) arg = sanitizeUtf8(arg);
    return args;
  }

  std::vector<std::string> environmentMarkers(int32_t pid, const std::vector<std::string>& names) override {
    if (pid <= 0 || names.empty()) return {};
    if (auto outside = readOutside(OutsideRead::environment, pid, names)) {
      std::vector<std::string> found;
      if (*outside) found = splitNul(**outside);
      return found;
    }
    auto text = readBounded(procPath(pid, "environ"), kMaxEnvironmentBytes);
    if (!text) return {};
    // Scanned in place: a new process's whole environment is read on its first connection.
    std::vector<std::string> found;
    std::string_view rest(*text);
    while (!rest.empty()) {
      size_t end = rest.find('\0');
      std::string_view entry = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      std::string_view name = entry.substr(0, entry.find('='));
      for (const std::string& wanted : names) {
        if (name == wanted && std::find(found.begin(), found.end(), wanted) == found.end())
          found.push_back(wanted);
      }
    }
    return found;
  }

  uint32_t currentUid() override { return ::getuid(); }

  bool peerAlive(const PeerCredentials& peer) override {
    if (peer.pidfd < 0) return true;
    // A pidfd turns readable once its process has exited, zombie or reaped.
    pollfd p{peer.pidfd, POLLIN, 0};
    int n;
    do {
      n = ::poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 0;
  }

 private:
  static std::string procPath(int32_t pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
  }

  StatHandleCache statHandles_;
};

}  // namespace

ProcessInfo& ProcessInfo::system() {
  static LinuxProcessInfo instance;
  return instance;
}

std::optional<ProcessRecord> parseProcStat(const std::string& text, double bootTime, long ticksPerSecond) {
  if (ticksPerSecond <= 0) return std::nullopt;
  // "pid (comm) state ppid ..." where comm may itself hold ") " — so the last ")" ends it.
  size_t open = text.find(" (");
  size_t close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open + 2) return std::nullopt;

  ProcessRecord rec;
  if (!parseNumber(std::string_view(text).substr(0, open), rec.pid) || rec.pid <= 0) return std::nullopt;
  rec.command = text.substr(open + 2, close - open - 2);

  // Fields after the name, counted from 0: state, ppid, pgrp, session, tty_nr, ... starttime (19).
  std::vector<std::string_view> fields;
  std::string_view rest = std::string_view(text).substr(close + 1);
  size_t i = 0;
  while (i < rest.size() && fields.size() < 20) {
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\n')) ++i;
    size_t start = i;
    while (i < rest.size() && rest[i] != ' ' && rest[i] != '\n') ++i;
    if (i > start) fields.push_back(rest.substr(start, i - start));
  }
  if (fields.size() < 20) return std::nullopt;

  unsigned long long startTicks = 0;
  if (fields[0].size() != 1 || !parseNumber(fields[1], rec.parentPid) || rec.parentPid < 0 ||
      !parseNumber(fields[3], rec.session) || !parseNumber(fields[4], rec.ttyNr) ||
      !parseNumber(fields[19], startTicks)) {
    return std::nullopt;
  }
  rec.state = fields[0][0];
  rec.startTime = bootTime + static_cast<double>(startTicks) / static_cast<double>(ticksPerSecond);
  return rec;
}

}  // namespace caskel
