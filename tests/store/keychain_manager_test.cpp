#include "store/keychain_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "platform/passphrase_authenticator.h"
#include "platform/pinentry_client.h"
#include "platform/vault.h"
#include "support/fakes.h"
#include "support/scripted_pinentry.h"
#include "support/test_env.h"

// Metadata is written with designated initializers; the fields left out are meant absent.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace caskel {
namespace {

using test::cheapVaultOptions;
using test::FakeAuthenticator;
using test::rawSql;

std::string errorText(const Result<SecretString>& result) {
  return result.ok() ? "ok: " + result.value().str() : result.error().errorDescription();
}

// A real vault in a temporary home; prompts answered by a fake that hands out the vault's key.
class KeychainManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const VaultKey> key;
    ASSERT_EQ(vault->create(SecretString(std::string("pass")), key), VaultKeyring::Status::ok);
    fake->setKey(key);
    Authenticator::setShared(fake);
    quiet.setInteractionNotAllowed(true);
  }
  void TearDown() override { Authenticator::setShared(nullptr); }

  test::TempHome home;
  std::shared_ptr<Vault> vault = std::make_shared<Vault>(Vault::defaultPath(), cheapVaultOptions());
  std::shared_ptr<FakeAuthenticator> fake = std::make_shared<FakeAuthenticator>();
  KeychainManager keychain{"caskel", vault};
  AuthContext context{fake};
  AuthContext quiet{fake};

  // The strictness a read reports, which must not depend on what the flag held before.
  bool strictOf(KeychainManager& keys, const std::string& account) {
    bool fromTrue = true, fromFalse = false;
    EXPECT_TRUE(keys.readValue(account, &context, &fromTrue).ok()) << account;
    EXPECT_TRUE(keys.readValue(account, &context, &fromFalse).ok()) << account;
    EXPECT_EQ(fromTrue, fromFalse) << account;
    return fromFalse;
  }
};

TEST_F(KeychainManagerTest, SaveMergesMetadataAndRecomputesThePeek) {
  const SecretMetadata full{
      .type = "api_key", .bundle = "b", .desc = "d", .expires = "2030-01-01", .strict = false, .rotate = "r"};
  const auto peeked = [](SecretMetadata m, const char* peek) {
    m.peek = peek;
    return m;
  };
  const std::string strictValue = "strict-value-0123456789abcdefghij";
  // Saved in order over one another: value, metadata given, metadata then stored.
  const std::tuple<std::string, std::optional<SecretMetadata>, SecretMetadata> saves[] = {
      {"abcdefg", SecretMetadata{.peek = "abcdefg"}, {}},  // too short to show any of it
      {"0123456789abcdefghijklmnopqrstuv", full, peeked(full, "01234567")},
      // No metadata over an existing item: every field kept, the peek follows the new value.
      {"zyxwvutsrqponmlkjihgfedcba", std::nullopt, peeked(full, "zyxwvu")},
      // A peek given by the caller (or left from an older value) is replaced by the value's own.
      {"new-value-123456", SecretMetadata{.peek = "custom"}, {.peek = "new-"}},
      {"tiny", SecretMetadata{.peek = "new-"}, {}},
      // A strict secret shows nothing of itself in clear, given peek or not.
      {strictValue, SecretMetadata{.peek = "s", .strict = true}, {.strict = true}},
      {strictValue, std::nullopt, {.strict = true}}};
  for (const auto& [value, given, stored] : saves) {
    ASSERT_FALSE(keychain.save("a/k", value, given)) << value;
    EXPECT_EQ(keychain.readMetadata("a/k"), stored) << value;
  }

  // Undecodable stored metadata counts as none (unknown keys dropping is the metadata test's).
  ASSERT_EQ(vault->put("caskel", "a/bad", "v", std::string("{\"strict\":\"yes\"}"), false), 0);
  EXPECT_FALSE(keychain.readMetadata("a/bad"));
  ASSERT_FALSE(keychain.save("a/bad", "value-12", std::nullopt));
  EXPECT_EQ(keychain.readMetadata("a/bad"), SecretMetadata{.peek = "va"});

  EXPECT_EQ(fake->promptCount(), 0);  // saving and metadata reads never ask
}

