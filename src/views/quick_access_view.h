#pragma once

#include <QWidget>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/work_queue.h"
#include "store/secret_metadata.h"
#include "views/view_services.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QStackedWidget;
class QToolButton;

namespace caskel {

class AuthContext;

// The delays of one opening, shortened by tests.
struct QuickAccessTimings {
  // Lets the panel appear and take the focus before the prompt opens over it.
  std::chrono::milliseconds promptDelay{600};
  std::chrono::milliseconds clearDelay{std::chrono::seconds(30)};
  std::chrono::milliseconds closeDelay{std::chrono::seconds(1)};
};

// The quick-access panel's content for one opening: a search field over the matching keys,
// one passphrase prompt, and Return to copy the highlighted secret's raw value. Nothing of it
// outlives the opening, so the next one asks again.
class QuickAccessView : public QWidget {
  Q_OBJECT

 public:
  QuickAccessView(ViewServices& services, const QString& shortcutText, QuickAccessTimings timings,
                  QWidget* parent = nullptr);
  ~QuickAccessView() override;

  // The opening: focuses the search field and schedules the prompt.
  void start();
  // Asks for the passphrase (also the Retry button).
  void authenticate();
  // Copies the secret of match `row` (Return, or a click on its row).
  void copy(int row);

  bool isUnlocked() const { return context_ != nullptr; }
  int selectedIndex() const { return selected_; }

 signals:
  void dismissed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refilter();
  void refresh();
  void showError(const QString& text);

  ViewServices& services_;
  QuickAccessTimings timings_;
  QLineEdit* search_;
  QToolButton* clearSearch_;
  QStackedWidget* body_;
  QWidget* promptPage_;
  QWidget* retryPage_;
  QLabel* empty_;
  QListWidget* list_;
  QLabel* error_;
  QWidget* unlocked_;
  std::vector<SecretInfo> matches_;
  int selected_ = 0;
  std::optional<std::string> copied_;
  std::shared_ptr<AuthContext> context_;
  bool authenticating_ = false;
  bool copying_ = false;
  int subscription_ = -1;
  TaskHandle promptStart_;
  TaskHandle closeTimer_;
};

}  // namespace caskel
