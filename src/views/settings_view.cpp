#include "views/settings_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>
#include <chrono>

#include "app/agent_instructions.h"
#include "app/app_state.h"
#include "app/autostart_entry.h"
#include "audit/audit_logger.h"
#include "platform/clipboard.h"
#include "views/hotkey_manager.h"
#include "views/shortcut_recorder.h"
#include "views/view_style.h"

namespace caskel {

using style::divider;
using style::plainLabel;
using style::setTextColor;

namespace {

constexpr auto kCopiedFor = std::chrono::seconds(2);

QString rgba(const QColor& color, double opacity) {
  return QString("rgba(%1, %2, %3, %4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(color.alphaF() * opacity);
}

}  // namespace

SettingsView::SettingsView(ViewServices& services, bool onboardingAvailable, QWidget* parent)
    : QWidget(parent), services_(services) {
  auto [layout, content, sections] = style::scrollingPage(this, QMargins(), 0);
  auto* titleRow = new QHBoxLayout;
  titleRow->setContentsMargins(16, 16, 16, 16);
  titleRow->addWidget(plainLabel("Settings", content, style::headline()));
  sections->addLayout(titleRow);
  sections->addWidget(divider(content));
  sections->addWidget(buildShortcutSection());
  sections->addWidget(divider(content));
  sections->addWidget(buildStartupSection());
  sections->addWidget(divider(content));
  sections->addWidget(buildAuditSection(onboardingAvailable));
  sections->addWidget(divider(content));
  sections->addWidget(buildCopyRow());
  sections->addStretch();
  layout->addWidget(divider(this));

  auto* footer = new QHBoxLayout;
  footer->setContentsMargins(16, 8, 16, 8);
  // The credit is plain text: the window links to no web page of its own.
  auto* credit = plainLabel("Made by the Caskel project", this, style::caption());
  setTextColor(credit, style::tertiary(palette()));
  footer->addWidget(credit);
  footer->addStretch();
  auto* done = new QPushButton("Done", this);
  done->setDefault(true);
  connect(done, &QPushButton::clicked, this, &SettingsView::dismissed);
  footer->addWidget(done);
  layout->addLayout(footer);
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(shortcut, &QShortcut::activated, this, &SettingsView::dismissed);
  }

  showShortcut();
}

SettingsView::~SettingsView() {
  // Leaving the screen ends a recording: nothing is stored, the keys reach the window again.
  if (recording_) qApp->removeEventFilter(this);
  instructionsReset_.cancel();
  versionReset_.cancel();
}

QWidget* SettingsView::buildShortcutSection() {
  auto* section = new QWidget;
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->addWidget(plainLabel("Quick Access Shortcut", section, style::headline()));

  auto* row = new QHBoxLayout;
  shortcutBox_ = plainLabel({}, section, style::monospaced());
  shortcutBox_->setObjectName("shortcutBox");
  shortcutBox_->setMinimumWidth(100);
  shortcutBox_->setAlignment(Qt::AlignCenter);
  row->addWidget(shortcutBox_);

  change_ = new QPushButton("Change", section);
  change_->setFont(style::caption());
  connect(change_, &QPushButton::clicked, this, &SettingsView::startRecording);
  row->addWidget(change_);
  reset_ = new QPushButton("Reset", section);
  reset_->setFont(style::caption());
  connect(reset_, &QPushButton::clicked, this, [this] { store(HotkeyShortcut{}); });
  row->addWidget(reset_);
  pressNew_ = plainLabel("Press new shortcut...", section, style::caption());
  row->addWidget(pressNew_);
  row->addStretch();
  layout->addLayout(row);

  auto* hint =
      plainLabel("Use a combination with Ctrl and at least one other modifier", section, style::caption());
  hint->setWordWrap(true);
  setTextColor(hint, style::secondary(palette()));
  layout->addWidget(hint);
  mechanism_ = plainLabel({}, section, style::caption());
  mechanism_->setObjectName("shortcutMechanism");
  mechanism_->setWordWrap(true);
  mechanism_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(mechanism_);

  auto* protectedRow = new QHBoxLayout;
  auto* lock = new QLabel(section);
  lock->setPixmap(style::tintedSymbol("lock.fill", style::secondary(palette()), 12).pixmap(12, 12));
  protectedRow->addWidget(lock);
  auto* protectedBy = plainLabel("Protected by your vault passphrase", section, style::caption());
  setTextColor(protectedBy, style::secondary(palette()));
  protectedRow->addWidget(protectedBy);
  protectedRow->addStretch();
  layout->addLayout(protectedRow);
  return section;
}

QWidget* SettingsView::buildStartupSection() {
  auto* section = new QWidget;
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->addWidget(plainLabel("Startup", section, style::headline()));

  startAtLogin_ = new QCheckBox("Start at login", section);
  // The file is the choice, read afresh each time the screen opens: the user may have
  // removed it in the desktop's own settings meanwhile.
  startAtLogin_->setChecked(AutostartEntry(AutostartEntry::defaultPath(), services_.executable).isEnabled());
  layout->addWidget(startAtLogin_);
  auto* caption = plainLabel("Opens Caskel in the tray when you log in", section, style::caption());
  caption->setWordWrap(true);
  setTextColor(caption, style::secondary(palette()));
  layout->addWidget(caption);
  startAtLoginError_ = plainLabel({}, section, style::caption());
  startAtLoginError_->setWordWrap(true);
  startAtLoginError_->setHidden(true);
  setTextColor(startAtLoginError_, style::red);
  layout->addWidget(startAtLoginError_);

  connect(startAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
    const auto error = AutostartEntry(AutostartEntry::defaultPath(), services_.executable).setEnabled(on);
    startAtLoginError_->setText(QString::fromStdString(error.value_or("")));
    startAtLoginError_->setHidden(!error);
    if (!error) return;
    const QSignalBlocker quiet(startAtLogin_);
    startAtLogin_->setChecked(!on);
  });
  return section;
}