TEST_F(KeychainManagerTest, ReadValueFailuresCarryTheirTexts) {
  ASSERT_FALSE(keychain.save("a/k", "v", std::nullopt));
  const std::string noVault = "Caskel can't access the vault right now";
  const std::string badKey = "Failed to create access control \xE2\x80\x94 check system settings";
  for (const auto& [outcome, text] :
       {std::pair<AuthOutcome, std::string>{AuthOutcome::canceled, "Authentication canceled"},
        {AuthOutcome::failed, "Authentication canceled"},
        {AuthOutcome::unavailable, "Passphrase prompt unavailable: the passphrase prompt could not be shown"},
        {AuthOutcome::keyUnusable, badKey}}) {
    fake->queue(outcome);
    EXPECT_EQ(errorText(keychain.readValue("a/k", nullptr)), text);
  }
  EXPECT_EQ(errorText(keychain.readValue("a/k", &quiet)), noVault);
  EXPECT_EQ(fake->promptCount(), 4);
  EXPECT_EQ(errorText(keychain.readValue("a/missing", nullptr)), "Secret not found");
  EXPECT_EQ(fake->promptCount(), 4);  // nothing to read, nothing asked

  AuthContext strangerKey(std::make_shared<FakeAuthenticator>());
  EXPECT_EQ(errorText(keychain.readValue("a/k", &strangerKey)), badKey);

  ASSERT_EQ(vault->put("caskel", "a/latin1", "caf\xE9", std::nullopt, false), 0);
  ASSERT_EQ(vault->put("caskel", "a/cut", "v", std::nullopt, false), 0);
  rawSql(vault->path(), "UPDATE items SET sealed = x'0011' WHERE account = 'a/cut'");
  // A value sealed for another row is refused by the vault itself (the vault test's).
  for (const char* account : {"a/latin1", "a/cut"})
    EXPECT_EQ(errorText(keychain.readValue(account, &context)), "Failed to decode secret value") << account;
  EXPECT_EQ(keychain.readAllValues(context).size(), 1u);  // only a/k opens as text
}

TEST_F(KeychainManagerTest, ListingAndBulkReads) {
  for (const char* account : {"z/last", "A/upper", "acme/api/KEY", "acme/web/KEY"})
    ASSERT_FALSE(keychain.save(account, std::string("value of ") + account, SecretMetadata{.desc = "x"}));
  ASSERT_EQ(vault->put("caskel", "acme/api/raw", "v", std::string("not json"), false), 0);
  std::vector<SecretInfo> listed = keychain.listSecrets(&quiet, true);
  std::vector<std::string> accounts;
  for (const SecretInfo& info : listed) accounts.push_back(info.account);
  EXPECT_EQ(accounts,
            (std::vector<std::string>{"A/upper", "acme/api/KEY", "acme/api/raw", "acme/web/KEY", "z/last"}));
  EXPECT_FALSE(listed[2].metadata);
  EXPECT_EQ(listed[0].metadata->desc, "x");

  // Which items a prefix reaches is the vault test's, how many open the strictness test's.
  fake->queue(AuthOutcome::canceled);
  AuthContext canceled(fake);
  EXPECT_TRUE(keychain.readAllValues(canceled).empty());
  EXPECT_EQ(fake->promptCount(), 1);

  test::TempHome empty;
  KeychainManager nothing("caskel", std::make_shared<Vault>(Vault::defaultPath(), cheapVaultOptions()));
  EXPECT_TRUE(nothing.listSecrets(nullptr, true).empty());
  EXPECT_FALSE(nothing.readMetadata("a/k"));
}

// A migration whose writes fail is the model's migration test's; a delete the store refuses, the
// "rm" handler's.
TEST_F(KeychainManagerTest, UpdateAndDelete) {
  ASSERT_FALSE(keychain.save("a/k", "secret-value", SecretMetadata{.type = "token"}));
  ASSERT_FALSE(keychain.updateMetadata("a/k", SecretMetadata{.desc = "new"}, &context));
  EXPECT_EQ(keychain.readMetadata("a/k"), (SecretMetadata{.desc = "new", .peek = "sec"}));
  EXPECT_EQ(keychain.readValue("a/k", &context).value().str(), "secret-value");
  fake->queue(AuthOutcome::canceled);
  EXPECT_EQ(keychain.updateMetadata("a/k", SecretMetadata{}, nullptr),
            KeychainError::authenticationCanceled());
  EXPECT_EQ(keychain.readMetadata("a/k")->desc, "new");
  EXPECT_EQ(keychain.updateMetadata("a/none", SecretMetadata{}, &context), KeychainError::fromStatus(-25300));

  ASSERT_FALSE(keychain.save("b/k", "other", std::nullopt));
  EXPECT_FALSE(keychain.deleteItem("b/k"));
  EXPECT_FALSE(keychain.deleteItem("b/k"));  // already gone is fine
  EXPECT_EQ(errorText(keychain.readValue("b/k", &context)), "Secret not found");
}

