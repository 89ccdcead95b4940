#include "platform/vault.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <tuple>

#include "platform/passphrase_authenticator.h"
#include "store/keychain_error.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::cheapVaultOptions;
using test::rawSql;
using KeyStatus = VaultKeyring::Status;

const std::string kService = "caskel";
const auto pw = [](std::string_view text) { return SecretString(text); };

std::string hex(const unsigned char* bytes, size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes, size);
  out.pop_back();
  return out;
}

class VaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vault->create(pw("pass-PHRASE-9876"), created), KeyStatus::ok);
    fake->setKey(created);
  }
  SealedValue read(const std::string& account, int32_t expectedStatus = status::kSuccess) {
    SealedValue out;
    EXPECT_EQ(vault->copyValue(kService, account, context, out), expectedStatus) << account;
    return out;
  }

  test::TempHome home;
  std::string path = home.dataDir() + "/vault.db";
  std::shared_ptr<Vault> vault = std::make_shared<Vault>(path, cheapVaultOptions());
  std::shared_ptr<test::FakeAuthenticator> fake = std::make_shared<test::FakeAuthenticator>();
  AuthContext context{fake};
  std::shared_ptr<const VaultKey> created;
};

TEST_F(VaultTest, KeyringCreatesOnceAndUnlocksOnlyWithItsPassphrase) {
  std::shared_ptr<const VaultKey> key;
  EXPECT_EQ(vault->unlock(pw("pass-PHRASE-9876"), key), KeyStatus::ok);
  ASSERT_TRUE(key);
  EXPECT_EQ(0, std::memcmp(key->publicKey(), created->publicKey(), VaultKey::kPublicKeyBytes));
  EXPECT_EQ(0, std::memcmp(key->secretKey(), created->secretKey(), VaultKey::kSecretKeyBytes));
  EXPECT_EQ(vault->unlock(pw("pass-phrase-9876"), key), KeyStatus::wrongPassphrase);
  EXPECT_FALSE(key);
  // A second creation would orphan every stored value: refused, the old key still opens.
  EXPECT_NE(vault->create(pw("other"), key), KeyStatus::ok);
  EXPECT_EQ(vault->unlock(pw("pass-PHRASE-9876"), key), KeyStatus::ok);

  Vault absent(home.path() + "/none/vault.db", cheapVaultOptions());
  EXPECT_FALSE(absent.exists());
  EXPECT_EQ(absent.unlock(pw("x"), key), KeyStatus::missing);
  EXPECT_EQ(test::modeOf(home.path() + "/none"), -1);  // looking does not create anything
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
    ASSERT_EQ(v.create(pw("pw"), key), KeyStatus::ok);
    rawSql(dir.file("vault.db"), sql);
    EXPECT_EQ(v.unlock(pw("pw"), key), KeyStatus::damaged) << sql;
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
  CredentialItem item;
  EXPECT_EQ(vault->copyAttributes(kService, "b/2", item), status::kItemNotFound);
}

TEST_F(VaultTest, FailedWritesKeepTheOldItem) {
  ASSERT_EQ(vault->put(kService, "a/k", "old", std::string("{\"desc\":\"d\"}"), false), status::kSuccess);
  auto expectOld = [&] {
    EXPECT_EQ(read("a/k").value.str(), "old");
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
  EXPECT_NE(Vault(path, readOnly).put(kService, "a/k", "new", std::nullopt, false), status::kSuccess);
  expectOld();
}

TEST_F(VaultTest, StrictFlagIsSealedWithTheValueNotTakenFromTheClearMetadata) {
  const std::string longAccount = "a/" + std::string(300, 'L');  // its length needs two bytes
  const std::tuple<std::string, std::string, bool> items[] = {
      {"a/strict", "s-value", true}, {"a/lax", "l-value", false}, {longAccount, "long", true}};
  for (const auto& [account, value, strict] : items)
    ASSERT_EQ(vault->put(kService, account, value, std::string(R"({"strict":true})"), strict),
              status::kSuccess);
  EXPECT_EQ(vault->put(kService, std::string(0x1000000, 'a'), "v", std::nullopt, false), status::kIoError);
  rawSql(path, "UPDATE items SET generic = '{}'");

  std::map<std::string, SealedValue> values;
  ASSERT_EQ(vault->copyAllValues(kService, "a/", context, values), status::kSuccess);
  ASSERT_EQ(values.size(), 3u);
  for (const auto& [account, value, strict] : items) {
    SealedValue out = read(account);
    EXPECT_EQ(out.value.str(), value);
    EXPECT_EQ(out.strict, strict) << account;
    EXPECT_EQ(values.at(account).strict, strict) << account;
  }
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

// The first save creates the vault through the real authenticator, which asks for a new
// passphrase; a cancel creates nothing.
TEST(VaultFiles, PrivateModesAndNoClearTextWhateverTheUmask) {
  const auto save = [](const std::string& answer, const std::string& value) {
    auto vault = std::make_shared<Vault>(Vault::defaultPath(), cheapVaultOptions());
    auto prompt = std::make_shared<test::ListPrompt>();
    prompt->answers = {answer};
    Authenticator::setShared(std::make_shared<PassphraseAuthenticator>(vault, prompt));
    const int32_t status = vault->put(kService, "a/k", value, std::nullopt, false);
    Authenticator::setShared(nullptr);
    EXPECT_EQ(prompt->count(), 1);
    EXPECT_EQ(prompt->asked.at(0).description.rfind("Store \"a/k\"\n\n", 0), 0u);
    return std::make_pair(status, vault);  // open: its -wal and -shm files are there
  };
  test::TempHome home;
  const std::string db = home.dataDir() + "/vault.db";
  mode_t old = ::umask(0);
  auto [saved, vault] = save("pass-PHRASE-9876", "correct-horse-VALUE-1234");
  EXPECT_EQ(saved, status::kSuccess);
  EXPECT_EQ(test::modeOf(home.dataDir()), 0700);
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(test::modeOf(db + suffix), 0600) << suffix;
  ::umask(old);
  std::string bytes = test::readText(db) + test::readText(db + "-wal");
  EXPECT_NE(bytes.find("a/k"), std::string::npos);  // the account is in clear; the value is not
  EXPECT_EQ(bytes.find("correct-horse"), std::string::npos);
  EXPECT_EQ(bytes.find("pass-PHRASE"), std::string::npos);
  vault.reset();  // closed: the log is folded into the file
  EXPECT_EQ(test::readText(db).find("correct-horse"), std::string::npos);

  test::TempHome canceled;
  auto [refused, none] = save("CANCEL", "v");
  EXPECT_EQ(refused, status::kUserCanceled);
  EXPECT_FALSE(none->exists());
}

}  // namespace
}  // namespace caskel
