#include "platform/vault.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <tuple>

#include "platform/vault_admin.h"
#include "store/keychain_error.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::cheapVaultOptions;
using test::modeOf;
using test::rawSql;
using KeyStatus = VaultKeyring::Status;
using Copy = Vault::CopyStatus;
using AdminStatus = VaultAdmin::Status;

const std::string kService = "caskel";
const SecretString kOld(std::string_view("old-PASS-1234"));
const SecretString kNew(std::string_view("new-PASS-5678"));

std::string hex(const unsigned char* bytes, size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes, size);
  out.pop_back();
  return out;
}

class VaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vault->create(kOld, created), KeyStatus::ok);
    fake->setKey(created);
  }
  SealedValue read(const std::string& account, int32_t expectedStatus = status::kSuccess) {
    SealedValue out;
    EXPECT_EQ(vault->copyValue(kService, account, context, out), expectedStatus) << account;
    return out;
  }
  KeyStatus unlockWith(const SecretString& passphrase, Vault* from = nullptr) {
    std::shared_ptr<const VaultKey> key;
    return (from ? *from : *vault).unlock(passphrase, key);
  }

  test::TempHome home;
  test::TempDir out;
  std::string path = home.dataDir() + "/vault.db";
  std::shared_ptr<Vault> vault = std::make_shared<Vault>(path, cheapVaultOptions());
  std::shared_ptr<test::FakeAuthenticator> fake = std::make_shared<test::FakeAuthenticator>();
  AuthContext context{fake};
  std::shared_ptr<const VaultKey> created;
};

TEST_F(VaultTest, KeyringCreatesOnceAndUnlocksOnlyWithItsPassphrase) {
  // That the unlocked key opens what the created one sealed, every read behind the real prompt
  // shows (the keychain's first-save test, and end to end).
  std::shared_ptr<const VaultKey> key;
  EXPECT_EQ(vault->unlock(SecretString(std::string_view("old-pass-1234")), key), KeyStatus::wrongPassphrase);
  EXPECT_FALSE(key);
  // A second creation would orphan every stored value: refused, the old key still opens.
  EXPECT_NE(vault->create(kNew, key), KeyStatus::ok);
  EXPECT_EQ(unlockWith(kOld), KeyStatus::ok);

  Vault absent(home.path() + "/none/vault.db", cheapVaultOptions());
  EXPECT_EQ(unlockWith(kOld, &absent), KeyStatus::missing);
  EXPECT_EQ(modeOf(home.path() + "/none"), -1);  // looking does not create anything
}

TEST_F(VaultTest, HostileKeyRecordIsDamagedNotObeyed) {
  unsigned char otherPk[32], otherSk[32];
  crypto_box_keypair(otherPk, otherSk);
  for (const std::string& sql : {
           std::string("UPDATE meta SET memlimit = 1099511627776"),  // 1 TiB
           std::string("UPDATE meta SET opslimit = 4000000000"), std::string("UPDATE meta SET memlimit = 0"),
           std::string("UPDATE meta SET salt = x'00'"),
           std::string("UPDATE meta SET wrapped_key = substr(wrapped_key, 1, 20)"),
           std::string("UPDATE meta SET format = 2"),
           "UPDATE meta SET public_key = x'" + hex(otherPk, 32) + "'",  // key pair mismatch
       }) {
    test::TempDir dir;
    Vault v(dir.file("vault.db"), cheapVaultOptions());
    std::shared_ptr<const VaultKey> key;
    ASSERT_EQ(v.create(kOld, key), KeyStatus::ok);
    rawSql(dir.file("vault.db"), sql);
    EXPECT_EQ(unlockWith(kOld, &v), KeyStatus::damaged) << sql;
    EXPECT_EQ(v.put(kService, "a/b", "v", std::nullopt, false), status::kKeyMaterialUnusable) << sql;
  }
}