TEST_F(KeychainManagerTest, FailedSaveKeepsTheOldItemAndConcurrentSavesBothSucceed) {
  ASSERT_FALSE(keychain.save("a/k", "old-value", SecretMetadata{.desc = "old"}));
  rawSql(vault->path(), "CREATE TRIGGER refuse BEFORE INSERT ON items BEGIN SELECT RAISE(ABORT, 'x'); END");
  KeychainStatus failed = keychain.save("a/k", "new-value", SecretMetadata{.desc = "new"});
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->errorDescription(), "Vault error (-36)");
  EXPECT_EQ(keychain.readValue("a/k", &context).value().str(), "old-value");
  EXPECT_EQ(keychain.readMetadata("a/k")->desc, "old");
  rawSql(vault->path(), "DROP TRIGGER refuse");

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // Half the writers share this connection, half have their own (as another process would).
      KeychainManager own =
          t % 2 ? KeychainManager("caskel", std::make_shared<Vault>(vault->path(), cheapVaultOptions()))
                : keychain;
      for (int i = 0; i < 20; ++i)
        failures += own.save("a/k", "writer-" + std::to_string(t), std::nullopt) ? 1 : 0;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(keychain.readValue("a/k", &context).value().str().substr(0, 7), "writer-");
  EXPECT_EQ(keychain.readMetadata("a/k")->desc, "old");
}

// What an agent with write access to vault.db can do: rewrite the clear metadata.
void editClearMetadata(const std::string& path, const std::string& account, const std::string& json) {
  rawSql(path, "UPDATE items SET generic = '" + json + "' WHERE account = '" + account + "'");
}

TEST_F(KeychainManagerTest, SealedStrictnessOutlivesEditsOfTheClearMetadata) {
  ASSERT_FALSE(keychain.save("a/strict", "strict-value-1234", SecretMetadata{.desc = "d", .strict = true}));
  ASSERT_FALSE(keychain.save("a/lax", "lax-value-123456", SecretMetadata{.desc = "d"}));
  ASSERT_FALSE(keychain.save("a/raised", "raised-value-1234", std::nullopt));
  editClearMetadata(vault->path(), "a/strict", R"({"desc":"d"})");
  editClearMetadata(vault->path(), "a/raised", R"({"strict":true})");  // raising is no attack
  EXPECT_TRUE(strictOf(keychain, "a/strict"));
  EXPECT_FALSE(strictOf(keychain, "a/lax"));
  EXPECT_TRUE(strictOf(keychain, "a/raised"));
  std::set<std::string> strictAccounts{"b/kept"};
  EXPECT_EQ(keychain.readAllValues(context, "a/", &strictAccounts).size(), 3u);
  EXPECT_EQ(strictAccounts, (std::set<std::string>{"a/raised", "a/strict", "b/kept"}));

  // A metadata change that does not name strictness keeps it, and puts it back in clear.
  ASSERT_FALSE(keychain.updateMetadata("a/strict", SecretMetadata{.desc = "new"}, &context));
  EXPECT_EQ(keychain.readMetadata("a/strict"), (SecretMetadata{.desc = "new", .strict = true}));
  editClearMetadata(vault->path(), "a/strict", R"({"strict":false})");
  EXPECT_TRUE(strictOf(keychain, "a/strict"));

  // Re-sealing every item keeps strictness too; the edited clear copy is repaired.
  EXPECT_EQ(keychain.migrateAccessControl(context), std::make_pair(3, 3));
  EXPECT_EQ(keychain.readMetadata("a/strict"), (SecretMetadata{.strict = true}));
  editClearMetadata(vault->path(), "a/strict", "{}");
  editClearMetadata(vault->path(), "a/raised", "{}");
  EXPECT_TRUE(strictOf(keychain, "a/strict"));
  EXPECT_TRUE(strictOf(keychain, "a/raised"));  // sealed strict by the migration

  // Only an explicit change lifts it.
  ASSERT_FALSE(keychain.updateMetadata("a/strict", SecretMetadata{.strict = false}, &context));
  EXPECT_FALSE(strictOf(keychain, "a/strict"));
  EXPECT_EQ(keychain.readMetadata("a/strict"), (SecretMetadata{.peek = "stri", .strict = false}));
}

