#pragma once

#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace caskel {
struct VaultOptions;
}

namespace caskel::test {

// A mutex and a helper that runs a function under it, for fakes that several threads call.
class Guarded {
 protected:
  template <class F>
  auto locked(F f) const {
    std::lock_guard lock(mutex_);
    return f();
  }
  mutable std::mutex mutex_;
};

// A fresh private directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/caskel-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { fs::removeTree(path_); }
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
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* v = std::getenv(name_.c_str())) old_ = v;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) const {
    if (value)
      ::setenv(name_.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

// Switches the process time zone for the scope; tzset() after setting and after restoring.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) : env_(std::in_place, "TZ", zone) { ::tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    ::tzset();
  }

 private:
  std::optional<ScopedEnv> env_;
};

// A temporary HOME with XDG_CONFIG_HOME/XDG_DATA_HOME unset, for the scope.
class TempHome {
 public:
  const std::string& path() const { return dir_.path(); }
  std::string configDir() const { return dir_.path() + "/.config/caskel"; }
  std::string dataDir() const { return dir_.path() + "/.local/share/caskel"; }

 private:
  TempDir dir_;
  ScopedEnv home_{"HOME", dir_.path()};
  ScopedEnv config_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv data_{"XDG_DATA_HOME", std::nullopt};
};

// Paths of the built programs (caskeld, caskel, scripted_pinentry) in the build tree.
std::string buildPath(const std::string& relative);
std::string scriptedPinentryPath();

// Octal permission bits of a path (lstat), or -1 when it is absent.
int modeOf(const std::string& path);
std::string readText(const std::string& path);
// Waits (inotify on `dir`, bounded) until `done` holds; checked after every change in dir.
bool waitUntil(const std::function<bool()>& done, const std::string& dir, int timeoutMs = 10000);
// The command names a CLI11 help text lists under "Subcommands:".
std::vector<std::string> listedCommands(const std::string& help);
void writeText(const std::string& path, const std::string& text);

// Vault options with the cheapest key derivation, so that tests do not spend seconds on it.
VaultOptions cheapVaultOptions();
// Runs `sql` on the database at `path` directly, as another writer of the file could.
void rawSql(const std::string& path, const std::string& sql);

}  // namespace caskel::test