TEST_F(VaultTest, PrefixIsPlainTextAndListingIsByteOrdered) {
  for (const char* account : {"a_b/X", "a%b/Y", "aXb/Z", "b/2", "B/1", "a_b/\xc3\xa9"})
    ASSERT_EQ(vault->put(kService, account, std::string("v-") + account, std::nullopt, false),
              status::kSuccess);
  ASSERT_EQ(vault->put("elsewhere", "a_b/Q", "other service", std::nullopt, false), status::kSuccess);
  std::map<std::string, SealedValue> values;
  ASSERT_EQ(vault->copyAllValues(kService, "a_b/", context, values), status::kSuccess);
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(values.at("a_b/X").value.str(), "v-a_b/X");
  EXPECT_EQ(fake->reasons(), std::vector<std::string>{"Read \"a_b/\""});
  AuthContext unused(fake);
  EXPECT_EQ(vault->copyAllValues(kService, "zzz/", unused, values), status::kSuccess);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(fake->promptCount(), 1);

  std::vector<CredentialItem> items;
  ASSERT_EQ(vault->copyAllAttributes(kService, items), status::kSuccess);
  std::vector<std::string> accounts;
  for (auto& item : items) accounts.push_back(item.account);
  EXPECT_EQ(accounts, (std::vector<std::string>{"B/1", "a%b/Y", "aXb/Z", "a_b/X", "a_b/\xc3\xa9", "b/2"}));

  EXPECT_EQ(vault->remove(kService, "b/2"), status::kSuccess);
  EXPECT_EQ(vault->remove(kService, "b/2"), status::kItemNotFound);
}

// A statement that fails inside the save is the keychain test's; here the file itself refuses.
TEST_F(VaultTest, FailedWritesKeepTheOldItem) {
  ASSERT_EQ(vault->put(kService, "a/k", "old", std::string("{\"desc\":\"d\"}"), false), status::kSuccess);
  auto expectOld = [&] {
    EXPECT_EQ(read("a/k").value.str(), "old");
    CredentialItem item;
    ASSERT_EQ(vault->copyAttributes(kService, "a/k", item), status::kSuccess);
    EXPECT_EQ(item.generic, "{\"desc\":\"d\"}");
  };
  // Another connection holds the write lock past our busy timeout.
  VaultOptions impatient = cheapVaultOptions();
  impatient.busyTimeoutMs = 20;
  Vault second(path, impatient);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(second.put(kService, "a/k", "new", std::nullopt, false), status::kIoError);
  EXPECT_EQ(second.remove(kService, "a/k"), status::kIoError);
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  expectOld();

  VaultOptions readOnly = cheapVaultOptions();
  readOnly.readOnly = true;
  EXPECT_NE(Vault(path, readOnly).put(kService, "a/k", "new", std::nullopt, false), status::kSuccess);
  expectOld();
}

// Strictness sealed with the value, whatever the clear metadata says, is the keychain test's.
TEST_F(VaultTest, AccountLengthIsSealedInThreeBytes) {
  const std::string longAccount = "a/" + std::string(300, 'L');  // its length needs two bytes
  ASSERT_EQ(vault->put(kService, longAccount, "long", std::nullopt, true), status::kSuccess);
  EXPECT_EQ(read(longAccount).value.str(), "long");
  EXPECT_EQ(read(longAccount).strict, true);
  EXPECT_EQ(vault->put(kService, std::string(0x1000000, 'a'), "v", std::nullopt, false), status::kIoError);
}

// A sealed value built by hand: [flags][24-bit account length][account][value].
std::string sealedHex(const VaultKey& key, unsigned char flags, const std::string& account,
                      const std::string& value) {
  std::string plain{static_cast<char>(flags), static_cast<char>(account.size() >> 16),
                    static_cast<char>(account.size() >> 8), static_cast<char>(account.size())};
  plain += account + value;
  std::vector<unsigned char> sealed(plain.size() + crypto_box_SEALBYTES);
  crypto_box_seal(sealed.data(), reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                  key.publicKey());
  return hex(sealed.data(), sealed.size());
}

