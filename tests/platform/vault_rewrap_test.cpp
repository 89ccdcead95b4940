// A new passphrase re-wraps the vault's key; backups and restores copy the whole vault. What
// must hold: the values stay readable, only the right passphrase opens, and nothing that fails
// half-way changes the vault.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <filesystem>

#include "platform/vault.h"
#include "platform/vault_admin.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::cheapVaultOptions;
using test::modeOf;
using Status = VaultKeyring::Status;
using Copy = Vault::CopyStatus;

const std::string kService = "caskel";
const SecretString kOld(std::string_view("old-PASS-1234"));
const SecretString kNew(std::string_view("new-PASS-5678"));

class VaultRewrapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vault->create(kOld, key), Status::ok);
    ASSERT_EQ(vault->put(kService, "org/p/A", "value-a", std::nullopt, false), 0);
    ASSERT_EQ(vault->put(kService, "org/p/B", "value-b", std::nullopt, true), 0);
  }
  // Reads a value with `with` (a key unlocked from some vault); "" when it does not open.
  std::string read(const std::string& account, const std::shared_ptr<const VaultKey>& with) {
    auto fake = std::make_shared<test::FakeAuthenticator>();
    fake->setKey(with);
    AuthContext context(fake);
    SealedValue out;
    return vault->copyValue(kService, account, context, out) == 0 ? out.value.str() : std::string();
  }
  Status unlockWith(const SecretString& passphrase) {
    std::shared_ptr<const VaultKey> k;
    return vault->unlock(passphrase, k);
  }

  test::TempHome home;
  test::TempDir out;
  std::shared_ptr<Vault> vault = std::make_shared<Vault>(home.dataDir() + "/vault.db", cheapVaultOptions());
  std::shared_ptr<const VaultKey> key;
  std::shared_ptr<test::ListPrompt> prompt = std::make_shared<test::ListPrompt>();
  VaultAdmin admin{vault, prompt};
};

TEST_F(VaultRewrapTest, ANewPassphraseOpensTheSameKeyAndTheOldOneNoLonger) {
  ASSERT_EQ(vault->changePassphrase(*key, kNew), Status::ok);
  EXPECT_EQ(unlockWith(kOld), Status::wrongPassphrase);
  std::shared_ptr<const VaultKey> reopened;
  ASSERT_EQ(vault->unlock(kNew, reopened), Status::ok);
  EXPECT_EQ(0, std::memcmp(reopened->secretKey(), key->secretKey(), VaultKey::kSecretKeyBytes));
  // Nothing was re-sealed: values open with the key from before and from after.
  EXPECT_EQ(read("org/p/A", key), "value-a");
  EXPECT_EQ(read("org/p/B", reopened), "value-b");
  // A fresh file read from scratch agrees (nothing was only in this connection).
  Vault again(vault->path(), cheapVaultOptions());
  std::shared_ptr<const VaultKey> k;
  EXPECT_EQ(again.unlock(kOld, k), Status::wrongPassphrase);
  EXPECT_EQ(again.unlock(kNew, k), Status::ok);
}

TEST_F(VaultRewrapTest, AKeyOfAnotherVaultIsNeverWrappedIn) {
  Vault other(out.file("other.db"), cheapVaultOptions());
  std::shared_ptr<const VaultKey> foreign;
  ASSERT_EQ(other.create(kNew, foreign), Status::ok);
  EXPECT_EQ(vault->changePassphrase(*foreign, kNew), Status::damaged);
  EXPECT_EQ(unlockWith(kOld), Status::ok);
  EXPECT_EQ(unlockWith(kNew), Status::wrongPassphrase);
}

// The prompts of a passphrase change: old once (retried when wrong), new twice.
TEST_F(VaultRewrapTest, ThePersonIsAskedTheOldPassphraseThenTheNewTwice) {
  struct Case {
    std::deque<std::string> answers;
    VaultAdmin::Status status;
    const SecretString* opens;  // the passphrase that opens afterwards
  };
  const Case cases[] = {
      {{"wrong", kOld.str(), kNew.str()}, VaultAdmin::Status::ok, &kNew},
      {{"wrong", "wrong", "wrong"}, VaultAdmin::Status::wrongPassphrase, &kOld},
      {{kOld.str(), "CANCEL"}, VaultAdmin::Status::canceled, &kOld},
      {{kOld.str(), "", "GONE"}, VaultAdmin::Status::unavailable, &kOld},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers.front() + " then " + std::to_string(c.answers.size() - 1) + " more");
    if (unlockWith(kOld) != Status::ok) {
      ASSERT_EQ(vault->changePassphrase(*key, kOld), Status::ok);
    }
    prompt->answers = c.answers;
    prompt->asked.clear();
    VaultAdmin::Result result = admin.changePassphrase("Change the vault passphrase — via test");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(unlockWith(*c.opens), Status::ok);
    ASSERT_FALSE(prompt->asked.empty());
    EXPECT_EQ(prompt->asked.front().prompt, "Current passphrase:");
    EXPECT_FALSE(prompt->asked.front().repeat);
    if (c.status == VaultAdmin::Status::ok) {
      EXPECT_EQ(prompt->asked.back().prompt, "New passphrase:");
      EXPECT_TRUE(prompt->asked.back().repeat);
      EXPECT_NE(prompt->asked.back().description.find("via test"), std::string::npos);
    }
    if (c.status == VaultAdmin::Status::unavailable) {
      EXPECT_EQ(result.reason, "pinentry exited without answering");
      // An empty new passphrase was asked again, with the reason on screen.
      EXPECT_EQ(prompt->asked.back().error, "The passphrase must not be empty");
    }
  }
}

