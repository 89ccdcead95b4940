#include "platform/vault.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

#include "store/keychain_error.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::cheapVaultOptions;
using test::FakeAuthenticator;
using test::rawSql;

const std::string kService = "caskel";

SecretString pw(std::string_view text) {
  return SecretString(text);
}

// The prompt stand-in a real program would have: it creates the vault on first need and
// otherwise unlocks it, with a fixed passphrase.
class KeyringAuthenticator : public Authenticator {
 public:
  KeyringAuthenticator(VaultKeyring& keyring, std::string passphrase)
      : keyring_(keyring), pass_(std::move(passphrase)) {}
  bool canEvaluate() override { return true; }
  AuthOutcome evaluate(const std::string& reason, const Requester&, double,
                       std::shared_ptr<const VaultKey>& key) override {
    reasons.push_back(reason);
    if (cancel) return AuthOutcome::canceled;
    auto s = keyring_.exists() ? keyring_.unlock(pass_, key) : keyring_.create(pass_, key);
    return s == VaultKeyring::Status::ok ? AuthOutcome::success : AuthOutcome::keyUnusable;
  }
  std::vector<std::string> reasons;
  bool cancel = false;

 private:
  VaultKeyring& keyring_;
  SecretString pass_;
};

class VaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vault->create(pw("pass-PHRASE-9876"), created), VaultKeyring::Status::ok);
    fake->setKey(created);
  }
  std::string read(const std::string& account, AuthContext& context, int32_t* status = nullptr) {
    SealedValue out;
    int32_t s = vault->copyValue(kService, account, context, out);
    if (status) *status = s;
    return out.value.str();
  }

  test::TempHome home;
  std::string path = home.dataDir() + "/vault.db";
  std::shared_ptr<Vault> vault = std::make_shared<Vault>(path, cheapVaultOptions());
  std::shared_ptr<FakeAuthenticator> fake = std::make_shared<FakeAuthenticator>();
  std::shared_ptr<const VaultKey> created;
};

TEST_F(VaultTest, KeyringCreatesOnceAndUnlocksOnlyWithItsPassphrase) {
  std::shared_ptr<const VaultKey> key;
  EXPECT_EQ(vault->unlock(pw("pass-PHRASE-9876"), key), VaultKeyring::Status::ok);
  ASSERT_TRUE(key);
  EXPECT_EQ(0, std::memcmp(key->publicKey(), created->publicKey(), VaultKey::kPublicKeyBytes));
  EXPECT_EQ(0, std::memcmp(key->secretKey(), created->secretKey(), VaultKey::kSecretKeyBytes));
  EXPECT_EQ(vault->unlock(pw("pass-phrase-9876"), key), VaultKeyring::Status::wrongPassphrase);
  EXPECT_FALSE(key);
  // A second creation would orphan every stored value: refused, the old key still opens.
  EXPECT_NE(vault->create(pw("other"), key), VaultKeyring::Status::ok);
  EXPECT_EQ(vault->unlock(pw("pass-PHRASE-9876"), key), VaultKeyring::Status::ok);

  Vault absent(home.path() + "/none/vault.db", cheapVaultOptions());
  EXPECT_FALSE(absent.exists());
  EXPECT_EQ(absent.unlock(pw("x"), key), VaultKeyring::Status::missing);
  EXPECT_EQ(test::modeOf(home.path() + "/none"), -1);  // looking does not create anything
}

TEST_F(VaultTest, HostileKeyRecordIsDamagedNotObeyed) {
  unsigned char otherPk[32], otherSk[32];
  crypto_box_keypair(otherPk, otherSk);
  std::string otherHex;
  for (unsigned char c : otherPk)
    otherHex += "0123456789abcdef"[c >> 4], otherHex += "0123456789abcdef"[c & 15];
  const std::vector<std::string> tampering = {
      "UPDATE meta SET memlimit = 1099511627776",  // 1 TiB
      "UPDATE meta SET opslimit = 4000000000",
      "UPDATE meta SET memlimit = 0",
      "UPDATE meta SET salt = x'00'",
      "UPDATE meta SET wrapped_key = substr(wrapped_key, 1, 20)",
      "UPDATE meta SET format = 2",
      "UPDATE meta SET public_key = x'" + otherHex + "'",  // key pair mismatch
  };
  for (const std::string& sql : tampering) {
    test::TempDir dir;
    Vault v(dir.file("vault.db"), cheapVaultOptions());
    std::shared_ptr<const VaultKey> key;
    ASSERT_EQ(v.create(pw("pw"), key), VaultKeyring::Status::ok);
    rawSql(dir.file("vault.db"), sql);
    EXPECT_EQ(v.unlock(pw("pw"), key), VaultKeyring::Status::damaged) << sql;
    EXPECT_EQ(v.put(kService, "a/b", "v", std::nullopt, false), status::kKeyMaterialUnusable) << sql;
  }
}