TEST_F(VaultTest, ItemsSealedBeforeTheFlagStillOpenAndUnknownFlagsDoNot) {
  // Row account, flags, account sealed inside: flags without the marker, unknown flags, and an
  // old item moved to another row must not open.
  for (const auto& [row, flags, sealedAccount] :
       {std::tuple<std::string, int, std::string>{"a/old", 0x00, "a/old"},
        {"a/new", 0x81, "a/new"},
        {"b/1", 0x01, "b/1"},
        {"b/2", 0x40, "b/2"},
        {"b/3", 0x82, "b/3"},
        {"b/4", 0xFF, "b/4"},
        {"b/5", 0x00, "a/old"}}) {
    rawSql(path, "INSERT INTO items(service, account, sealed, generic) VALUES('caskel', '" + row + "', x'" +
                     sealedHex(*created, flags, sealedAccount, "value-of-" + sealedAccount) +
                     "', '{\"strict\":true}')");
  }
  EXPECT_EQ(read("a/old").value.str(), "value-of-a/old");
  EXPECT_EQ(read("a/old").strict, std::nullopt);  // the clear metadata is all there is
  EXPECT_EQ(read("a/new").strict, true);
  for (const char* account : {"b/1", "b/2", "b/3", "b/4", "b/5"})
    EXPECT_EQ(read(account, status::kDecode).value.str(), "") << account;
  std::map<std::string, SealedValue> values;
  ASSERT_EQ(vault->copyAllValues(kService, "", context, values), status::kSuccess);
  EXPECT_EQ(values.size(), 2u);  // only a/old and a/new open
}

// A new passphrase re-wraps the vault's key; backups and restores copy the whole vault. What
// must hold: the values stay readable, only the right passphrase opens, and nothing that fails
// half-way changes the vault.
class VaultAdminTest : public VaultTest {
 protected:
  void SetUp() override {
    VaultTest::SetUp();
    ASSERT_EQ(vault->put(kService, "org/p/A", "value-a", std::nullopt, false), 0);
    ASSERT_EQ(vault->put(kService, "org/p/B", "value-b", std::nullopt, true), 0);
  }
  std::shared_ptr<test::ListPrompt> prompt = std::make_shared<test::ListPrompt>();
  VaultAdmin admin{vault, prompt};
  const std::string backup = out.file("backup.db");
};

// Old refused, new opening and every value kept across a restart are the passwd end-to-end test's.
TEST_F(VaultAdminTest, AKeyOfAnotherVaultIsNeverWrappedIn) {
  Vault other(out.file("other.db"), cheapVaultOptions());
  std::shared_ptr<const VaultKey> foreign;
  ASSERT_EQ(other.create(kNew, foreign), KeyStatus::ok);
  EXPECT_EQ(vault->changePassphrase(*foreign, kNew), KeyStatus::damaged);
  EXPECT_EQ(unlockWith(kOld), KeyStatus::ok);
  EXPECT_EQ(unlockWith(kNew), KeyStatus::wrongPassphrase);
}

// The prompts of a passphrase change: old once (retried when wrong), new twice. Their texts are
// the passwd end-to-end test's.
TEST_F(VaultAdminTest, ThePersonIsAskedTheOldPassphraseThenTheNewTwice) {
  struct Case {
    std::deque<std::string> answers;
    AdminStatus status;
    const SecretString* opens;  // the passphrase that opens afterwards
  };
  const Case cases[] = {
      {{"wrong", kOld.str(), kNew.str()}, AdminStatus::ok, &kNew},
      {{"wrong", "wrong", "wrong"}, AdminStatus::wrongPassphrase, &kOld},
      {{kOld.str(), "CANCEL"}, AdminStatus::canceled, &kOld},
      {{kOld.str(), "", "GONE"}, AdminStatus::unavailable, &kOld},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers.front() + " then " + std::to_string(c.answers.size() - 1) + " more");
    if (unlockWith(kOld) != KeyStatus::ok) {
      ASSERT_EQ(vault->changePassphrase(*created, kOld), KeyStatus::ok);
    }
    prompt->answers = c.answers;
    VaultAdmin::Result result = admin.changePassphrase("Change the vault passphrase — via test");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(unlockWith(kNew), c.opens == &kNew ? KeyStatus::ok : KeyStatus::wrongPassphrase);
    EXPECT_EQ(unlockWith(kOld), c.opens == &kOld ? KeyStatus::ok : KeyStatus::wrongPassphrase);
    if (c.status == AdminStatus::unavailable) {
      EXPECT_EQ(result.reason, "pinentry exited without answering");
      // An empty new passphrase was asked again, with the reason on screen.
      EXPECT_EQ(prompt->asked.back().error, "The passphrase must not be empty");
    }
  }
}

