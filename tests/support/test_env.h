#pragma once

#include <optional>
#include <string>

namespace caskel {
struct VaultOptions;
}

namespace caskel::test {

// A fresh private directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with nullopt unsets) an environment variable for the scope, restoring it after.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A temporary HOME with XDG_CONFIG_HOME/XDG_DATA_HOME unset, for the scope.
class TempHome {
 public:
  TempHome();
  const std::string& path() const { return dir_.path(); }
  std::string configDir() const { return dir_.path() + "/.config/caskel"; }
  std::string dataDir() const { return dir_.path() + "/.local/share/caskel"; }

 private:
  TempDir dir_;
  ScopedEnv home_;
  ScopedEnv config_;
  ScopedEnv data_;
};

// Paths of the built programs (caskeld, caskel, scripted_pinentry) in the build tree.
std::string buildPath(const std::string& relative);
std::string scriptedPinentryPath();

// Octal permission bits of a path (lstat), or -1 when it is absent.
int modeOf(const std::string& path);
std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);

// Vault options with the cheapest key derivation, so that tests do not spend seconds on it.
VaultOptions cheapVaultOptions();
// Runs `sql` on the database at `path` directly, as another writer of the file could.
void rawSql(const std::string& path, const std::string& sql);

}  // namespace caskel::test
