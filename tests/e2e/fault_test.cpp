// The real caskeld under faults: a kill in the middle of a stream of writes, a full disk, and
// damaged or hostile files in place of its own.
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "e2e/caskeld_process.h"
#include "platform/file_system.h"

namespace caskel::test {
namespace {

json set(const CaskeldProcess& server, const std::string& account, const std::string& value) {
  return server.request(setRequest(account, value));
}

// After a restart: every acknowledged key is there, and every value listed is whole (a set cut
// off before its reply may or may not have landed, but never half).
void expectAllReadable(const CaskeldProcess& server, const std::string& prefix,
                       const std::set<std::string>& acknowledged,
                       const std::function<std::string(const std::string&)>& expectedValue) {
  json unlock = server.request({{"cmd", "unlock"}, {"prefix", prefix}});
  ASSERT_EQ(unlock["ok"], true) << unlock.dump();
  EXPECT_GE(std::stoul(unlock["value"].get<std::string>()), acknowledged.size());
  json listing = server.request({{"cmd", "ls"}, {"prefix", prefix}});
  std::set<std::string> listed;
  for (auto& entry : listing["accounts"]) listed.insert(entry["account"].get<std::string>());
  for (const auto& key : acknowledged) EXPECT_TRUE(listed.count(key)) << key << " is gone";
  int wrong = 0;
  for (const auto& key : listed) {
    json got = server.request(getRequest(key));
    if (got["value"] != expectedValue(key) && ++wrong <= 5)
      ADD_FAILURE() << key << ": " << got.dump().substr(0, 200);
  }
  EXPECT_EQ(wrong, 0);
}

void expectIntactDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

std::string streamValue(const std::string& key) {
  return "value of " + key + std::string(200, '.') + "end";
}

TEST(CrashTest, EveryAcknowledgedSetSurvivesAKillInTheMiddleOfAStream) {
  constexpr size_t kTotal = 1000, kStreams = 4, kKillAfter = 400;
  CaskeldProcess server;
  ASSERT_TRUE(server.start()) << server.output();
  ASSERT_EQ(set(server, "org/kill/FIRST", streamValue("org/kill/FIRST"))["ok"], true);
  // This process holds the folder's session, so its sets go through without a prompt.
  ASSERT_EQ(server.request({{"cmd", "unlock"}, {"prefix", "org/kill"}})["ok"], true);
  const int prompts = server.prompts();

  std::mutex mutex;
  std::set<std::string> acked = {"org/kill/FIRST"};
  std::vector<json> refusals;
  const pid_t pid = server.pid();
  std::vector<std::thread> streams;
  for (size_t s = 0; s < kStreams; ++s) {
    streams.emplace_back([&, s] {
      for (size_t n = s; n < kTotal; n += kStreams) {
        std::string key = "org/kill/K" + std::to_string(n);
        json reply = set(server, key, streamValue(key));
        if (reply.is_discarded()) return;  // the server is gone
        std::lock_guard lock(mutex);
        if (reply["ok"] != true) return refusals.push_back(reply);
        acked.insert(key);
        // Killed while the other streams have writes in flight.
        if (acked.size() == kKillAfter + 1) ::kill(pid, SIGKILL);
      }
    });
  }
  for (auto& t : streams) t.join();
  EXPECT_TRUE(refusals.empty()) << refusals.front().dump();
  EXPECT_EQ(server.prompts(), prompts);
  ASSERT_GT(acked.size(), kKillAfter);
  ASSERT_LE(acked.size(), kTotal) << "the kill came too late to interrupt anything";

  ASSERT_TRUE(server.restart()) << server.output();
  expectAllReadable(server, "org/kill/", acked, streamValue);
  expectIntactDatabase(server.dataDir() + "/vault.db");
  EXPECT_EQ(modeOf(server.dataDir() + "/vault.db"), 0600);
}

// A small tmpfs mounted over a directory for the scope; unmounted lazily after.
struct SmallFileSystem {
  SmallFileSystem(const std::string& dir, const std::string& size) : dir(dir) {
    fs::ensurePrivateDirectory(dir);
    const std::string options = "size=" + size + ",mode=0700";
    mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
  }
  std::string dir;
  bool mounted = false;
};

std::string bigValue(const std::string& key) {
  return key + ":" + std::string(40000, 'x');
}

TEST(FullDiskTest, WritesFailClearlyAndNothingStoredIsLost) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  CaskeldProcess server;
  SmallFileSystem disk(server.dataDir(), "2m");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  ASSERT_TRUE(server.start()) << server.output();

