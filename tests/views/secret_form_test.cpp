#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "views/add_form_rules.h"
#include "views/add_secret_view.h"
#include "views/date_validity.h"
#include "views/edit_form_rules.h"
#include "views/edit_secret_view.h"
#include "views/metadata_fields.h"
#include "views/revealed_value.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

using I = AddFormInput;
using M = CredentialMode;

// The add form's input in `mode` with the given fields set.
AddFormInput formInput(M mode, const char* account, std::vector<std::pair<QString I::*, const char*>> fields,
                       const char* expires = "") {
  I in;
  in.mode = mode;
  in.account = account;
  in.metadata.expires = expires;
  for (const auto& [field, text] : fields) in.*field = text;
  return in;
}

TEST(SecretFormRules, DateValidityIsStrict) {
  const std::pair<const char*, bool> cases[] = {
      {"2025-02-28", true},  {"2024-02-29", true},  {"2025-02-29", false}, {"2025-02-30", false},
      {"2025-13-01", false}, {"2025-00-10", false}, {"2025-2-28", false},  {"2025-02-28 ", false},
      {"", false},           {"31/03/2026", false}, {"2025-02-2x", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(isValidDate(QString::fromUtf8(text)), valid) << text;
}

TEST(SecretFormRules, AddFormValidity) {
  const char* account = "acme/api/KEY";
  const std::tuple<const char*, AddFormInput, bool> cases[] = {
      {"secret", formInput(M::secret, account, {{&I::value, "v"}}), true},
      {"no value", formInput(M::secret, account, {}), false},
      {"no folder", formInput(M::secret, "KEY", {{&I::value, "v"}}), false},
      {"empty account", formInput(M::secret, "", {{&I::value, "v"}}), false},
      {"bad expiry", formInput(M::secret, account, {{&I::value, "v"}}, "2025-13-01"), false},
      {"good expiry", formInput(M::secret, account, {{&I::value, "v"}}, "2025-02-28"), true},
      // Only the current mode's fields count.
      {"api key without key", formInput(M::apiKey, account, {{&I::value, "v"}}), false},
      {"api key", formInput(M::apiKey, account, {{&I::apiKeyPrimary, "k"}}), true},
      {"login without password", formInput(M::login, account, {{&I::username, "u"}}), false},
      {"login", formInput(M::login, account, {{&I::username, "u"}, {&I::password, "p"}}), true},
      {"blank codes", formInput(M::recoveryCodes, account, {{&I::recoveryCodes, " \n\t\n"}}), false},
      {"codes", formInput(M::recoveryCodes, account, {{&I::recoveryCodes, "\na\n"}}), true},
  };
  for (const auto& [name, in, valid] : cases) EXPECT_EQ(isAddFormValid(in), valid) << name;
  EXPECT_TRUE(accountHint("KEY").warning);
  EXPECT_FALSE(accountHint("").warning);
  EXPECT_FALSE(accountHint("acme/KEY").warning);
}

TEST(SecretFormRules, BareSecretHasNoMetadataButStrictOrAFieldGivesSome) {
  AddFormInput input = formInput(M::secret, "acme/KEY", {{&I::value, "a value of some length"}});
  EXPECT_EQ(storedSecretOf(input).metadata, std::nullopt);
  input.strict = true;
  EXPECT_EQ(storedSecretOf(input).metadata, metadataOf(R"({"strict":true})"));
  input.strict = false;
  input.metadata.bundle = "db";
  EXPECT_EQ(storedSecretOf(input).metadata, metadataOf(R"({"bundle":"db"})"));
  // Structured modes take their peek from their first field, not from the JSON text.
  input = formInput(M::login, "acme/KEY", {{&I::username, "someone@example.com"}, {&I::password, "pw"}});
  EXPECT_EQ(storedSecretOf(input).metadata->peek, "someone@");
}

// Save with an unchanged form, a bad expiry and the carried rotation note are the edit view's.
TEST(SecretFormRules, EditSaveEnablingAndStrictLifting) {
  const SecretMetadata stored = metadataOf(R"({"type":"token","strict":true})");
  MetadataTexts texts;
  texts.type = "token";
  EXPECT_TRUE(isEditSaveEnabled(true, editFormMetadata(texts, true, stored), stored, ""));  // a new value
  const SecretMetadata lax = editFormMetadata(texts, false, stored);
  EXPECT_TRUE(isEditSaveEnabled(false, lax, stored, "2025-02-28"));
  EXPECT_EQ(lax.strict, std::nullopt);
  EXPECT_EQ(metadataForUpdate(lax, stored).strict, false);
  EXPECT_EQ(metadataForUpdate(lax, SecretMetadata{}).strict, std::nullopt);
}

TEST(SecretFormRules, RevealedRowsByStoredType) {
  using Rows = std::vector<std::pair<QString, std::string>>;
  const std::tuple<std::optional<std::string>, const char*, Rows> cases[] = {
      {"api_key", R"({"key":"k1","secondary":"k2"})", {{"Key", "k1"}, {"Secondary", "k2"}}},
      {"api_key", R"({"key":"k1"})", {{"Key", "k1"}}},
      {"api_key", R"({"secondary":"k2"})", {{"", R"({"secondary":"k2"})"}}},
      {"login", R"({"password":"p","username":"u"})", {{"Username", "u"}, {"Password", "p"}}},
      {"login", R"({"username":"u"})", {{"", R"({"username":"u"})"}}},
      {"recovery_code", R"(["a","b"])", {{"", "1. a\n2. b"}}},
      {"recovery_code", "a\nb", {{"", "a\nb"}}},
      {"recovery_code", R"(["a",1])", {{"", R"(["a",1])"}}},
      {"token", R"({"key":"k1"})", {{"", R"({"key":"k1"})"}}},
      {std::nullopt, "plain", {{"", "plain"}}},
  };
  for (const auto& [type, value, expected] : cases) {
    Rows rows;
    for (const RevealedRow& row : revealedRows(type, value)) rows.emplace_back(row.label, row.text.str());
    EXPECT_EQ(rows, expected) << type.value_or("(none)") << " " << value;
  }
}

TEST_F(ViewsFixture, AddFormStoresEachModesValueAndMetadata) {
  // The mode, how the form is filled, and the value and metadata stored.
  const std::tuple<CredentialMode, std::function<void(AddSecretView&)>, std::string, SecretMetadata> cases[] =
      {
          {CredentialMode::secret,
           [](AddSecretView& v) {
             v.valueField()->setText("s3cret value");
             v.metadataFields()->typeField()->setText("token");
             v.metadataFields()->bundleField()->setText("db");
           },
           "s3cret value", metadataOf(R"({"type":"token","bundle":"db"})")},
          {CredentialMode::apiKey,
           [](AddSecretView& v) {
             v.metadataFields()->typeField()->setText("token");  // typed in Secret mode, then hidden
             v.apiKeyField()->setText("AKIA/123");
           },
           R"({"key":"AKIA\/123"})", metadataOf(R"({"type":"api_key"})")},
          {CredentialMode::apiKey,
           [](AddSecretView& v) {
             v.apiKeyField()->setText("k1");
             v.secondaryKeyField()->setText("k2");
             v.metadataFields()->expiresField()->setText("2027-01-31");
           },
           R"({"key":"k1","secondary":"k2"})", metadataOf(R"({"type":"api_key","expires":"2027-01-31"})")},
          {CredentialMode::login,
           [](AddSecretView& v) {
             v.metadataFields()->typeField()->setText("password");
             v.usernameField()->setText("me");
             v.passwordField()->setText("pw");
             v.strictToggle()->setChecked(true);
           },
           R"({"password":"pw","username":"me"})", metadataOf(R"({"type":"login","strict":true})")},
          {CredentialMode::recoveryCodes,
           [](AddSecretView& v) { v.recoveryCodesField()->setPlainText("  one \n\n\ttwo\t\n   \nthree"); },
           R"(["one","two","three"])", metadataOf(R"({"type":"recovery_code"})")},
      };
  for (const auto& [mode, fill, value, metadata] : cases) {
    AddSecretView view(services());
    QSignalSpy dismissed(&view, &AddSecretView::dismissed);
    QTest::keyClicks(view.accountField(), "acme/api/KEY");
    fill(view);
    view.setMode(mode);
    ASSERT_TRUE(view.saveButton()->isEnabled()) << value;
    QTest::keyClick(view.accountField(), Qt::Key_Return);
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_EQ(store->rawValue("caskel", "acme/api/KEY"), value);
    EXPECT_EQ(storedMetadata("acme/api/KEY"), metadata) << value;  // strict off is absent, never false
  }
}

TEST_F(ViewsFixture, AddFormHintSaveEnablingAndUnprefixedStoreError) {
  AddSecretView view(services());
  QSignalSpy dismissed(&view, &AddSecretView::dismissed);
  view.valueField()->setText("value");
  QTest::keyClicks(view.accountField(), "KEY");
  EXPECT_EQ(view.accountHintLabel()->text(), "Must contain at least one / (e.g. org/project/KEY)");
  EXPECT_FALSE(view.saveButton()->isEnabled());
  view.accountField()->setText("acme/KEY");
  EXPECT_EQ(view.accountHintLabel()->text(), "Use shared/ prefix for secrets used across multiple projects");
  EXPECT_TRUE(view.saveButton()->isEnabled());
  view.metadataFields()->expiresField()->setText("2025-02-30");
  EXPECT_FALSE(view.saveButton()->isEnabled());
  view.metadataFields()->expiresField()->clear();

  store->failWrites(status::kDuplicateItem);
  QTest::mouseClick(view.saveButton(), Qt::LeftButton);
  EXPECT_EQ(view.errorLabel()->text(), "This secret already exists");
  EXPECT_EQ(dismissed.count(), 0);
  EXPECT_EQ(view.valueField()->text(), "value");
}

const char* const kKey = "acme/api/KEY";

TEST_F(ViewsFixture, EditFormMetadataOnlySaveTakesOnePromptAndKeepsWhatTheFormDoesNotShow) {
  // What is stored, the edit, and what is stored after.
  using Edit = std::function<void(EditSecretView&)>;
  const std::tuple<const char*, SecretMetadata, Edit, SecretMetadata> cases[] = {
      {"bundle", metadataOf(R"({"type":"token"})"),
       [](EditSecretView& v) { v.metadataFields()->bundleField()->setText("db"); },
       metadataOf(R"({"type":"token","bundle":"db"})")},
      {"rotation note kept", metadataOf(R"({"rotate":"monthly"})"),
       [](EditSecretView& v) { v.metadataFields()->descField()->setText("CI"); },
       metadataOf(R"({"desc":"CI","rotate":"monthly"})")},
      {"strict lifted", metadataOf(R"({"strict":true})"),
       [](EditSecretView& v) { v.strictToggle()->setChecked(false); }, metadataOf(R"({"strict":false})")},
  };
  for (const auto& [name, before, edit, after] : cases) {
    put(kKey, "v", before);
    EditSecretView view(services(), kKey);
    QSignalSpy dismissed(&view, &EditSecretView::dismissed);
    EXPECT_FALSE(view.saveButton()->isEnabled()) << name;
    edit(view);
    view.metadataFields()->expiresField()->setText("2025-13-01");
    EXPECT_FALSE(view.saveButton()->isEnabled()) << name;
    view.metadataFields()->expiresField()->clear();
    ASSERT_TRUE(view.saveButton()->isEnabled()) << name;

    const int promptsBefore = auth->promptCount();
    QTest::mouseClick(view.saveButton(), Qt::LeftButton);
    EXPECT_EQ(dismissed.count(), 0);  // the store call waits on the worker
    settle();
    EXPECT_EQ(auth->promptCount() - promptsBefore, 1) << name;
    EXPECT_EQ(dismissed.count(), 1) << name;
    EXPECT_EQ(storedMetadata(kKey), after) << name;
    EXPECT_EQ(store->rawValue("caskel", kKey), "v");
  }
}

TEST_F(ViewsFixture, EditFormFailedDeleteClosesTheConfirmationAndSaysWhy) {
  audit.setEnabled(true);
  put(kKey);
  EditSecretView view(services(), kKey);
  QSignalSpy dismissed(&view, &EditSecretView::dismissed);
  store->failWrites(status::kAuthFailed);
  view.askToDelete();
  view.deleteSecret();
  EXPECT_EQ(view.errorLabel()->text(), "Failed to delete: Authentication failed — try again");
  EXPECT_FALSE(view.isConfirmingDelete());
  EXPECT_EQ(dismissed.count(), 0);

  store->failWrites(0);
  view.askToDelete();
  view.deleteSecret();
  EXPECT_EQ(dismissed.count(), 1);
  EXPECT_FALSE(store->rawValue("caskel", kKey).has_value());
  audit.flush();
  std::vector<AuditEntry> entries = audit.readEntries(10);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].operation, "DELETE");
  EXPECT_EQ(entries[0].result, "ok (gui)");
}

TEST_F(ViewsFixture, EditFormCopiedValueIsClearedOnlyWhenTheClipboardIsUnchanged) {
  put(kKey, "the value");
  for (bool copiedElsewhere : {false, true}) {
    EditSecretView view(services(), kKey);
    view.toggleReveal();
    settle();
    ASSERT_TRUE(view.isRevealed());
    view.copyValue();
    EXPECT_EQ(clipboard->text(), "the value");
    ASSERT_EQ(mainQueue.delayed().size(), 1u);
    EXPECT_DOUBLE_EQ(mainQueue.delayed()[0].delay, 30);
    if (copiedElsewhere) clipboard->setText("something else");
    mainQueue.runAll();
    EXPECT_EQ(clipboard->text(), copiedElsewhere ? "something else" : "") << copiedElsewhere;
    view.toggleReveal();
    EXPECT_FALSE(view.isRevealed());
    EXPECT_FALSE(view.revealedArea()->findChild<QLabel*>());
  }
}

}  // namespace
}  // namespace caskel
