// The secret, folder and rotate commands against the real caskeld, with a scripted pinentry
// standing in for the person at the machine.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <future>
#include <set>
#include <sstream>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

using json = nlohmann::json;

std::vector<unsigned char> fromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Decrypts an agent reply's fragment with its key and IV, independently of the server's code.
std::string decryptFragment(const json& reply) {
  const std::string b64 = reply["ct"];
  std::vector<unsigned char> ct(b64.size());
  int len = EVP_DecodeBlock(ct.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                            static_cast<int>(b64.size()));
  if (len < 0) return {};
  ct.resize(static_cast<size_t>(len) - (b64.ends_with("==") ? 2 : b64.ends_with("=") ? 1 : 0));
  auto key = fromHex(reply["k"]), iv = fromHex(reply["iv"]);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(ct.size() + 16, '\0');
  int n1 = 0, n2 = 0;
  EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data());
  EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n1, ct.data(),
                    static_cast<int>(ct.size()));
  int ok = EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n1 + n2));
  return ok == 1 ? out : std::string();
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output(); }

  json call(const json& body) { return server.request(body); }
  json set(const std::string& account, const std::string& value, const json& extra = json::object()) {
    return call(setRequest(account, value, extra));
  }
  // Stores from a short-lived process of its own. A yes given to this test process would let
  // its next prompt within 30 seconds pass unasked, so tests that count prompts seed this way.
  json seed(const std::string& account, const std::string& value, const json& extra = json::object()) {
    return fromStranger(setRequest(account, value, extra));
  }
  int prompts() { return server.prompts(); }
  std::string lastPrompt() { return server.lastPrompt(); }
  // A copy of the raw client named "caskel": a wrapper, so the server resolves it to its parent.
  std::string wrapperClient() { return copyProgram(tools.path(), CaskeldProcess::rawClientPath(), "caskel"); }
  // Runs `requests` one after another from one agent process (a shell under a "claude" folder).
  std::vector<json> fromAgent(const std::vector<json>& requests) {
    std::string script;
    std::vector<std::string> argv = {agentShell(tools.path()), "-c", "", wrapperClient(),
                                     server.socketPath()};
    for (size_t i = 0; i < requests.size(); ++i) {
      script += "\"$0\" \"$1\" \"$" + std::to_string(i + 2) + "\"; echo; ";
      argv.push_back(requests[i].dump());
    }
    argv[2] = script + "true";
    std::vector<json> replies;
    std::istringstream in(runProcess(argv).out);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) replies.push_back(json::parse(line, nullptr, false));
    }
    return replies;
  }
  // One request from a process that is nobody's session owner.
  json fromStranger(const json& body) { return server.ask({CaskeldProcess::rawClientPath()}, body); }

  TempDir tools;
  CaskeldProcess server;
};

// How much of a value shows is ruled in the store and the handlers; here, that a value too short
// for a peek comes back whole in the reply to its set, and has no peek afterwards.
TEST_F(CommandsTest, AShortValueHasNoPeek) {
  EXPECT_EQ(set("org/proj/SHORT", "abc")["value"], "abc...");
  EXPECT_EQ(call({{"cmd", "peek"}, {"account", "org/proj/SHORT"}})["error"],
            "No peek data — re-save the secret to generate it");
}

TEST_F(CommandsTest, SessionOwnerSkipsPromptsOthersDoNot) {
  set("org/a/K1", "one");
  set("org/a/STRICT", "s", {{"strict", true}});
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "org/"}})["value"], "1");
  int before = prompts();
  // This test process unlocked org/: its writes and deletes go through without a prompt.
  EXPECT_EQ(set("org/a/K2", "two")["ok"], true);
  EXPECT_EQ(call({{"cmd", "rm"}, {"account", "org/a/K2"}})["ok"], true);
  EXPECT_EQ(prompts(), before);
  // A client run by this process resolves to it as well.
  EXPECT_EQ(server.ask({wrapperClient()}, setRequest("org/a/K3", "3"))["ok"], true);
  EXPECT_EQ(prompts(), before);
  // Strict items always prompt, even for the owner.
  EXPECT_EQ(set("org/a/STRICT", "s2")["ok"], true);
  EXPECT_EQ(prompts(), before + 1);
  EXPECT_NE(lastPrompt().find("Store \"org/a/STRICT\""), std::string::npos);
  // Another process prompts.
  EXPECT_EQ(fromStranger({{"cmd", "set"}, {"account", "org/a/K4"}, {"value", "4"}})["ok"], true);
  EXPECT_EQ(prompts(), before + 2);
  EXPECT_EQ(fromStranger({{"cmd", "rm"}, {"account", "org/a/K4"}})["ok"], true);
  EXPECT_EQ(prompts(), before + 3);
  EXPECT_NE(lastPrompt().find("Delete \"org/a/K4\""), std::string::npos);
}