  ASSERT_EQ(set(server, "org/full/FIRST", bigValue("org/full/FIRST"))["ok"], true);
  ASSERT_EQ(server.request({{"cmd", "unlock"}, {"prefix", "org/full"}})["ok"], true);
  std::set<std::string> acked = {"org/full/FIRST"};
  json refusal;
  for (int n = 0; n < 200 && refusal.is_null(); ++n) {
    std::string key = "org/full/K" + std::to_string(n);
    json reply = set(server, key, bigValue(key));
    ASSERT_TRUE(reply.is_object()) << "no reply once the disk filled up";
    if (reply["ok"] == true) acked.insert(key);
    if (reply["ok"] != true) refusal = reply;
  }
  ASSERT_FALSE(refusal.is_null()) << "2 MiB never filled up";
  EXPECT_TRUE(refusal.value("error", "").starts_with("Vault error (")) << refusal.dump();

  // Still serving, and what was stored is still readable from the file, not just the cache.
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
  EXPECT_NE(set(server, "org/full/AFTER", bigValue("org/full/AFTER"))["ok"], true);
  ASSERT_EQ(server.request({{"cmd", "lock"}})["ok"], true);
  expectAllReadable(server, "org/full/", acked, bigValue);

  // And after a restart on the same full disk.
  ASSERT_TRUE(server.restart(SIGTERM)) << server.output();
  expectAllReadable(server, "org/full/", acked, bigValue);
}

// Garbage, a cut-off copy, the wrong shape, and things that are not files at all.
// Each a name and what it does to the file at a path.
using Damages = std::vector<std::pair<std::string, std::function<void(const std::string&)>>>;

Damages jsonDamages(const std::string& wellFormed, const std::string& wrongShape) {
  return {
      {"garbage",
       [](const std::string& p) { writeText(p, std::string("\x00\xff\xfe{{\"\x01", 7) + "not json"); }},
      {"truncated", [=](const std::string& p) { writeText(p, wellFormed.substr(0, wellFormed.size() / 2)); }},
      {"wrong shape", [=](const std::string& p) { writeText(p, wrongShape); }},
      {"empty", [](const std::string& p) { writeText(p, ""); }},
      {"directory", [](const std::string& p) { ::mkdir(p.c_str(), 0700); }},
      {"endless", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/zero", p.c_str()), 0); }},
      {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
  };
}

// Each file the server reads at start, damaged every way: the server starts, serves, and
// falls back to what it does without the file.
TEST(DamagedFileTest, ConfigurationFilesFallBackAndAreNeverFatal) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  struct File {
    const char* name;
    std::string good, wrongShape;
    std::function<void(CaskeldProcess&, const std::string& path, const std::string& damage)> check;
  };
  const File files[] = {
      {"config.json", R"({"timeouts": {"org/proj/": 7200, "org/other/": 60}})",
       R"({"timeouts": {"org/proj/": "two hours"}})",
       [](CaskeldProcess& server, const std::string&, const std::string&) {
         json listing = server.request({{"cmd", "config"}});
         EXPECT_EQ(listing["default_timeout"], 14400);
         EXPECT_TRUE(listing["timeouts"].empty()) << listing.dump();
         // The time-out set now is in force whether or not the file can take it.
         ASSERT_EQ(server.request(
                       {{"cmd", "config"}, {"action", "set"}, {"prefix", "org/x"}, {"timeout", 600}})["ok"],
                   true);
         EXPECT_EQ(server.request({{"cmd", "config"}})["timeouts"][0]["timeout"], 600);
       }},
      {"defaults.json", R"({"caskel.auditLogEnabled": true})", R"(["caskel.auditLogEnabled", true])",
       [](CaskeldProcess& server, const std::string&, const std::string&) {
         EXPECT_EQ(set(server, "org/d/K", "v")["ok"], true);
         EXPECT_EQ(server.request(getRequest("org/d/K"))["value"], "v");
         EXPECT_EQ(server.request({{"cmd", "config"}})["default_timeout"], 14400);
         // Audit is off by default: no log appears.
         EXPECT_EQ(modeOf(server.configDir() + "/audit.log"), -1);
       }},
      {"known_callers.json", json{{self, {{"firstSeen", 700000000.5}, {"path", self}}}}.dump(),
       json{{self, {{"firstSeen", "yesterday"}, {"path", self}}}}.dump(),
       [&](CaskeldProcess& server, const std::string& path, const std::string& damage) {
         EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
         // Treated as empty: this test is a new caller again, and a regular file is replaced.
         EXPECT_TRUE(server.waitForAudit({"NEW_CALLER", self}));
         if (damage == "directory") return;
         json rewritten = json::parse(readText(path), nullptr, false);
         ASSERT_TRUE(rewritten.is_object()) << readText(path).substr(0, 100);
         EXPECT_EQ(rewritten[self]["path"], self);
       }},
  };
  for (const auto& file : files) {
    for (const auto& [damage, apply] : jsonDamages(file.good, file.wrongShape)) {
      SCOPED_TRACE(std::string(file.name) + ", " + damage);
      // The defaults file would otherwise be the harness's, which turns the audit log on.
      CaskeldProcess server([&](auto& o) { o.auditEnabled = file.name != std::string("defaults.json"); });
      fs::ensurePrivateDirectory(server.configDir());
      const std::string path = server.configDir() + "/" + file.name;
      apply(path);
      ASSERT_TRUE(server.start()) << server.output();
      file.check(server, path, damage);
      EXPECT_TRUE(server.running());
    }
  }
}

// A vault with a few items, cleanly closed: its bytes, for damaging copies.
std::string sampleVault() {
  CaskeldProcess server;
  if (!server.start()) return {};
  for (int k = 0; k < 30; ++k) set(server, "org/v/K" + std::to_string(k), std::string(300, 'v'));
  server.stop();
  return readText(server.dataDir() + "/vault.db");
}

TEST(DamagedFileTest, DamagedVaultGivesErrorsAndIsNeverReplaced) {
  const std::string vault = sampleVault();
  ASSERT_GT(vault.size(), 8192u);
  std::string garbage(16384, '\0');
  std::mt19937 random(7);
  for (char& c : garbage) c = static_cast<char>(random());
  std::string flipped = vault;
  for (size_t i = 4096; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(~flipped[i]);
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"garbage", garbage},
      {"header only", vault.substr(0, 100)},
      {"first page only", vault.substr(0, 4096)},
      {"cut in half", vault.substr(0, vault.size() / 2)},
      {"pages overwritten", flipped},
  };
  for (const auto& [name, bytes] : damages) {
    SCOPED_TRACE(name);
    CaskeldProcess server;
    fs::ensurePrivateDirectory(server.dataDir());
    const std::string path = server.dataDir() + "/vault.db";
    writeText(path, bytes);
    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(server.start()) << server.output();

    // A listing that cannot be read is an error, never an empty vault.
    for (const json& body :
         {setRequest("org/v/NEW", "new value"), getRequest("org/v/K1"), json{{"cmd", "ls"}}}) {
      const json reply = server.request(body);
      EXPECT_TRUE(reply["ok"] == false && reply["error"].is_string() && !reply.contains("accounts")) << reply;
    }
    EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
    EXPECT_TRUE(server.running());
    // The user's damaged vault may still be recoverable: nothing may write over it, and no
    // prompt may pretend to create a new one in its place.
    EXPECT_EQ(readText(path), bytes);
    EXPECT_EQ(server.pinentry().promptCount(), 0) << server.pinentry().descriptions().front();
  }
}

}  // namespace
}  // namespace caskel::test