QWidget* SettingsView::buildAuditSection(bool onboardingAvailable) {
  auto* section = new QWidget;
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->addWidget(plainLabel("Audit Log", section, style::headline()));

  auditToggle_ = new QCheckBox("Enable audit logging", section);
  auditToggle_->setChecked(services_.audit.isEnabled());
  layout->addWidget(auditToggle_);
  auto* caption = plainLabel("Logs operations (get, set, delete) to ~/.config/caskel/audit.log", section,
                             style::caption());
  caption->setWordWrap(true);
  setTextColor(caption, style::secondary(palette()));
  layout->addWidget(caption);

  viewAuditLog_ = new QPushButton(style::symbolIcon("doc.text.magnifyingglass"), "View Audit Log", section);
  viewAuditLog_->setVisible(auditToggle_->isChecked());
  connect(viewAuditLog_, &QPushButton::clicked, this, &SettingsView::auditLogRequested);
  layout->addWidget(viewAuditLog_, 0, Qt::AlignLeft);
  connect(auditToggle_, &QCheckBox::toggled, this, [this](bool on) {
    // The logger reads the switch on every call, so logging follows with the next operation.
    services_.audit.setEnabled(on);
    viewAuditLog_->setVisible(on);
  });

  if (onboardingAvailable) {
    auto* onboarding =
        new QPushButton(style::symbolIcon("arrow.counterclockwise"), "Restart Onboarding", section);
    connect(onboarding, &QPushButton::clicked, this, &SettingsView::onboardingRequested);
    layout->addWidget(onboarding, 0, Qt::AlignLeft);
  }
  return section;
}

QWidget* SettingsView::buildCopyRow() {
  auto* rowWidget = new QWidget;
  auto* row = new QHBoxLayout(rowWidget);
  row->setContentsMargins(16, 4, 16, 4);

  copyInstructions_ = new QToolButton(rowWidget);
  copyInstructions_->setAutoRaise(true);
  copyInstructions_->setFont(style::caption());
  copyInstructions_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  connect(copyInstructions_, &QToolButton::clicked, this, &SettingsView::copyInstructions);
  row->addWidget(copyInstructions_);
  showCopied(copyInstructions_, false);

  version_ = new QToolButton(rowWidget);
  version_->setAutoRaise(true);
  version_->setFont(style::caption());
  version_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  version_->setText("v" + QString::fromStdString(services_.version));
  version_->setToolTip("Copy 'caskel update' to clipboard");
  version_->setHidden(services_.version.empty());
  connect(version_, &QToolButton::clicked, this, &SettingsView::copyUpdateCommand);
  row->addWidget(version_);
  row->addStretch();
  return rowWidget;
}