TEST_F(CommandsTest, GetsInOneFolderPromptOnce) {
  seed("org/proj/A", "alpha");
  seed("org/proj/B", "beta");
  int before = prompts();
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/proj/A"}})["value"], "alpha");
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/proj/B"}})["value"], "beta");
  EXPECT_EQ(prompts(), before + 1);
  EXPECT_NE(lastPrompt().find("Unlock \"org/proj/\" for 4h — via "), std::string::npos) << lastPrompt();
  EXPECT_TRUE(server.waitForAudit({"GET account=org/proj/A result=ok"}));
  EXPECT_TRUE(server.waitForAudit({"GET account=org/proj/B result=ok (cached)"}));
}

TEST_F(CommandsTest, StrictKeyCostsItsOwnPromptAndIsNeverCached) {
  seed("org/proj/S", "strict-value", {{"strict", true}});
  int before = prompts();
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/proj/S"}})["value"], "strict-value");
  EXPECT_EQ(prompts(), before + 2);
  EXPECT_TRUE(server.waitForAudit({"GET account=org/proj/S result=ok (strict)"}));
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/proj/S"}})["value"], "strict-value");
  EXPECT_EQ(prompts(), before + 3);  // the session covers the folder, never the strict key
}

TEST_F(CommandsTest, StrictValuesNeverEnterTheCacheThroughSetRotateOrMeta) {
  set("org/p/K", "plain");
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "org/p"}})["ok"], true);
  // Made strict while cached: the cached copy must go.
  ASSERT_EQ(call({{"cmd", "meta"}, {"account", "org/p/K"}, {"strict", true}})["ok"], true);
  int before = prompts();
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/p/K"}})["value"], "plain");
  EXPECT_GT(prompts(), before);
  // A strict value stored by the session owner is not cached either.
  set("org/p/K", "newer");
  before = prompts();
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/p/K"}})["value"], "newer");
  EXPECT_GT(prompts(), before);
}

// A key right under the top folder unlocks that folder.
TEST_F(CommandsTest, ATopLevelKeyUnlocksItsFolder) {
  seed("org/KEY", "v");
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/KEY"}})["value"], "v");
  EXPECT_NE(lastPrompt().find("Unlock \"org/\""), std::string::npos);
}

TEST_F(CommandsTest, AgentsGetOnlyEncryptedValues) {
  const std::string value = "it's a $ecret\nwith `ticks`";
  set("org/ai/OPENAI_KEY", value);
  auto replies = fromAgent({{{"cmd", "get"}, {"account", "org/ai/OPENAI_KEY"}},
                            {{"cmd", "get"}, {"account", "org/ai/OPENAI_KEY"}},
                            {{"cmd", "peek"}, {"account", "org/ai/OPENAI_KEY"}},
                            {{"cmd", "ls"}}});
  ASSERT_EQ(replies.size(), 4u);
  for (int i = 0; i < 2; ++i) {
    const json& r = replies[static_cast<size_t>(i)];
    EXPECT_EQ(r["value"], "__encrypted__");
    EXPECT_EQ(r["agent"], true);
    EXPECT_EQ(r["encrypted"], true);
    EXPECT_EQ(r["kn"], "OPENAI_KEY");
    std::string fragment = decryptFragment(r);
    EXPECT_NE(fragment.find("export OPENAI_KEY='it'\\''s a $ecret\nwith `ticks`'"), std::string::npos)
        << fragment;
  }
  EXPECT_NE(replies[0]["k"], replies[1]["k"]);
  EXPECT_TRUE(server.waitForAudit({"GET account=org/ai/OPENAI_KEY result=ok (cached)"}));
  EXPECT_EQ(replies[2]["value"], "it's a...");
  EXPECT_EQ(replies[3]["accounts"][0]["account"], "org/ai/OPENAI_KEY");
}

TEST_F(CommandsTest, UnlockTimeoutsLockAndSessionStatus) {
  seed("org/a/K", "1");
  seed("org/b/K", "2");
  EXPECT_EQ(fromStranger({{"cmd", "unlock"}, {"prefix", "org"}, {"timeout", 0}})["value"], "2");
  EXPECT_NE(lastPrompt().find("Unlock \"org/\" for 4h"), std::string::npos);
  fromStranger({{"cmd", "unlock"}, {"prefix", "org"}, {"timeout", -5}});
  EXPECT_NE(lastPrompt().find("for 4h"), std::string::npos);
  fromStranger({{"cmd", "unlock"}, {"prefix", "org"}, {"timeout", 90}});
  EXPECT_NE(lastPrompt().find("for 1m"), std::string::npos);
  EXPECT_EQ(call({{"cmd", "unlock"}, {"prefix", "org"}})["value"], "2");
  EXPECT_NE(lastPrompt().find("Unlock \"org/\" for 4h"), std::string::npos);
  EXPECT_TRUE(server.waitForAudit({"UNLOCK account=org/ result=ok (2 keys)"}));

  auto status = call({{"cmd", "session"}});
  std::set<std::string> prefixes;
  for (auto& e : status["unlocked"]) prefixes.insert(e["prefix"].get<std::string>());
  EXPECT_EQ(prefixes, (std::set<std::string>{"org/a/", "org/b/"}));

  EXPECT_EQ(call({{"cmd", "lock"}})["ok"], true);
  EXPECT_TRUE(server.waitForAudit({"LOCK account=(all) result=ok"}));
  EXPECT_TRUE(call({{"cmd", "session"}})["unlocked"].empty());
}

