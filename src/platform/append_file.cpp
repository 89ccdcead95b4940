#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace caskel::fs {

namespace {

// O_NONBLOCK keeps a FIFO planted at the path from blocking the caller forever; for a regular
// file it changes nothing. Anything but a regular file is refused after the open.
int openRegular(const std::string& path, int flags, mode_t mode = 0) {
  int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<uint64_t> sizeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

bool renamePath(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool appendPrivately(const std::string& path, std::string_view data) {
  int fd = openRegular(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0;
  // One write call: the kernel appends it as a unit, so concurrent writers never interleave.
  ssize_t n = ::write(fd, data.data(), data.size());
  ::close(fd);
  return ok && n == static_cast<ssize_t>(data.size());
}

}  // namespace caskel::fs
