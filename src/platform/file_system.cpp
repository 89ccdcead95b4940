#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <system_error>
#include <vector>

namespace caskel::fs {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

bool writeAll(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string configHome() {
  return envOr("XDG_CONFIG_HOME", homeDirectory() + "/.config");
}

std::string configDirectory() {
  return configHome() + "/caskel";
}

std::string dataDirectory() {
  return envOr("XDG_DATA_HOME", homeDirectory() + "/.local/share") + "/caskel";
}

std::string parentOf(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::optional<std::string> ownExecutablePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;  // failed or cut short
  return std::string(buf, static_cast<size_t>(n));
}

bool ensurePrivateDirectory(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) return false;
    return true;
  }
  std::string parent = parentOf(path);
  if (parent != path && ::stat(parent.c_str(), &st) != 0) {
    if (!ensurePrivateDirectory(parent)) return false;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  // mkdir honours the umask; the mode is set explicitly so a permissive umask cannot widen it.
  return ::chmod(path.c_str(), 0700) == 0;
}

bool writeFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
  std::string dir = parentOf(path);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 && !ensurePrivateDirectory(dir)) return false;
  std::random_device rd;
  std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(rd());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
    // Make the rename itself durable.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return true;
  }
  const int saved = errno;
  ::unlink(tmp.c_str());
  errno = saved;
  return false;
}

std::optional<mode_t> permissionsOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_mode & 07777;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string out = resolved;
  std::free(resolved);
  return out;
}

std::string lastErrorText() {
  return std::error_code(errno, std::generic_category()).message();
}

std::optional<std::string> readFile(const std::string& path, size_t maxBytes, bool followSymlinks) {
  // Non-blocking open and regular files only: a FIFO or device put where a settings file is
  // expected must not hang the reader (opening a FIFO waits for a writer) or feed it forever.
  int fd =
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followSymlinks ? 0 : O_NOFOLLOW));
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string out;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > maxBytes) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return out;
}

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size, st.st_ino};
}

bool removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

void removeTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      ::closedir(d);
      for (auto& n : names) removeTree(path + "/" + n);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

}  // namespace caskel::fs