TEST_F(VaultTest, PrefixIsPlainTextAndListingIsByteOrdered) {
  for (const char* account : {"a_b/X", "a%b/Y", "aXb/Z", "b/2", "B/1", "a_b/\xc3\xa9"}) {
    ASSERT_EQ(vault->put(kService, account, std::string("v-") + account, std::nullopt, false),
              status::kSuccess);
  }
  ASSERT_EQ(vault->put("elsewhere", "a_b/Q", "other service", std::nullopt, false), status::kSuccess);
  AuthContext context(fake);
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
  CredentialItem item;
  EXPECT_EQ(vault->copyAttributes(kService, "b/2", item), status::kItemNotFound);
}

TEST_F(VaultTest, FailedWritesKeepTheOldItem) {
  ASSERT_EQ(vault->put(kService, "a/k", "old", std::string("{\"desc\":\"d\"}"), false), status::kSuccess);
  auto expectOld = [&] {
    AuthContext context(fake);
    EXPECT_EQ(read("a/k", context), "old");
    CredentialItem item;
    ASSERT_EQ(vault->copyAttributes(kService, "a/k", item), status::kSuccess);
    EXPECT_EQ(item.generic, "{\"desc\":\"d\"}");
  };

  // The replacing statement itself fails.
  rawSql(path, "CREATE TRIGGER refuse BEFORE UPDATE ON items BEGIN SELECT RAISE(ABORT, 'no'); END");
  EXPECT_EQ(vault->put(kService, "a/k", "new", std::string("{}"), false), status::kIoError);
  expectOld();
  rawSql(path, "DROP TRIGGER refuse");

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
  Vault frozen(path, readOnly);
  EXPECT_NE(frozen.put(kService, "a/k", "new", std::nullopt, false), status::kSuccess);
  expectOld();
}

// A sealed value built by hand: [first byte][24-bit account length][account][value], as hex.
std::string sealedHex(const VaultKey& key, unsigned char first, const std::string& account,
                      const std::string& value) {
  std::string plain{static_cast<char>(first), static_cast<char>(account.size() >> 16),
                    static_cast<char>(account.size() >> 8), static_cast<char>(account.size())};
  plain += account + value;
  std::vector<unsigned char> sealed(plain.size() + crypto_box_SEALBYTES);
  crypto_box_seal(sealed.data(), reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                  key.publicKey());
  std::string hex(sealed.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), sealed.data(), sealed.size());
  hex.pop_back();
  return hex;
}

TEST_F(VaultTest, StrictFlagIsSealedWithTheValueNotTakenFromTheClearMetadata) {
  ASSERT_EQ(vault->put(kService, "a/strict", "s-value", std::string(R"({"strict":true})"), true),
            status::kSuccess);
  ASSERT_EQ(vault->put(kService, "a/lax", "l-value", std::string(R"({"strict":true})"), false),
            status::kSuccess);
  const std::string longAccount = "a/" + std::string(300, 'L');  // its length needs two bytes
  ASSERT_EQ(vault->put(kService, longAccount, "long", std::nullopt, true), status::kSuccess);
  EXPECT_EQ(vault->put(kService, std::string(0x1000000, 'a'), "v", std::nullopt, false), status::kIoError);
  rawSql(path, "UPDATE items SET generic = '{}'");

  AuthContext context(fake);
  for (const auto& [account, value, strict] :
       {std::tuple<std::string, std::string, bool>{"a/strict", "s-value", true},
        {"a/lax", "l-value", false},
        {longAccount, "long", true}}) {
    SealedValue out;
    ASSERT_EQ(vault->copyValue(kService, account, context, out), status::kSuccess);
    EXPECT_EQ(out.value.str(), value);
    EXPECT_EQ(out.strict, strict) << account;
  }
  std::map<std::string, SealedValue> values;
  ASSERT_EQ(vault->copyAllValues(kService, "a/", context, values), status::kSuccess);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values.at("a/strict").strict, true);
  EXPECT_EQ(values.at("a/lax").strict, false);
}

