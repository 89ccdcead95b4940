#include "views/add_secret_view.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "views/metadata_fields.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

using AddSecretViewTest = ViewsFixture;

TEST_F(AddSecretViewTest, StoresEachModesValueAndMetadata) {
  struct Case {
    CredentialMode mode;
    std::function<void(AddSecretView&)> fill;
    std::string value;
    SecretMetadata metadata;  // compared without the peek, which the store derives
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    AddSecretView view(services());
    QSignalSpy dismissed(&view, &AddSecretView::dismissed);
    QTest::keyClicks(view.accountField(), "acme/api/KEY");
    c.fill(view);
    view.setMode(c.mode);
    ASSERT_TRUE(view.saveButton()->isEnabled()) << c.value;
    QTest::keyClick(view.accountField(), Qt::Key_Return);
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_EQ(store->rawValue("caskel", "acme/api/KEY"), c.value);
    std::optional<SecretMetadata> stored = keychain.readMetadata("acme/api/KEY");
    ASSERT_TRUE(stored.has_value());
    stored->peek.reset();
    EXPECT_EQ(*stored, c.metadata) << c.value;  // strict off is absent, never false
  }
}

TEST_F(AddSecretViewTest, HintSaveEnablingAndUnprefixedStoreError) {
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

}  // namespace
}  // namespace caskel
