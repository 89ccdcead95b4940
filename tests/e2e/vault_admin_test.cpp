// The vault as a whole, through the real caskeld: a new passphrase, backups and restores.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

const std::string kOld = CaskeldProcess::kPassphrase;
const std::string kNew = "a brand new passphrase 42";

class VaultAdminTest : public ToolFixture {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    ASSERT_EQ(call(setRequest("org/p/API_KEY", "sk-live-value-0123456789"))["ok"], true);
    ASSERT_EQ(call(setRequest("org/p/TOKEN", "tok-second-value-abcdef"))["ok"], true);
  }
  json get(const std::string& account) { return call(getRequest(account)); }
  json backup(const std::string& path, bool force = false) {
    return fromRaw({{"cmd", "backup"}, {"path", path}, {"force", force}});
  }
  json restore(const std::string& path) { return fromRaw({{"cmd", "restore"}, {"path", path}}); }

  TempDir files;
};

TEST_F(VaultAdminTest, PasswdChangesThePassphraseForGoodAndKeepsEveryValue) {
  for (const std::string& pin : {kOld, kNew}) server.pinentry().answer("PIN " + pin);
  ASSERT_EQ(fromRaw({{"cmd", "passwd"}})["ok"], true);
  auto prompts = server.pinentry().prompts();
  ASSERT_GE(prompts.size(), 2u);
  prompts.erase(prompts.begin(), prompts.end() - 2);
  EXPECT_EQ(prompts[0]["prompt"], "Current passphrase:");
  EXPECT_EQ(prompts[1]["prompt"], "New passphrase:");
  EXPECT_EQ(prompts[1]["repeat"], true);
  for (const json& p : prompts)
    EXPECT_TRUE(has(p.value("desc", ""), "Change the vault passphrase — via raw_client")) << p;

  // The restarted server's pinentry answers the new passphrase unless told otherwise.
  server.pinentry().setDefault("PIN " + kNew);
  ASSERT_TRUE(server.restart());
  // The old passphrase, three times: refused.
  for (int i = 0; i < 3; ++i) server.pinentry().answer("PIN " + kOld);
  const int before = server.prompts();
  EXPECT_EQ(get("org/p/API_KEY")["ok"], false);
  EXPECT_EQ(server.prompts(), before + 3);
  EXPECT_EQ(server.pinentry().prompts().back()["error"], "Wrong passphrase — try again");
  // The new one opens, and every value is there.
  EXPECT_EQ(get("org/p/API_KEY")["value"], "sk-live-value-0123456789");
  EXPECT_EQ(get("org/p/TOKEN")["value"], "tok-second-value-abcdef");
}

// Killed inside the passphrase change's transaction, the server leaves a vault that one of the
// passphrases opens: here the old one, since nothing was committed.
TEST(VaultAdminCrashTest, AServerKilledMidChangeLeavesAWorkingPassphrase) {
  TempDir marks;
  CaskeldProcess server([&](auto& o) {
    o.extraArgs = {"--pause-before-passphrase-commit", marks.file("paused")};
  });
  ASSERT_TRUE(server.start()) << server.output();
  ASSERT_EQ(server.request(setRequest("org/p/KEY", "survives-the-crash"))["ok"], true);
  for (const std::string& pin : {kOld, kNew}) server.pinentry().answer("PIN " + pin);
  std::thread passwd([&] { server.ask({CaskeldProcess::rawClientPath()}, {{"cmd", "passwd"}}); });
  EXPECT_TRUE(waitUntil([&] { return modeOf(marks.file("paused")) >= 0; }, marks.path(), 60000));
  ASSERT_TRUE(server.restart(SIGKILL));
  passwd.join();
  // The pinentry answers the old passphrase.
  EXPECT_EQ(server.request(getRequest("org/p/KEY"))["value"], "survives-the-crash");
}

TEST_F(VaultAdminTest, BackupThenRestoreBringsDeletedKeysBack) {
  const std::string file = files.file("vault-backup.db");
  json made = backup(file);
  ASSERT_EQ(made["ok"], true) << made;
  EXPECT_EQ(made["value"], file);
  EXPECT_EQ(modeOf(file), 0600);
  EXPECT_TRUE(has(lastPrompt(), "Back up the vault to \"" + file + "\""));
  const std::string bytes = readText(file);
  for (const std::string& clear : {std::string("sk-live-value"), std::string("tok-second-value"), kOld})
    EXPECT_FALSE(has(bytes, clear)) << clear;
  // An existing file is replaced only when asked.
  EXPECT_TRUE(has(backup(file).value("error", ""), "already exists — use --force"));
  ASSERT_EQ(backup(file, true)["ok"], true);

  ASSERT_EQ(fromRaw({{"cmd", "rm"}, {"account", "org/p/API_KEY"}})["ok"], true);
  // A value cached in a session after the backup must not outlive the restore.
  ASSERT_EQ(call(setRequest("org/p/TOKEN", "changed-after-backup"))["ok"], true);
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "org/p/"}})["ok"], true);

  ASSERT_EQ(restore(file)["value"], "2");  // keys restored
  EXPECT_EQ(server.pinentry().prompts().back()["prompt"], "Backup passphrase:");
  EXPECT_EQ(get("org/p/API_KEY")["value"], "sk-live-value-0123456789");
  EXPECT_EQ(get("org/p/TOKEN")["value"], "tok-second-value-abcdef");
  EXPECT_EQ(modeOf(server.dataDir() + "/vault.db.bak"), 0600);
  EXPECT_TRUE(server.waitForAudit({"RESTORE", file, "ok (2 keys)"}));
}

TEST_F(VaultAdminTest, ARestoreThatCannotOpenTheFileLeavesTheVaultUntouched) {
  const std::string file = files.file("vault-backup.db");
  ASSERT_EQ(backup(file)["ok"], true);
  writeText(files.file("notes.txt"), std::string(4096, 'x'));
  ::symlink(file.c_str(), files.file("link.db").c_str());
  struct Case {
    std::string path;
    std::vector<std::string> answers;
    std::string error;
  };
  const Case cases[] = {
      {files.file("notes.txt"), {}, "is not a Caskel vault — the vault was left as it is"},
      {file, {"PIN wrong 1", "PIN wrong 2", "PIN wrong 3"}, "Wrong passphrase for"},
      {files.file("link.db"), {}, "is a symbolic link"},
  };
  ASSERT_EQ(call(setRequest("org/p/API_KEY", "the-current-value"))["ok"], true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    for (const auto& a : c.answers) server.pinentry().answer(a);
    const json reply = restore(c.path);
    EXPECT_TRUE(reply["ok"] == false && has(reply.value("error", ""), c.error)) << reply;
    // Read by a new process each time, so from the vault file, not from a session's cache.
    EXPECT_EQ(fromRaw(getRequest("org/p/API_KEY"))["value"], "the-current-value");
    EXPECT_EQ(modeOf(server.dataDir() + "/vault.db.bak"), -1);
  }
}

// The tool runs where the person is: a relative file is sent as an absolute path.
TEST_F(VaultAdminTest, TheToolBacksUpToAFileNamedRelativeToItsFolder) {
  const std::string backup = "cd \"$1\" && \"$CASKEL\" backup here.db";
  EXPECT_TRUE(printed(bash(backup, {files.path()}), "Backed up the vault to " + files.file("here.db")));
  EXPECT_EQ(modeOf(files.file("here.db")), 0600);
  EXPECT_TRUE(failedWith(bash(backup, {files.path()}), 1, "already exists — use --force to replace it"));
}

}  // namespace
}  // namespace caskel::test