void SettingsView::startRecording() {
  if (recording_) return;
  recording_ = true;
  // On the application, not one widget: key presses go to whichever widget has the focus.
  qApp->installEventFilter(this);
  showShortcut();
}

void SettingsView::stopRecording() {
  if (!recording_) return;
  recording_ = false;
  qApp->removeEventFilter(this);
  showShortcut();
}

void SettingsView::store(const HotkeyShortcut& shortcut) {
  if (services_.hotkey) {
    services_.hotkey->update(shortcut.keyCode, shortcut.modifiers);
  } else {
    writeHotkeyShortcut(services_.defaults, shortcut);
  }
  emit shortcutChanged();
  showShortcut();
}

bool SettingsView::eventFilter(QObject* watched, QEvent* event) {
  if (!recording_ || (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)) {
    return QWidget::eventFilter(watched, event);
  }
  auto* target = qobject_cast<QWidget*>(watched);
  if (!target || target->window() != window()) return QWidget::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  auto shortcut = recordedShortcut(key->key(), key->modifiers());
  if (!shortcut || !isAcceptableHotkey(*shortcut)) return QWidget::eventFilter(watched, event);
  if (event->type() == QEvent::ShortcutOverride) {
    // Keeps an application shortcut on the same keys from taking the press.
    event->accept();
    return true;
  }
  stopRecording();
  store(*shortcut);
  return true;
}

void SettingsView::showShortcut() {
  const HotkeyShortcut stored = readHotkeyShortcut(services_.defaults);
  shortcutBox_->setText(recording_ ? "..." : QString::fromStdString(hotkeyDisplayText(stored)));
  const QColor tint = recording_ ? style::blue : style::secondary(palette());
  shortcutBox_->setStyleSheet(
      QString("#shortcutBox { background: %1; border-radius: 4px; padding: 4px 8px; %2 }")
          .arg(rgba(tint, 0.15), recording_ ? "border: 1.5px solid #0A84FF;" : ""));
  change_->setHidden(recording_);
  reset_->setHidden(recording_ || stored.isDefault());
  pressNew_->setHidden(!recording_);
  showMechanism();
}

void SettingsView::showMechanism() {
  HotkeyManager* hotkey = services_.hotkey;
  mechanism_->setHidden(!hotkey);
  if (!hotkey) return;
  const QString command = "caskel-app --toggle-quick-access";
  if (hotkey->isRegistered()) {
    mechanism_->setText("Active through the " + QString::fromStdString(hotkey->mechanism()));
    setTextColor(mechanism_, style::secondary(palette()));
  } else if (!hotkey->mechanism().empty()) {
    mechanism_->setText("Another program holds this shortcut. Choose another, or bind " + command +
                        " in your desktop's keyboard settings");
    setTextColor(mechanism_, style::orange);
  } else {
    mechanism_->setText("This desktop offers Caskel no global shortcut: bind " + command +
                        " in your desktop's keyboard settings");
    setTextColor(mechanism_, style::orange);
  }
}

void SettingsView::copyInstructions() {
  const bool copied = services_.clipboard.setText(agentInstructions(services_.state.accounts()));
  showCopied(copyInstructions_, copied);
  if (!copied) return;
  instructionsReset_.cancel();
  QPointer<SettingsView> self(this);
  instructionsReset_ = services_.mainQueue.postAfterSeconds(kCopiedFor, [self] {
    if (self) self->showCopied(self->copyInstructions_, false);
  });
}

void SettingsView::copyUpdateCommand() {
  const bool copied = services_.clipboard.setText("caskel update");
  showCopied(version_, copied);
  if (!copied) return;
  versionReset_.cancel();
  QPointer<SettingsView> self(this);
  versionReset_ = services_.mainQueue.postAfterSeconds(kCopiedFor, [self] {
    if (self) self->showCopied(self->version_, false);
  });
}

void SettingsView::showCopied(QToolButton* button, bool copied) {
  if (button == version_) {
    version_->setIcon(copied ? style::tintedSymbol("checkmark", style::green) : QIcon());
    return;
  }
  button->setText(copied ? "Copied!" : "Copy AI Instructions");
  button->setIcon(copied ? style::tintedSymbol("checkmark", style::green)
                         : style::tintedSymbol("doc.on.doc", style::accent));
  setTextColor(button, copied ? style::green : style::accent);
}

}  // namespace caskel
