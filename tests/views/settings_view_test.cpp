#include "views/settings_view.h"

#include <QCheckBox>
#include <QPushButton>
#include <QToolButton>

#include "app/agent_instructions.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

TEST_F(ViewsFixture, ShortcutRecorderTakesOnlyCtrlWithAnotherModifierOnANamedKey) {
  SettingsView view(services(), false);
  view.show();
  auto* box = view.findChild<QLabel*>("shortcutBox");
  EXPECT_EQ(box->text(), "Ctrl+Shift+1");
  EXPECT_FALSE(findByText<QPushButton>(view, "Reset")->isVisibleTo(&view));

  struct Press {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char* stored;  // nullptr: ignored, still recording
  };
  const Press presses[] = {
      {Qt::Key_K, Qt::ControlModifier, nullptr},
      {Qt::Key_K, Qt::ShiftModifier | Qt::AltModifier, nullptr},
      {Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, nullptr},
      {Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier, nullptr},  // 0 would read back as the "1" key
      {Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier, "Ctrl+Shift+K"},
      {Qt::Key_Q, Qt::ControlModifier | Qt::MetaModifier, "Super+Ctrl+Q"},
      {Qt::Key_At, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier, "Ctrl+Alt+Shift+2"},
  };
  for (const Press& press : presses) {
    if (!view.isRecording()) findByText<QPushButton>(view, "Change")->click();
    ASSERT_EQ(box->text(), "...");
    QTest::keyClick(&view, press.key, press.modifiers);
    EXPECT_EQ(view.isRecording(), press.stored == nullptr) << press.key;
    EXPECT_EQ(box->text().toStdString(), press.stored ? press.stored : "...");
  }
  EXPECT_EQ(defaults.integerValue("caskel.hotkey.keyCode"), 19);
  EXPECT_EQ(defaults.integerValue("caskel.hotkey.modifiers"), 256 | 512 | 2048);

  auto* reset = findByText<QPushButton>(view, "Reset");
  ASSERT_TRUE(reset->isVisibleTo(&view));
  reset->click();
  EXPECT_EQ(box->text(), "Ctrl+Shift+1");
  EXPECT_FALSE(reset->isVisibleTo(&view));
}

TEST_F(ViewsFixture, AuditToggleWritesAtOnceAndHidesTheLogButton) {
  SettingsView view(services(), false);
  view.show();
  EXPECT_EQ(findByText<QPushButton>(view, "Restart Onboarding"), nullptr);
  auto* toggle = view.findChild<QCheckBox*>();
  auto* viewLog = findByText<QPushButton>(view, "View Audit Log");
  EXPECT_FALSE(viewLog->isVisibleTo(&view));
  toggle->click();
  EXPECT_TRUE(audit.isEnabled());
  EXPECT_TRUE(viewLog->isVisibleTo(&view));
  toggle->click();
  EXPECT_EQ(defaults.boolValue("caskel.auditLogEnabled"), false);
  EXPECT_FALSE(viewLog->isVisibleTo(&view));
}

TEST_F(ViewsFixture, CopiesSayCopiedForTwoSecondsOnlyWhenTheClipboardTookThem) {
  put("acme/api/KEY");
  reload();
  SettingsView view(services(), true);
  auto* instructions = findByText<QToolButton>(view, "Copy AI Instructions");
  instructions->click();
  EXPECT_EQ(clipboard->text(), agentInstructions(state->accounts()));
  EXPECT_EQ(instructions->text(), "Copied!");
  mainQueue.runAll();
  EXPECT_EQ(instructions->text(), "Copy AI Instructions");

  findByText<QToolButton>(view, "v1.2.3")->click();
  EXPECT_EQ(clipboard->text(), "caskel update");

  clipboard->accepts = false;
  instructions->click();
  EXPECT_EQ(instructions->text(), "Copy AI Instructions");
}

}  // namespace
}  // namespace caskel
