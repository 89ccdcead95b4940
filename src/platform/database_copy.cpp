#include "platform/database_copy.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file_system.h"

namespace caskel::database_copy {

namespace {

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void syncDirectory(const std::string& dir) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  ::fsync(dfd);
  ::close(dfd);
}

bool syncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

Result resultOf(int rc) {
  if (rc == SQLITE_DONE || rc == SQLITE_OK) return Result::ok;
  if ((rc & 0xFF) == SQLITE_NOTADB || (rc & 0xFF) == SQLITE_CORRUPT) return Result::notDatabase;
  return Result::ioError;
}

}  // namespace

Result checkTarget(const std::string& target, bool replace) {
  if (target.empty() || target.front() != '/' || target.back() == '/') return Result::notRegular;
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) return Result::symlink;
    if (!S_ISREG(st.st_mode)) return Result::notRegular;
    if (!replace) return Result::exists;
  } else if (errno != ENOENT) {
    return errno == EACCES ? Result::notWritable : Result::ioError;
  }
  std::string dir = fs::parentOf(target);
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Result::notWritable;
  return ::access(dir.c_str(), W_OK | X_OK) == 0 ? Result::ok : Result::notWritable;
}

std::string makePrivateSibling(const std::string& sibling) {
  std::string pattern = fs::parentOf(sibling) + "/." + baseName(sibling) + ".XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return {};
  // mkostemp makes it 0600 less the umask; said again, so the copy is never wider or narrower.
  bool ok = ::fchmod(fd, 0600) == 0;
  ::close(fd);
  if (!ok) {
    ::unlink(pattern.c_str());
    return {};
  }
  return pattern;
}

Result copy(sqlite3* from, const std::string& to) {
  sqlite3* dest = nullptr;
  if (sqlite3_open_v2(to.c_str(), &dest, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    sqlite3_close_v2(dest);
    return Result::ioError;
  }
  int rc = SQLITE_ERROR;
  if (sqlite3_backup* backup = sqlite3_backup_init(dest, "main", from, "main")) {
    rc = sqlite3_backup_step(backup, -1);
    int finished = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE && finished != SQLITE_OK) rc = finished;
  } else {
    rc = sqlite3_extended_errcode(dest);
  }
  // The source's WAL mode came along in the header; a copy is one self-contained file.
  if (rc == SQLITE_DONE &&
      sqlite3_exec(dest, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    rc = SQLITE_IOERR;
  }
  if (sqlite3_close_v2(dest) != SQLITE_OK && rc == SQLITE_DONE) rc = SQLITE_IOERR;
  if (rc == SQLITE_DONE && !syncFile(to)) rc = SQLITE_IOERR;
  return resultOf(rc);
}

Result copyFile(const std::string& from, const std::string& to) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return errno == ENOENT ? Result::missing : Result::ioError;
  if (S_ISLNK(st.st_mode)) return Result::symlink;
  if (!S_ISREG(st.st_mode)) return Result::notRegular;
  sqlite3* source = nullptr;
  if (sqlite3_open_v2(from.c_str(), &source, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    sqlite3_close_v2(source);
    return Result::ioError;
  }
  Result result = copy(source, to);
  sqlite3_close_v2(source);
  return result;
}

Result publish(const std::string& temp, const std::string& target, bool replace) {
  Result result = Result::ok;
  if (replace) {
    // rename() replaces whatever is at the target, a symbolic link included, without following it.
    if (::rename(temp.c_str(), target.c_str()) != 0) result = Result::ioError;
  } else if (::link(temp.c_str(), target.c_str()) != 0) {
    result = errno == EEXIST ? Result::exists : Result::ioError;
  }
  ::unlink(temp.c_str());
  if (result == Result::ok) syncDirectory(fs::parentOf(target));
  return result;
}

}  // namespace caskel::database_copy