// That only its passphrase opens it is seen through the restores below.
TEST_F(VaultRewrapTest, ABackupIsAPrivateSelfContainedCopyWithNothingInClear) {
  const std::string file = out.file("backup.db");
  ASSERT_EQ(vault->backupTo(file, false), Copy::ok);
  EXPECT_EQ(modeOf(file), 0600);
  // Nothing in clear: no value, and the file is the vault's, not a readable export.
  std::string bytes = test::readText(file);
  EXPECT_EQ(bytes.find("value-a"), std::string::npos);
  EXPECT_EQ(bytes.find(kOld.str()), std::string::npos);
  // Self-contained: no journal or WAL beside it.
  EXPECT_EQ(modeOf(file + "-wal"), -1);
}

TEST_F(VaultRewrapTest, BackupTargetsThatAreNotPlainNewFilesAreRefused) {
  test::writeText(out.file("exists.db"), "keep");
  test::writeText(out.file("pointed-at"), "keep");
  ::symlink(out.file("pointed-at").c_str(), out.file("link.db").c_str());
  ::mkdir(out.file("dir.db").c_str(), 0700);
  ::mkdir(out.file("locked").c_str(), 0500);
  struct Case {
    std::string target;
    bool replace;
    Copy status;
  };
  const Case cases[] = {
      {out.file("exists.db"), false, Copy::exists}, {out.file("link.db"), true, Copy::symlink},
      {out.file("dir.db"), true, Copy::notRegular}, {out.file("missing-dir/x.db"), false, Copy::notWritable},
      {"relative.db", false, Copy::notRegular},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(vault->backupTo(c.target, c.replace), c.status);
  }
  EXPECT_EQ(test::readText(out.file("pointed-at")), "keep");
  EXPECT_EQ(test::readText(out.file("exists.db")), "keep");
  // Root writes anywhere: the unwritable case only means something for other users.
  if (::geteuid() != 0) {
    EXPECT_EQ(vault->backupTo(out.file("locked/x.db"), false), Copy::notWritable);
  }
  EXPECT_EQ(vault->backupTo(out.file("exists.db"), true), Copy::ok);
}

TEST_F(VaultRewrapTest, ARestoreSwitchesToTheBackupAndKeepsTheOldVault) {
  const std::string file = out.file("backup.db");
  ASSERT_EQ(vault->backupTo(file, false), Copy::ok);
  // The live vault moves on: a new value and a new passphrase.
  ASSERT_EQ(vault->put(kService, "org/p/A", "changed", std::nullopt, false), 0);
  ASSERT_EQ(vault->changePassphrase(*key, kNew), Status::ok);

  prompt->answers = {"wrong", kOld.str()};
  VaultAdmin::Result result = admin.restore(file, "Restore — via test");
  ASSERT_EQ(result.status, VaultAdmin::Status::ok);
  EXPECT_EQ(result.items, 2);
  EXPECT_EQ(prompt->asked.size(), 2u);
  EXPECT_EQ(prompt->asked.back().error, "Wrong passphrase \xE2\x80\x94 try again");
  // The same connection now reads the backup: its value, its passphrase.
  EXPECT_EQ(read("org/p/A", key), "value-a");
  EXPECT_EQ(unlockWith(kOld), Status::ok);
  EXPECT_EQ(modeOf(vault->path() + ".bak"), 0600);
  Vault kept(vault->path() + ".bak", cheapVaultOptions());
  std::shared_ptr<const VaultKey> k;
  EXPECT_EQ(kept.unlock(kNew, k), Status::ok);
}

TEST_F(VaultRewrapTest, AFailedRestoreLeavesTheVaultAsItWas) {
  const std::string file = out.file("backup.db");
  ASSERT_EQ(vault->backupTo(file, false), Copy::ok);
  test::writeText(out.file("text.db"), "not a database at all, but long enough to look like one ....");
  // An SQLite database with the vault's tables but no key record.
  test::rawSql(out.file("empty-vault.db"),
               "CREATE TABLE meta(id INTEGER PRIMARY KEY, format INTEGER, public_key BLOB, wrapped_key BLOB,"
               " salt BLOB, opslimit INTEGER, memlimit INTEGER);"
               "CREATE TABLE items(service TEXT, account TEXT, sealed BLOB, generic TEXT);");
  struct Case {
    std::string source;
    std::deque<std::string> answers;
    VaultAdmin::Status status;
  };
  const Case cases[] = {
      {out.file("text.db"), {}, VaultAdmin::Status::notVault},
      {out.file("empty-vault.db"), {}, VaultAdmin::Status::notVault},
      {out.file("none.db"), {}, VaultAdmin::Status::missing},
      {file, {"a", "b", "c"}, VaultAdmin::Status::wrongPassphrase},
      {file, {"CANCEL"}, VaultAdmin::Status::canceled},
  };
  ASSERT_EQ(vault->put(kService, "org/p/A", "current", std::nullopt, false), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    prompt->answers = c.answers;
    EXPECT_EQ(admin.restore(c.source, "Restore — via test").status, c.status);
    EXPECT_EQ(read("org/p/A", key), "current");
    EXPECT_EQ(modeOf(vault->path() + ".bak"), -1);
  }
  // No staged copy is left behind in the vault's folder.
  for (const auto& entry : std::filesystem::directory_iterator(home.dataDir())) {
    EXPECT_EQ(entry.path().filename().string().find(".vault.db.restore"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace caskel
