#include "platform/directory_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace caskel::fs {

namespace {

WalkEntry::Kind kindOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return WalkEntry::Kind::directory;
  if (S_ISREG(st.st_mode)) return WalkEntry::Kind::regular;
  return WalkEntry::Kind::other;
}

// Walks the directory open at `fd` (taken over and closed here). Opening each child relative to
// its parent's descriptor with O_NOFOLLOW keeps a directory swapped for a link mid-walk from
// leading the walk elsewhere.
void walkOpen(int fd, const std::string& prefix, const std::function<bool(const WalkEntry&)>& visit) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  for (const std::string& name : names) {
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    WalkEntry entry{prefix.empty() ? name : prefix + "/" + name, name, kindOf(st)};
    const bool enter = visit(entry);
    if (entry.kind != WalkEntry::Kind::directory || !enter) continue;
    int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child >= 0) walkOpen(child, entry.relativePath, visit);
  }
  ::closedir(dir);
}

}  // namespace

void walkDirectory(const std::string& root, const std::function<bool(const WalkEntry&)>& visit) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  walkOpen(fd, "", visit);
}

}  // namespace caskel::fs
