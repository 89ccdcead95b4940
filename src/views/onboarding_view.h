#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "app/user_notice.h"
#include "platform/work_queue.h"
#include "views/view_services.h"

class QAbstractButton;
class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace caskel {

class SecurityCheckView;

// What onboarding reads from the system and the dialogs it opens, replaceable in tests.
struct OnboardingEnvironment {
  enum class Choice { markdownFile, newMarkdownFile, folder };

  std::string home;
  std::string appDirectory;  // where caskel-app runs from; the caskel shipped with it is there
  std::function<bool(const std::string&)> exists;
  std::function<std::optional<std::string>()> findCliOnPath;
  // A file or folder the user picks (nothing when cancelled), under `title`, starting in `start`.
  std::function<std::optional<std::string>(Choice, const QString& title, const std::string& start)> choose;
  std::function<void(const UserNotice&)> notify;

  // The real system: file dialogs, the desktop notification service.
  static OnboardingEnvironment system(QWidget* dialogParent);
};

// First-run setup in four steps: the security self-check, the command-line tool, teaching AI
// agents (the instructions copied or written into a project's Markdown file) and a closing
// quick reference with a scan for .env files. "Get Started" records that it is done.
class OnboardingView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSteps = 4;

  OnboardingView(ViewServices& services, OnboardingEnvironment environment, QWidget* parent = nullptr);
  ~OnboardingView() override;

  int step() const { return step_; }
  void setStep(int step);

 signals:
  void dismissed();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* buildWelcome();
  QWidget* buildCliStep();
  QWidget* buildAgentStep();
  QWidget* buildDoneStep();
  QWidget* buildNavigation();

  void firstShown();
  void updateNavigation();
  void showCli();
  void copyLinkCommand();
  void copyInstructions();
  void appendToFile();
  void createFile();
  void scanForEnvFiles();
  void showScanResult(const std::string& folder, size_t count);
  void finish();
  // Shows a button's "done" state and puts it back after `seconds` through the main queue.
  void flash(QAbstractButton* button, const QString& doneText, TaskHandle& reset, int seconds,
             std::function<void()> restore);

  ViewServices& services_;
  OnboardingEnvironment env_;
  int step_ = 0;
  bool shown_ = false;

  QWidget* indicator_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  SecurityCheckView* check_ = nullptr;
  QPushButton* back_ = nullptr;
  QPushButton* next_ = nullptr;
  QPushButton* getStarted_ = nullptr;

  QLabel* cliIcon_ = nullptr;
  QLabel* cliStatus_ = nullptr;
  QWidget* cliInstallBox_ = nullptr;
  QLabel* linkCommand_ = nullptr;
  QToolButton* copyLink_ = nullptr;

  QVBoxLayout* agentRows_ = nullptr;
  QPushButton* copyInstructions_ = nullptr;
  QPushButton* addToFile_ = nullptr;

  QLabel* quickAccessTip_ = nullptr;
  QPushButton* scan_ = nullptr;

  TaskHandle linkReset_;
  TaskHandle instructionsReset_;
  TaskHandle savedReset_;
  TaskHandle scanReset_;
};

}  // namespace caskel
