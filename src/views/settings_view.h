#pragma once

#include <QPointer>
#include <QWidget>

#include "app/hotkey_shortcut.h"
#include "platform/work_queue.h"
#include "views/view_services.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace caskel {

// Settings: the shortcut, start at login, the audit log switch, the passphrase line, copies.
class SettingsView : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsView(ViewServices& services, bool onboardingAvailable, QWidget* parent = nullptr);
  ~SettingsView() override;

  bool isRecording() const { return recording_; }

 signals:
  void dismissed();
  void auditLogRequested();
  void onboardingRequested();
  // A new shortcut was stored (recorded or reset): whoever registers it does so again.
  void shortcutChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* buildShortcutSection();
  QWidget* buildStartupSection();
  QWidget* buildAuditSection(bool onboardingAvailable);
  QWidget* buildCopyRow();

  void startRecording();
  void stopRecording();
  void store(const HotkeyShortcut& shortcut);
  void showShortcut();
  // How the shortcut reaches the program, or the command to bind by hand.
  void showMechanism();
  void copyInstructions();
  void copyUpdateCommand();
  void showCopied(QToolButton* button, bool copied);

  ViewServices& services_;
  bool recording_ = false;
  QLabel* shortcutBox_ = nullptr;
  QPushButton* change_ = nullptr;
  QPushButton* reset_ = nullptr;
  QLabel* pressNew_ = nullptr;
  QLabel* mechanism_ = nullptr;
  QCheckBox* startAtLogin_ = nullptr;
  QLabel* startAtLoginError_ = nullptr;
  QCheckBox* auditToggle_ = nullptr;
  QPushButton* viewAuditLog_ = nullptr;
  QToolButton* copyInstructions_ = nullptr;
  QToolButton* version_ = nullptr;
  TaskHandle instructionsReset_;
  TaskHandle versionReset_;
};

}  // namespace caskel
