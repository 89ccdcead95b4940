#pragma once

#include <functional>
#include <string>

namespace caskel::fs {

// One entry met while walking a folder. The kind is the entry's own (lstat): a symbolic link is
// `other` whatever it points at, so a walk never leaves the tree through one.
struct WalkEntry {
  enum class Kind { directory, regular, other };
  std::string relativePath;  // from the walked folder, "/"-separated, never empty
  std::string name;          // the last piece of relativePath
  Kind kind = Kind::other;
};

// Visits every entry under `root`, hidden ones included, parents before their contents. The
// visitor answers, for a directory, whether to walk into it (its answer for other entries is
// ignored). Entries that cannot be inspected and directories that cannot be opened are passed
// over silently. Nothing is visited when `root` is not a directory.
void walkDirectory(const std::string& root, const std::function<bool(const WalkEntry&)>& visit);

}  // namespace caskel::fs
