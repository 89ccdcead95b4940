#include "views/audit_log_view.h"

#include <QListView>
#include <QToolButton>
#include <filesystem>
#include <fstream>

#include "views/audit_entry_model.h"
#include "views/audit_entry_style.h"
#include "views/view_style.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

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

class AuditLogViewTest : public ViewsFixture {
 protected:
  // Lines as the logger writes them, oldest first.
  void writeLog(const std::vector<std::array<const char*, 4>>& records) {
    std::filesystem::create_directories(std::filesystem::path(audit.logPath()).parent_path());
    std::ofstream file(audit.logPath(), std::ios::app);
    for (const auto& [timestamp, operation, account, result] : records) {
      file << AuditLogger::formatLine(timestamp, operation,
                                      account ? std::optional<std::string>(account) : std::nullopt, result);
    }
  }
};

TEST_F(AuditLogViewTest, ListsNewestFirstAndClearEmptiesAtOnce) {
  audit.setEnabled(true);
  writeLog({{"2027-01-15T06:00:00Z", "UNLOCK", "acme/api/", "auth_canceled"},
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

TEST_F(AuditLogViewTest, EmptyStatesAndADisabledLogWithRecords) {
  // Logging on, records on file, the message (none: the rows are shown), the hint to enable it.
  const std::tuple<bool, bool, const char*, bool> cases[] = {
      {true, false, "No log entries yet", false},
      {false, false, "Audit logging is disabled", true},
      {false, true, nullptr, false},
  };
  for (const auto& [enabled, hasRecords, message, hint] : cases) {
    std::filesystem::remove(audit.logPath());
    if (hasRecords) writeLog({{"2027-01-15T06:00:00Z", "SET", "acme/api/KEY", "ok"}});
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
