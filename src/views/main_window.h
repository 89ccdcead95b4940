#pragma once

#include <QPointer>
#include <QStackedLayout>
#include <QWidget>
#include <functional>

#include "views/view_services.h"

namespace caskel {

class SecretListView;

// The window: 350 × 460, with the list screen as its root. Instead of opening windows, the
// list swaps the whole content for the add or edit form, settings or the audit log, and gets
// it back when that screen dismisses itself. The list stays alive meanwhile (its share
// countdown keeps running).
class MainWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 350;
  static constexpr int kHeight = 460;

  explicit MainWindow(ViewServices& services, QWidget* parent = nullptr);

  enum class Screen { list, add, edit, settings, auditLog };
  Screen screen() const { return screen_; }
  QWidget* currentScreen() const;
  SecretListView* listView() const { return list_; }

  void showList();
  void showAdd();
  void showEdit(const QString& account);
  void showSettings();
  void showAuditLog();

  // Set by the program: opens onboarding and quits. Left unset, the buttons that lead to
  // onboarding stay hidden (the program also tells the list, setOnboardingAvailable).
  std::function<void()> onShowOnboarding;
  std::function<void()> onQuit;

 signals:
  void screenChanged();

 private:
  void swapIn(QWidget* screen, Screen kind);

  ViewServices& services_;
  QStackedLayout* stack_;
  SecretListView* list_;
  QPointer<QWidget> other_;  // the screen shown instead of the list, if any
  Screen screen_ = Screen::list;
};

}  // namespace caskel
