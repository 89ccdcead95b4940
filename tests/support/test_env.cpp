#include "support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/file_system.h"
#include "platform/vault.h"

namespace caskel::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/caskel-test-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { fs::removeTree(path_); }

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* v = std::getenv(name_.c_str())) old_ = v;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

TempHome::TempHome()
    : home_("HOME", dir_.path()), config_("XDG_CONFIG_HOME", std::nullopt), data_("XDG_DATA_HOME", std::nullopt) {}

std::string buildPath(const std::string& relative) { return std::string(CASKEL_BUILD_DIR) + "/" + relative; }

std::string scriptedPinentryPath() { return buildPath("tests/scripted_pinentry"); }

int modeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

VaultOptions cheapVaultOptions() {
  VaultOptions options;
  options.opslimit = crypto_pwhash_OPSLIMIT_MIN;
  options.memlimit = crypto_pwhash_MEMLIMIT_MIN;
  return options;
}

void rawSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  char* error = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string text = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << text;
}

}  // namespace caskel::test