// An existing file, kept unless replacing is asked for, is the backup end-to-end test's.
TEST_F(VaultAdminTest, BackupTargetsThatAreNotPlainNewFilesAreRefused) {
  test::writeText(out.file("pointed-at"), "keep");
  ::symlink(out.file("pointed-at").c_str(), out.file("link.db").c_str());
  ::mkdir(out.file("dir.db").c_str(), 0700);
  ::mkdir(out.file("locked").c_str(), 0500);
  const std::tuple<std::string, bool, Copy> cases[] = {
      {out.file("link.db"), true, Copy::symlink},
      {out.file("dir.db"), true, Copy::notRegular},
      {out.file("missing-dir/x.db"), false, Copy::notWritable},
      {"relative.db", false, Copy::notRegular},
      // Root writes anywhere: the unwritable case only means something for other users.
      {out.file("locked/x.db"), false, ::geteuid() == 0 ? Copy::ok : Copy::notWritable},
  };
  for (const auto& [target, replace, copied] : cases)
    EXPECT_EQ(vault->backupTo(target, replace), copied) << target;
  EXPECT_EQ(test::readText(out.file("pointed-at")), "keep");
}

// Its mode, no value in clear and the keys brought back are the backup end-to-end test's.
TEST_F(VaultAdminTest, ARestoreSwitchesToTheBackupsPassphraseAndKeepsTheOldVault) {
  ASSERT_EQ(vault->backupTo(backup, false), Copy::ok);
  EXPECT_EQ(modeOf(backup + "-wal"), -1);  // self-contained: no log beside it
  ASSERT_EQ(vault->put(kService, "org/p/A", "changed", std::nullopt, false), 0);
  ASSERT_EQ(vault->changePassphrase(*created, kNew), KeyStatus::ok);

  prompt->answers = {"wrong", kOld.str()};
  ASSERT_EQ(admin.restore(backup, "Restore — via test").status, AdminStatus::ok);
  EXPECT_EQ(prompt->asked.back().error, "Wrong passphrase \xE2\x80\x94 try again");
  // The same connection now reads the backup: its value, its passphrase.
  EXPECT_EQ(read("org/p/A").value.str(), "value-a");
  EXPECT_EQ(unlockWith(kOld), KeyStatus::ok);
  Vault kept(vault->path() + ".bak", cheapVaultOptions());
  EXPECT_EQ(unlockWith(kNew, &kept), KeyStatus::ok);
}

// A file that is no database, three wrong passphrases and a link are the restore end-to-end test's.
TEST_F(VaultAdminTest, AFailedRestoreLeavesTheVaultAsItWas) {
  ASSERT_EQ(vault->backupTo(backup, false), Copy::ok);
  // An SQLite database with the vault's tables but no key record.
  rawSql(out.file("empty-vault.db"),
         "CREATE TABLE meta(id INTEGER PRIMARY KEY, format INTEGER, public_key BLOB, wrapped_key BLOB,"
         " salt BLOB, opslimit INTEGER, memlimit INTEGER);"
         "CREATE TABLE items(service TEXT, account TEXT, sealed BLOB, generic TEXT);");
  const std::tuple<std::string, std::deque<std::string>, AdminStatus> cases[] = {
      {out.file("empty-vault.db"), {}, AdminStatus::notVault},
      {out.file("none.db"), {}, AdminStatus::missing},
      {backup, {"CANCEL"}, AdminStatus::canceled},
  };
  ASSERT_EQ(vault->put(kService, "org/p/A", "current", std::nullopt, false), 0);
  for (const auto& [source, answers, restored] : cases) {
    SCOPED_TRACE(source);
    prompt->answers = answers;
    EXPECT_EQ(admin.restore(source, "Restore — via test").status, restored);
    EXPECT_EQ(read("org/p/A").value.str(), "current");
    EXPECT_EQ(modeOf(vault->path() + ".bak"), -1);
  }
  // No staged copy is left behind in the vault's folder.
  for (const auto& entry : std::filesystem::directory_iterator(home.dataDir())) {
    EXPECT_EQ(entry.path().filename().string().find(".vault.db.restore"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace caskel