TEST_F(CommandsTest, ConfigRoundTripSurvivesARestart) {
  EXPECT_EQ(call({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/proj"}, {"timeout", 7200}})["ok"],
            true);
  auto listing = call({{"cmd", "config"}});
  EXPECT_EQ(listing["default_timeout"], 14400);
  ASSERT_EQ(listing["timeouts"].size(), 1u);
  EXPECT_EQ(listing["timeouts"][0]["prefix"], "org/proj/");
  EXPECT_EQ(listing["timeouts"][0]["timeout"], 7200);

  EXPECT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_EQ(call({{"cmd", "config"}})["timeouts"][0]["timeout"], 7200);
  call({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/proj"}});
  EXPECT_TRUE(call({{"cmd", "config"}})["timeouts"].empty());
}

TEST_F(CommandsTest, MetaOnAMissingKeyPromptsThenFails) {
  int before = prompts();
  EXPECT_EQ(call({{"cmd", "meta"}, {"account", "org/m/MISSING"}, {"type", "x"}})["error"],
            "Secret not found");
  EXPECT_EQ(prompts(), before + 1);
}

TEST_F(CommandsTest, RotateKeepsTheOldValueAsABackup) {
  seed("org/r/TOKEN", "old-value-123");
  EXPECT_EQ(call({{"cmd", "rotate"}, {"account", "org/r/TOKEN"}, {"value", "new-value-4567890123"}})["value"],
            "new-valu...");
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/r/TOKEN_OLD"}})["value"], "old-value-123");
  EXPECT_EQ(call({{"cmd", "get"}, {"account", "org/r/TOKEN"}})["value"], "new-value-4567890123");
  json backup;
  json listing = call({{"cmd", "ls"}});
  for (auto& e : listing["accounts"]) {
    if (e["account"] == "org/r/TOKEN_OLD") backup = e;
  }
  EXPECT_EQ(backup["type"], "rotated_backup");
  EXPECT_EQ(backup["desc"], "Auto-saved by rotate. Will expire in 1h.");
  EXPECT_TRUE(server.waitForAudit({"ROTATE account=org/r/TOKEN result=ok"}));
}

TEST(RotateBackupLifetime, BackupIsRemovedAfterItsDelay) {
  CaskeldProcess::Options options;
  options.extraArgs = {"--rotate-backup-seconds", "0.3"};
  CaskeldProcess server(options);
  ASSERT_TRUE(server.start()) << server.output();
  server.request({{"cmd", "set"}, {"account", "org/r/K"}, {"value", "v1"}});
  server.request({{"cmd", "rotate"}, {"account", "org/r/K"}, {"value", "v2"}});
  // The removal writes to the vault: wake on each change and look again.
  EXPECT_TRUE(CaskeldProcess::waitUntil(
      [&] {
        json listing = server.request({{"cmd", "ls"}});
        for (auto& e : listing["accounts"]) {
          if (e["account"] == "org/r/K_OLD") return false;
        }
        return true;
      },
      server.dataDir()));
}

TEST_F(CommandsTest, FiftyConcurrentClientsLoseNothing) {
  set("org/load/SEED", "seed");
  std::vector<std::future<json>> results;
  for (int i = 0; i < 50; ++i) {
    results.push_back(std::async(std::launch::async, [this, i] {
      std::string key = "org/load/K" + std::to_string(i);
      switch (i % 3) {
        case 0:
          return fromStranger({{"cmd", "set"}, {"account", key}, {"value", "v" + std::to_string(i)}});
        case 1:
          return fromStranger({{"cmd", "get"}, {"account", "org/load/SEED"}});
        default:
          return fromStranger({{"cmd", "ls"}});
      }
    }));
  }
  for (auto& r : results) EXPECT_EQ(r.get()["ok"], true);
  auto ls = call({{"cmd", "ls"}});
  int stored = 0;
  for (auto& e : ls["accounts"]) stored += e["account"].get<std::string>().rfind("org/load/K", 0) == 0;
  EXPECT_EQ(stored, 17);
  for (const auto& line : server.auditLines()) {
    EXPECT_EQ(line.front(), '[');
    EXPECT_NE(line.find(" result="), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace caskel::test
