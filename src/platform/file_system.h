#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace caskel::fs {

// The user's home: $HOME when set and not empty, else the password database's entry.
std::string homeDirectory();
// $XDG_CONFIG_HOME, else <home>/.config: the user's configuration, shared with other programs.
std::string configHome();
// <configHome>/caskel. Holds defaults, time-outs, audit log.
std::string configDirectory();
// $XDG_DATA_HOME/caskel, else <home>/.local/share/caskel. Holds the vault.
std::string dataDirectory();

// Creates the directory and any missing parents; the directory itself ends up 0700 whatever
// the umask (parents created on the way are 0700 too). False when it cannot be made private.
bool ensurePrivateDirectory(const std::string& path);

// Writes the file through a temporary sibling, fsync and rename, so a crash leaves either the
// old or the new content, never a truncated file. The file is created with `mode`; the parent
// directory is created private when missing. False on any failure (the old file is untouched),
// with errno telling why.
bool writeFileAtomically(const std::string& path, std::string_view data, mode_t mode = 0600);

// The whole file, or nothing when it cannot be read. Files above `maxBytes`, and anything that
// is not a regular file (a FIFO, a device, a directory), count as unreadable. With
// `followSymlinks` false a symbolic link at `path` is refused too.
std::optional<std::string> readFile(const std::string& path, size_t maxBytes = 64 * 1024 * 1024,
                                    bool followSymlinks = true);

// Modification stamp (seconds and nanoseconds since 1970, size, inode) or nothing when absent;
// cheap to compare for "did another process change this file".
struct FileStamp {
  long long sec = 0;
  long nsec = 0;
  long long size = -1;
  unsigned long long inode = 0;
  bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> stampOf(const std::string& path);

// The permission bits of an existing file (following links), or nothing when it is absent.
std::optional<mode_t> permissionsOf(const std::string& path);
// The absolute path with every symbolic link resolved, or nothing when it cannot be resolved.
// Rewriting a linked file must replace its target, not the link.
std::optional<std::string> resolvedPath(const std::string& path);
// The system's description of errno as it stands ("Permission denied").
std::string lastErrorText();

std::string parentOf(const std::string& path);
// The running program's own executable (/proc/self/exe), or nothing when it cannot be read.
std::optional<std::string> ownExecutablePath();
bool removeFile(const std::string& path);
// Removes a directory and everything under it; errors are ignored.
void removeTree(const std::string& path);

}  // namespace caskel::fs