TEST_F(KeychainManagerTest, ItemsWithoutASealedFlagGoByTheirClearMetadata) {
  auto memory = std::make_shared<test::MemoryCredentialStore>();
  KeychainManager keys("caskel", memory);
  ASSERT_FALSE(keys.save("a/old", "old-value-123456", SecretMetadata{.strict = true}));
  ASSERT_FALSE(keys.save("a/other", "other-value-1234", std::nullopt));
  for (const char* account : {"a/old", "a/other"}) memory->setSealedStrict("caskel", account, std::nullopt);
  EXPECT_TRUE(strictOf(keys, "a/old"));
  EXPECT_FALSE(strictOf(keys, "a/other"));
  std::set<std::string> strictAccounts;
  EXPECT_EQ(keys.readAllValues(context, {}, &strictAccounts).size(), 2u);
  EXPECT_EQ(strictAccounts, std::set<std::string>{"a/old"});

  // Such an item can still be lifted by an edit, until its next save seals the flag.
  memory->setGeneric("caskel", "a/old", "{}");
  EXPECT_FALSE(strictOf(keys, "a/old"));
  memory->setGeneric("caskel", "a/old", R"({"strict":true})");
  EXPECT_EQ(keys.migrateAccessControl(context), std::make_pair(2, 2));
  memory->setGeneric("caskel", "a/old", "{}");
  EXPECT_TRUE(strictOf(keys, "a/old"));
}

// The real prompt path: passphrase authenticator, pinentry client, scripted pinentry.
class KeychainManagerPromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pinentry.installInProcess();
    Authenticator::setShared(
        std::make_shared<PassphraseAuthenticator>(vault, std::make_shared<PinentryClient>(30)));
  }
  void TearDown() override { Authenticator::setShared(nullptr); }

  test::TempHome home;
  test::TempDir scratch;
  test::ScriptedPinentry pinentry{scratch.path()};
  std::shared_ptr<Vault> vault = std::make_shared<Vault>(Vault::defaultPath(), cheapVaultOptions());
  KeychainManager keychain{"caskel", vault};
};

// The first save creates the vault through the real prompt (a new passphrase, typed twice); a
// cancel creates nothing. Files stay private and hold no value in clear whatever the umask.
TEST_F(KeychainManagerPromptTest, FirstSaveCreatesTheVaultThenOnlyReadsPrompt) {
  pinentry.answer("CANCEL");
  EXPECT_EQ(keychain.save("acme/api/KEY", "v", std::nullopt),
            KeychainError::fromStatus(status::kUserCanceled));
  EXPECT_FALSE(vault->exists());
  const mode_t oldMask = ::umask(0);
  pinentry.answer("PIN pass-PHRASE-9876");
  ASSERT_FALSE(keychain.save("acme/api/KEY", "sk-VALUE-4242", std::nullopt));
  ASSERT_EQ(pinentry.promptCount(), 2);
  EXPECT_TRUE(pinentry.prompts()[1].value("repeat", false));
  EXPECT_EQ(pinentry.descriptions()[1].rfind("Store \"acme/api/KEY\"\n\n", 0), 0u);

  ASSERT_FALSE(keychain.save("acme/api/OTHER", "second", std::nullopt));
  EXPECT_EQ(pinentry.promptCount(), 2);  // saving needs no passphrase
  ::umask(oldMask);
  EXPECT_EQ(test::modeOf(home.dataDir()), 0700);
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(test::modeOf(vault->path() + suffix), 0600) << suffix;

  pinentry.answer("PIN pass-PHRASE-9876");
  {
    AuthContext context;
    EXPECT_EQ(keychain.readValue("acme/api/KEY", &context).value().str(), "sk-VALUE-4242");
    EXPECT_EQ(keychain.readValue("acme/api/OTHER", &context).value().str(), "second");
  }
  ASSERT_EQ(pinentry.promptCount(), 3);
  EXPECT_NE(pinentry.descriptions()[2].find("Read \"acme/api/KEY\""), std::string::npos);

  // Only the account and the peek (metadata in clear by design) may appear, before and after
  // the log is folded into the file at close.
  const auto expectNoClearText = [db = vault->path()] {
    const std::string bytes = test::readText(db) + test::readText(db + "-wal");
    EXPECT_NE(bytes.find("acme/api/KEY"), std::string::npos);
    EXPECT_EQ(bytes.find("sk-VALUE-"), std::string::npos);
    EXPECT_EQ(bytes.find("pass-PHRASE"), std::string::npos);
  };
  expectNoClearText();
  Authenticator::setShared(nullptr);
  keychain = KeychainManager("caskel", nullptr);
  const std::weak_ptr<Vault> closed = std::exchange(vault, nullptr);
  ASSERT_TRUE(closed.expired());
  expectNoClearText();
}

}  // namespace
}  // namespace caskel
