#include <sys/stat.h>

#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QListView>
#include <QPushButton>
#include <QToolButton>
#include <filesystem>
#include <fstream>

#include "app/agent_instructions.h"
#include "app/autostart_entry.h"
#include "views/audit_entry_model.h"
#include "views/audit_entry_style.h"
#include "views/audit_log_view.h"
#include "views/icon_table.h"
#include "views/main_window.h"
#include "views/secret_list_view.h"
#include "views/settings_view.h"
#include "views/view_style.h"
#include "views/views_fixture.h"
#include "views/window_controller.h"
#include "views/window_placement.h"

namespace caskel {
namespace {

TEST(WindowPlacement, HangsFromTheAnchorInsideTheAvailableArea) {
  // A 1920 × 1080 screen with a 30-pixel panel at the top, a short one, and one smaller than the window.
  const QRect screen(0, 30, 1920, 1050), low(0, 0, 800, 600), small(100, 50, 300, 400);
  const std::tuple<const char*, QRect, std::optional<QRect>, QPoint, QPoint> cases[] = {
      {"under a tray icon at the top", screen, QRect(1000, 2, 24, 24), {}, {836, 30}},
      {"above a tray icon at the bottom", screen, QRect(1000, 1050, 24, 24), {}, {836, 590}},
      {"right edge", screen, QRect(1900, 2, 20, 24), {}, {1570, 30}},
      {"left edge", screen, QRect(0, 2, 20, 24), {}, {0, 30}},
      {"no tray geometry: below the pointer", screen, std::nullopt, {500, 300}, {325, 301}},
      {"invalid tray geometry counts as none", screen, QRect(), {500, 300}, {325, 301}},
      {"pointer in the lower half: above it", screen, std::nullopt, {500, 900}, {325, 440}},
      {"pointer in the corner: right edge", screen, std::nullopt, {1919, 1079}, {1570, 619}},
      {"pointer over the panel: top edge", screen, std::nullopt, {10, 0}, {0, 30}},
      {"below the pointer, pushed up by the bottom edge", low, std::nullopt, {400, 250}, {225, 140}},
      {"small screen: the left and top edges stay visible", small, std::nullopt, {390, 440}, {100, 50}},
      {"small screen under a tray icon", small, QRect(110, 60, 10, 10), {}, {100, 50}},
  };
  for (const auto& [what, available, tray, pointer, expected] : cases)
    EXPECT_EQ(windowPosition(QSize(350, 460), tray, pointer, available), expected) << what;
}

// Every symbol has a drawing of our own that renders, for systems whose theme lacks it.
TEST(IconTable, EveryFallbackSvgIsInTheResourceAndDraws) {
  for (const style::IconEntry& entry : style::iconTable()) {
    const QString path = QString(":/icons/") + entry.fallback;
    ASSERT_TRUE(QFile::exists(path)) << entry.fallback;
    QImage image = QIcon(path).pixmap(22, 22).toImage();
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; ++y) {
      for (int x = 0; x < image.width() && !drawn; ++x) drawn = qAlpha(image.pixel(x, y)) > 0;
    }
    EXPECT_TRUE(drawn) << entry.fallback;
  }
}

TEST_F(ViewsFixture, ScreensSwapInAndDismissBackToTheList) {
  MainWindow window(services());
  EXPECT_EQ(window.size(), QSize(350, 460));
  window.showSettings();
  EXPECT_EQ(window.screen(), MainWindow::Screen::settings);
  window.showAuditLog();
  EXPECT_EQ(window.screen(), MainWindow::Screen::auditLog);
  window.showList();
  EXPECT_EQ(window.screen(), MainWindow::Screen::list);
  EXPECT_EQ(window.currentScreen(), static_cast<QWidget*>(window.listView()));
}

// The drop-down closes when the focus goes, but not to a prompt the window started: then it
// closes when the prompt ends, if the focus did not come back. The tray click that took the
// focus does not reopen it.
TEST_F(ViewsFixture, DropDownClosesOnFocusLossExceptDuringAPrompt) {
  MainWindow window(services());
  WindowController controller(window, services(), WindowController::Mode::popup);
  controller.open(QRect(100, 0, 24, 24));
  ASSERT_TRUE(controller.isOpen());

  prompts.begin();
  QEvent deactivate(QEvent::WindowDeactivate);
  QApplication::sendEvent(&window, &deactivate);
  EXPECT_TRUE(controller.isOpen());
  prompts.end();
  EXPECT_FALSE(controller.isOpen());

  controller.toggle();
  EXPECT_FALSE(controller.isOpen()) << "the click that took the focus";
  now += std::chrono::seconds(1);
  controller.toggle();
  EXPECT_TRUE(controller.isOpen());
  QApplication::setActiveWindow(&window);  // shortcuts act only in the active window
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(controller.isOpen());
}

TEST_F(ViewsFixture, ShortcutRecorderTakesOnlyCtrlWithAnotherModifierOnANamedKey) {
  SettingsView view(services(), false);
  view.show();
  auto* box = view.findChild<QLabel*>("shortcutBox");
  EXPECT_EQ(box->text(), "Ctrl+Shift+1");
  EXPECT_FALSE(findByText<QPushButton>(view, "Reset")->isVisibleTo(&view));

  // The key pressed, its modifiers, and what is stored (nullptr: ignored, still recording).
  const std::tuple<Qt::Key, Qt::KeyboardModifiers, const char*> presses[] = {
      {Qt::Key_K, Qt::ControlModifier, nullptr},
      {Qt::Key_K, Qt::ShiftModifier | Qt::AltModifier, nullptr},
      {Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier, nullptr},
      {Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier, nullptr},  // 0 would read back as the "1" key
      {Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier, "Ctrl+Shift+K"},
      {Qt::Key_Q, Qt::ControlModifier | Qt::MetaModifier, "Super+Ctrl+Q"},
      {Qt::Key_At, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier, "Ctrl+Alt+Shift+2"},
  };
  for (const auto& [key, modifiers, stored] : presses) {
    if (!view.isRecording()) findByText<QPushButton>(view, "Change")->click();
    ASSERT_EQ(box->text(), "...");
    QTest::keyClick(&view, key, modifiers);
    EXPECT_EQ(view.isRecording(), stored == nullptr) << key;
    EXPECT_EQ(box->text().toStdString(), stored ? stored : "...");
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
  auto* toggle = findByText<QCheckBox>(view, "Enable audit logging");
  auto* viewLog = findByText<QPushButton>(view, "View Audit Log");
  EXPECT_FALSE(viewLog->isVisibleTo(&view));
  toggle->click();
  EXPECT_TRUE(audit.isEnabled());
  EXPECT_TRUE(viewLog->isVisibleTo(&view));
  toggle->click();
  EXPECT_EQ(defaults.boolValue("caskel.auditLogEnabled"), false);
  EXPECT_FALSE(viewLog->isVisibleTo(&view));
}

// The switch shows and makes the file; a folder the desktop made keeps its mode; a failure
// (a file in the folder's place) puts the switch back and says why.
TEST_F(ViewsFixture, StartAtLoginWritesAndRemovesTheEntryAtOnceAndRevertsOnFailure) {
  const test::ScopedEnv config("XDG_CONFIG_HOME", dir.path());
  const std::string folder = dir.file("autostart"), entry = folder + "/caskel-app.desktop";
  ASSERT_TRUE(::mkdir(folder.c_str(), 0700) == 0 && ::chmod(folder.c_str(), 0755) == 0);
  services().executable = "/opt/my apps/caskel-app";
  auto view = std::make_unique<SettingsView>(services(), false);
  findByText<QCheckBox>(*view, "Start at login")->click();
  EXPECT_EQ(test::readText(entry), AutostartEntry::text("/opt/my apps/caskel-app").value());
  EXPECT_TRUE(test::modeOf(entry) == 0600 && test::modeOf(folder) == 0755);
  view = std::make_unique<SettingsView>(services(), false);  // it reads the file when made
  auto* toggle = findByText<QCheckBox>(*view, "Start at login");
  ASSERT_TRUE(toggle->isChecked());
  toggle->click();
  EXPECT_EQ(test::modeOf(entry), -1);
  ASSERT_TRUE(::rmdir(folder.c_str()) == 0);
  test::writeText(folder, "");
  toggle->click();
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_TRUE(showsLabel(*view, QString::fromStdString("Could not write " + entry + ": Not a directory")));
}

TEST_F(ViewsFixture, CopiesSayCopiedForTwoSecondsOnlyWhenTheClipboardTookThem) {
  put("acme/api/KEY");
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

TEST(AuditEntryStyle, OperationColourAndOutcomeMark) {
  QPalette palette;
  const QColor primary = style::primary(palette), secondary = style::secondary(palette);
  const std::pair<const char*, QColor> colours[] = {
      {"GET", style::blue},      {"SET", style::green},    {"DELETE", style::red},
      {"ROTATE", style::orange}, {"SHARE", style::orange}, {"UNLOCK", style::purple},
      {"LOCK", secondary},       {"NEW_CALLER", primary},  {"get", primary}};
  for (const auto& [operation, colour] : colours)
    EXPECT_EQ(auditOperationColor(operation, palette), colour) << operation;

  const std::tuple<const char*, std::string, QColor> outcomes[] = {
      {"ok (cached)", "checkmark.circle.fill", style::green},
      {"auth_canceled", "xmark.circle.fill", style::red},
      {"auth_failed", "xmark.circle.fill", style::red},
      {"error", "exclamationmark.circle.fill", style::red},
      {"not ok", "exclamationmark.circle.fill", style::red}};
  for (const auto& [result, symbol, colour] : outcomes) {
    EXPECT_EQ(auditOutcomeMark(result).symbol, symbol) << result;
    EXPECT_EQ(auditOutcomeMark(result).color, colour) << result;
  }
}

TEST(AuditEntryStyle, RelativeTimeIsTheSameForEveryZoneOffsetOfAnInstant) {
  test::ScopedTimeZone utc("UTC");
  const auto now =
      std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));  // 2027-01-15T08:00:00Z
  // Each row: one instant written with different offsets, and what it shows.
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"2027-01-15T07:59:01Z", "2027-01-15T13:29:01+05:30"}, "just now"},  // 59 s
      {{"2027-01-15T08:05:00Z", "2027-01-15T03:05:00-05:00"}, "just now"},  // in the future
      {{"2027-01-15T07:58:59Z", "2027-01-15T13:28:59+05:30"}, "1m ago"},    // 61 s
      {{"2027-01-15T07:00:01Z", "2027-01-15T12:30:01+05:30"}, "59m ago"},   // 3,599 s
      {{"2027-01-15T06:00:00Z", "2027-01-15T03:00:00-03:00"}, "2h ago"},
      {{"2027-01-14T07:00:00Z", "2027-01-14T12:30:00+05:30", "2027-01-14T04:00:00-03:00"}, "Jan 14, 07:00"},
      {{"yesterday"}, "yesterday"},
      {{"2027-01-15 07:00:00Z"}, "2027-01-15 07:00:00Z"},
      {{"2027-02-30T07:00:00Z"}, "2027-02-30T07:00:00Z"},
      {{"2027-01-15T07:00:00+0530"}, "2027-01-15T07:00:00+0530"},
  };
  for (const auto& [timestamps, shown] : cases) {
    for (const char* timestamp : timestamps)
      EXPECT_EQ(auditRelativeTime(timestamp, now, QLocale::c()).toStdString(), shown) << timestamp;
  }
}

