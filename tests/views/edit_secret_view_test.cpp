#include "views/edit_secret_view.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "views/metadata_fields.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

using EditSecretViewTest = ViewsFixture;

const std::string kKey = "acme/api/KEY";

TEST_F(EditSecretViewTest, MetadataOnlySaveTakesOnePromptAndKeepsWhatTheFormDoesNotShow) {
  struct Case {
    const char* name;
    SecretMetadata stored;
    std::function<void(EditSecretView&)> edit;
    SecretMetadata expected;  // without the peek, which the store derives
  };
  const Case cases[] = {
      {"bundle", metadataOf(R"({"type":"token"})"),
       [](EditSecretView& v) { v.metadataFields()->bundleField()->setText("db"); },
       metadataOf(R"({"type":"token","bundle":"db"})")},
      {"rotation note kept", metadataOf(R"({"rotate":"monthly"})"),
       [](EditSecretView& v) { v.metadataFields()->descField()->setText("CI"); },
       metadataOf(R"({"desc":"CI","rotate":"monthly"})")},
      {"strict lifted", metadataOf(R"({"strict":true})"),
       [](EditSecretView& v) { v.strictToggle()->setChecked(false); }, metadataOf(R"({"strict":false})")},
  };
  for (const Case& c : cases) {
    put(kKey, "v", c.stored);  // too short for a peek: the stored metadata is exactly c.stored
    reload();
    EditSecretView view(services(), QString::fromStdString(kKey));
    QSignalSpy dismissed(&view, &EditSecretView::dismissed);
    EXPECT_FALSE(view.saveButton()->isEnabled()) << c.name;
    c.edit(view);
    view.metadataFields()->expiresField()->setText("2025-13-01");
    EXPECT_FALSE(view.saveButton()->isEnabled()) << c.name;
    view.metadataFields()->expiresField()->clear();
    ASSERT_TRUE(view.saveButton()->isEnabled()) << c.name;

    const int promptsBefore = auth->promptCount();
    QTest::mouseClick(view.saveButton(), Qt::LeftButton);
    EXPECT_EQ(dismissed.count(), 0);  // the store call waits on the worker
    settle();
    EXPECT_EQ(auth->promptCount() - promptsBefore, 1) << c.name;
    EXPECT_EQ(dismissed.count(), 1) << c.name;
    std::optional<SecretMetadata> stored = keychain.readMetadata(kKey);
    ASSERT_TRUE(stored.has_value());
    stored->peek.reset();
    EXPECT_EQ(*stored, c.expected) << c.name;
    EXPECT_EQ(store->rawValue("caskel", kKey), "v");
  }
}

TEST_F(EditSecretViewTest, FailedDeleteClosesTheConfirmationAndSaysWhy) {
  audit.setEnabled(true);
  put(kKey);
  reload();
  EditSecretView view(services(), QString::fromStdString(kKey));
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

TEST_F(EditSecretViewTest, CopiedValueIsClearedOnlyWhenTheClipboardIsUnchanged) {
  put(kKey, "the value");
  reload();
  for (bool copiedElsewhere : {false, true}) {
    EditSecretView view(services(), QString::fromStdString(kKey));
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
