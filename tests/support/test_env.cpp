#include "support/test_env.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "platform/vault.h"

namespace caskel::test {

std::string buildPath(const std::string& relative) {
  return std::string(CASKEL_BUILD_DIR) + "/" + relative;
}

std::string scriptedPinentryPath() {
  return buildPath("tests/scripted_pinentry");
}

int modeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool waitUntil(const std::function<bool()>& done, const std::string& dir, int timeoutMs) {
  using namespace std::chrono;
  const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ::inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE);
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  bool ok = done();
  for (auto now = steady_clock::now(); !ok && now < deadline; now = steady_clock::now(), ok = done()) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(duration_cast<milliseconds>(deadline - now).count()));
    for (char buf[4096]; ::read(fd, buf, sizeof buf) > 0;) {
    }
  }
  ::close(fd);
  return ok;
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
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

std::vector<std::string> listedCommands(const std::string& help) {
  std::vector<std::string> names;
  size_t at = help.find("Subcommands:\n");
  if (at == std::string::npos) return names;
  for (size_t start = at + 13; start < help.size();) {
    size_t end = help.find('\n', start);
    std::string line = help.substr(start, end - start);
    if (!line.starts_with("  ")) break;
    names.push_back(line.substr(2, line.find(' ', 2) - 2));
    start = end + 1;
  }
  return names;
}

}  // namespace caskel::test