// Lines as the logger writes them, oldest first.
void writeLog(const AuditLogger& audit, const std::vector<std::array<const char*, 4>>& records) {
  std::filesystem::create_directories(std::filesystem::path(audit.logPath()).parent_path());
  std::ofstream file(audit.logPath(), std::ios::app);
  for (const auto& [timestamp, operation, account, result] : records) {
    file << AuditLogger::formatLine(timestamp, operation,
                                    account ? std::optional<std::string>(account) : std::nullopt, result);
  }
}

TEST_F(ViewsFixture, AuditLogListsNewestFirstAndClearEmptiesAtOnce) {
  audit.setEnabled(true);
  writeLog(audit, {{"2027-01-15T06:00:00Z", "UNLOCK", "acme/api/", "auth_canceled"},
                   {"2027-01-15T07:59:30Z", "GET", "acme/api/KEY", "ok (cached)"},
                   {"2027-01-15T07:59:40Z", "NEW_CALLER", nullptr, "claude"}});
  AuditLogView view(services());
  view.show();
  auto* list = view.findChild<QListView*>();
  ASSERT_TRUE(list && list->isVisibleTo(&view));
  QAbstractItemModel* model = list->model();
  ASSERT_EQ(model->rowCount(), 3);
  EXPECT_EQ(model->index(0, 0).data(AuditEntryModel::OperationRole).toString(), "NEW_CALLER");
  EXPECT_EQ(model->index(1, 0).data(AuditEntryModel::AccountRole).toString(), "acme/api/KEY");
  EXPECT_EQ(model->index(2, 0).data(AuditEntryModel::RelativeTimeRole).toString(), "2h ago");

  QToolButton* trash = findByText<QToolButton>(view, "Clear audit log");
  ASSERT_TRUE(trash && trash->isVisibleTo(&view));
  trash->click();
  EXPECT_TRUE(showsLabel(view, "Clear all logs?"));
  findByText<QToolButton>(view, "Clear")->click();
  EXPECT_EQ(model->rowCount(), 0);
  EXPECT_TRUE(showsLabel(view, "No log entries yet"));
  EXPECT_FALSE(trash->isVisibleTo(&view));
  EXPECT_FALSE(showsLabel(view, "Clear all logs?"));
  audit.flush();
  EXPECT_TRUE(audit.readEntries(10).empty());
}

TEST_F(ViewsFixture, AuditLogEmptyStatesAndADisabledLogWithRecords) {
  // Logging on, records on file, the message (none: the rows are shown), the hint to enable it.
  const std::tuple<bool, bool, const char*, bool> cases[] = {
      {true, false, "No log entries yet", false},
      {false, false, "Audit logging is disabled", true},
      {false, true, nullptr, false},
  };
  for (const auto& [enabled, hasRecords, message, hint] : cases) {
    std::filesystem::remove(audit.logPath());
    if (hasRecords) writeLog(audit, {{"2027-01-15T06:00:00Z", "SET", "acme/api/KEY", "ok"}});
    audit.setEnabled(enabled);
    AuditLogView view(services());
    view.show();
    EXPECT_EQ(view.findChild<QListView*>()->isVisibleTo(&view), message == nullptr);
    EXPECT_TRUE(!message || showsLabel(view, message)) << message;
    EXPECT_EQ(showsLabel(view, "Enable it in Settings"), hint);
  }
}

}  // namespace
}  // namespace caskel