TEST_F(VaultTest, ItemsSealedBeforeTheFlagStillOpenAndUnknownFlagsDoNot) {
  const auto insert = [&](const std::string& account, const std::string& hex) {
    rawSql(path, "INSERT OR REPLACE INTO items(service, account, sealed, generic) VALUES('caskel', '" +
                     account + "', x'" + hex + "', '{\"strict\":true}')");
  };
  insert("a/old", sealedHex(*created, 0x00, "a/old", "old-value"));
  insert("a/new", sealedHex(*created, 0x81, "a/new", "new-value"));
  AuthContext context(fake);
  SealedValue out;
  ASSERT_EQ(vault->copyValue(kService, "a/old", context, out), status::kSuccess);
  EXPECT_EQ(out.value.str(), "old-value");
  EXPECT_EQ(out.strict, std::nullopt);  // the clear metadata is all there is
  ASSERT_EQ(vault->copyValue(kService, "a/new", context, out), status::kSuccess);
  EXPECT_EQ(out.strict, true);

  // Flags without the marker, unknown flags, and an old item moved to another row.
  insert("b/1", sealedHex(*created, 0x01, "b/1", "v"));
  insert("b/2", sealedHex(*created, 0x40, "b/2", "v"));
  insert("b/3", sealedHex(*created, 0x82, "b/3", "v"));
  insert("b/4", sealedHex(*created, 0xFF, "b/4", "v"));
  insert("b/5", sealedHex(*created, 0x00, "a/old", "old-value"));
  for (const char* account : {"b/1", "b/2", "b/3", "b/4", "b/5"}) {
    int32_t s = 0;
    EXPECT_EQ(read(account, context, &s), "") << account;
    EXPECT_EQ(s, status::kDecode) << account;
  }
  std::map<std::string, SealedValue> values;
  ASSERT_EQ(vault->copyAllValues(kService, "", context, values), status::kSuccess);
  EXPECT_EQ(values.size(), 2u);  // only a/old and a/new open
}

TEST(VaultFiles, PrivateModesAndNoClearTextWhateverTheUmask) {
  test::TempHome home;
  mode_t old = ::umask(0);
  {
    Vault vault(Vault::defaultPath(), cheapVaultOptions());
    KeyringAuthenticator auth(vault, "pass-PHRASE-9876");
    Authenticator::setShared(std::shared_ptr<Authenticator>(&auth, [](Authenticator*) {}));
    // The first save creates the vault through the prompt.
    EXPECT_EQ(vault.put(kService, "a/k", "correct-horse-VALUE-1234", std::nullopt, false), status::kSuccess);
    Authenticator::setShared(nullptr);
    EXPECT_EQ(auth.reasons, std::vector<std::string>{"Store \"a/k\""});
    EXPECT_EQ(test::modeOf(home.dataDir()), 0700);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(test::modeOf(home.dataDir() + "/vault.db" + suffix), 0600) << suffix;
    }
    std::string bytes =
        test::readText(home.dataDir() + "/vault.db") + test::readText(home.dataDir() + "/vault.db-wal");
    EXPECT_NE(bytes.find("a/k"), std::string::npos);  // the account is in clear; the value is not
    EXPECT_EQ(bytes.find("correct-horse"), std::string::npos);
    EXPECT_EQ(bytes.find("pass-PHRASE"), std::string::npos);
  }
  ::umask(old);
  std::string bytes = test::readText(home.dataDir() + "/vault.db");
  EXPECT_EQ(bytes.find("correct-horse"), std::string::npos);

  test::TempHome canceled;
  Vault vault(Vault::defaultPath(), cheapVaultOptions());
  KeyringAuthenticator auth(vault, "pw");
  auth.cancel = true;
  Authenticator::setShared(std::shared_ptr<Authenticator>(&auth, [](Authenticator*) {}));
  EXPECT_EQ(vault.put(kService, "a/k", "v", std::nullopt, false), status::kUserCanceled);
  Authenticator::setShared(nullptr);
  EXPECT_FALSE(vault.exists());
}

}  // namespace
}  // namespace caskel
