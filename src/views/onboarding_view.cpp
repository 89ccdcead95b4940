#include "views/onboarding_view.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "app/agent_instructions.h"
#include "app/app_state.h"
#include "app/cli_install.h"
#include "app/env_file_scan.h"
#include "app/hotkey_shortcut.h"
#include "app/instructions_file.h"
#include "app/known_agents.h"
#include "platform/child_process.h"
#include "platform/clipboard.h"
#include "platform/defaults_store.h"
#include "platform/file_system.h"
#include "platform/qt/desktop_notifier.h"
#include "views/hotkey_manager.h"
#include "views/security_check_view.h"
#include "views/view_style.h"

namespace caskel {

using style::plainLabel;
using style::setTextColor;

namespace {

constexpr int kCopiedFor = 2;     // seconds a "Copied!" / "Saved!" state stays
constexpr int kNoneFoundFor = 3;  // seconds "No .env files found" stays
constexpr int kFoundFor = 4;      // seconds a scan's count stays

// Four capsules, filled with the accent up to the current step.
class StepIndicator final : public QWidget {
 public:
  StepIndicator(const int& step, QWidget* parent) : QWidget(parent), step_(step) { setFixedHeight(3); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    constexpr int kSpacing = 6;
    const double width =
        (this->width() - kSpacing * (OnboardingView::kSteps - 1)) / double(OnboardingView::kSteps);
    for (int i = 0; i < OnboardingView::kSteps; ++i) {
      painter.setBrush(step_ >= i ? style::accent : style::withOpacity(style::secondary(palette()), 0.2));
      painter.drawRoundedRect(QRectF(i * (width + kSpacing), 0, width, height()), 1.5, 1.5);
    }
  }

 private:
  const int& step_;
};

QLabel* iconLabel(const QString& symbol, const QColor& color, int size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(style::tintedSymbol(symbol, color, size).pixmap(size, size));
  label->setFixedSize(size, size);
  return label;
}

QLabel* wrapped(QLabel* label) {
  label->setWordWrap(true);
  return label;
}

// A step's head: its icon and title, then the caption under them.
void addHeading(QVBoxLayout* column, QWidget* page, const QString& symbol, const QColor& color,
                const QString& title, const QString& caption) {
  auto* row = new QHBoxLayout;
  row->addWidget(iconLabel(symbol, color, 22, page));
  row->addWidget(plainLabel(title, page, style::headline()));
  row->addStretch();
  column->addLayout(row);
  if (!caption.isEmpty()) {
    column->addWidget(
        wrapped(plainLabel(caption, page, style::caption(), style::secondary(page->palette()))));
  }
}

QLabel* sectionTitle(const QString& text, QWidget* parent) {
  QFont font = style::caption();
  font.setWeight(QFont::DemiBold);
  return plainLabel(text, parent, font);
}

// An icon and one line of explanation.
void addLabelledLine(QVBoxLayout* column, QWidget* page, const QString& symbol, const QString& text) {
  auto* row = new QHBoxLayout;
  row->setSpacing(8);
  row->addWidget(iconLabel(symbol, style::accent, 14, page), 0, Qt::AlignTop);
  row->addWidget(wrapped(plainLabel(text, page, style::caption())), 1);
  column->addLayout(row);
}

QString tint(const QColor& color, double opacity) {
  return QString("rgba(%1, %2, %3, %4)").arg(color.red()).arg(color.green()).arg(color.blue()).arg(opacity);
}

QPushButton* tintedButton(const QString& symbol, const QString& text, QWidget* parent) {
  auto* button = new QPushButton(style::symbolIcon(symbol), text, parent);
  button->setFont(style::caption());
  return button;
}

void paintTint(QPushButton* button, const QColor& color) {
  button->setStyleSheet(
      QString("QPushButton { background: %1; border: none; border-radius: 6px; padding: 6px 10px;"
              " text-align: left; }")
          .arg(tint(color, 0.15)));
}

QWidget* newPage(QVBoxLayout*& column) {
  auto* page = new QWidget;
  column = new QVBoxLayout(page);
  column->setContentsMargins(16, 12, 16, 12);
  column->setSpacing(10);
  return page;
}

std::string fileNameOf(const std::string& path) {
  return QFileInfo(QString::fromStdString(path)).fileName().toStdString();
}

}  // namespace

OnboardingEnvironment OnboardingEnvironment::system(QWidget* dialogParent) {
  OnboardingEnvironment env;
  env.home = fs::homeDirectory();
  if (auto self = fs::ownExecutablePath()) env.appDirectory = fs::parentOf(*self);
  env.exists = [](const std::string& path) { return fs::stampOf(path).has_value(); };
  env.findCliOnPath = [] { return findExecutable("caskel"); };
  QPointer<QWidget> parent(dialogParent);
  env.choose = [parent](Choice choice, const QString& title,
                        const std::string& start) -> std::optional<std::string> {
    const QString dir = QString::fromStdString(start);
    const QString filter = "Markdown and text (*.md *.markdown *.txt);;All files (*)";
    QString picked;
    switch (choice) {
      case Choice::markdownFile:
        picked = QFileDialog::getOpenFileName(parent, title, dir, filter);
        break;
      case Choice::newMarkdownFile:
        picked = QFileDialog::getSaveFileName(parent, title, dir + "/CLAUDE.md", filter);
        break;
      case Choice::folder:
        picked = QFileDialog::getExistingDirectory(parent, title, dir);
        break;
    }
    if (picked.isEmpty()) return std::nullopt;
    return picked.toStdString();
  };
  env.notify = [](const UserNotice& notice) {
    DesktopNotifier::notify(QString::fromStdString(notice.subtitle), QString::fromStdString(notice.body));
  };
  return env;
}

OnboardingView::OnboardingView(ViewServices& services, OnboardingEnvironment environment, QWidget* parent)
    : QWidget(parent), services_(services), env_(std::move(environment)) {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  indicator_ = new StepIndicator(step_, this);
  auto* indicatorBox = new QVBoxLayout;
  indicatorBox->setContentsMargins(16, 12, 16, 4);
  indicatorBox->addWidget(indicator_);
  outer->addLayout(indicatorBox);

  // Each step scrolls on its own, so a short step shows no scroll bar for a long one.
  pages_ = new QStackedWidget(this);
  for (QWidget* page : {buildWelcome(), buildCliStep(), buildAgentStep(), buildDoneStep()}) {
    auto* scroll = new QScrollArea(pages_);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(page);
    pages_->addWidget(scroll);
  }
  outer->addWidget(pages_, 1);
  outer->addWidget(style::divider(this));
  outer->addWidget(buildNavigation());
  setStep(0);
}

OnboardingView::~OnboardingView() {
  for (TaskHandle* handle : {&linkReset_, &instructionsReset_, &savedReset_, &scanReset_}) handle->cancel();
}

QWidget* OnboardingView::buildWelcome() {
  QVBoxLayout* column = nullptr;
  QWidget* page = newPage(column);
  addHeading(column, page, "key.fill", style::accent, "Welcome to Caskel",
             "Your credentials are stored in the Caskel vault, encrypted with your passphrase. Let's verify "
             "everything is secure.");
  check_ = new SecurityCheckView(services_, page);
  connect(check_, &SecurityCheckView::finished, this, [this] { updateNavigation(); });
  column->addWidget(check_);
  column->addStretch();
  return page;
}

QWidget* OnboardingView::buildCliStep() {
  QVBoxLayout* column = nullptr;
  QWidget* page = newPage(column);
  addHeading(column, page, "terminal", style::accent, "CLI Setup",
             "The caskel CLI lets you manage secrets from your terminal and integrates with AI agents.");

  auto* status = new QHBoxLayout;
  cliIcon_ = iconLabel("xmark.circle.fill", style::orange, 14, page);
  status->addWidget(cliIcon_);
  cliStatus_ = plainLabel({}, page, style::caption());
  status->addWidget(cliStatus_, 1);
  column->addLayout(status);

  cliInstallBox_ = new QWidget(page);
  auto* install = new QVBoxLayout(cliInstallBox_);
  install->setContentsMargins(0, 0, 0, 0);
  install->addWidget(
      wrapped(plainLabel("The CLI is bundled with the app. Run this to link it:", cliInstallBox_,
                         style::scaled(style::body(), 10), style::secondary(palette()))));
  auto* box = new QFrame(cliInstallBox_);
  box->setObjectName("commandBox");
  box->setStyleSheet(QString("#commandBox { background: %1; border-radius: 4px; }")
                         .arg(tint(style::secondary(palette()), 0.12)));
  auto* boxRow = new QHBoxLayout(box);
  boxRow->setContentsMargins(8, 6, 4, 6);
  linkCommand_ = wrapped(plainLabel({}, box, style::sized(style::monospaced(), 10)));
  linkCommand_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  boxRow->addWidget(linkCommand_, 1);
  copyLink_ = new QToolButton(box);
  copyLink_->setAutoRaise(true);
  copyLink_->setToolTip("Copy command");
  copyLink_->setIcon(style::tintedSymbol("doc.on.doc", style::blue));
  connect(copyLink_, &QToolButton::clicked, this, &OnboardingView::copyLinkCommand);
  boxRow->addWidget(copyLink_, 0, Qt::AlignTop);
  install->addWidget(box);
  column->addWidget(cliInstallBox_);

  column->addWidget(sectionTitle("How it works", page));
  addLabelledLine(column, page, "folder", "Name secrets as org/project/KEY — they group automatically");
  addLabelledLine(column, page, "terminal", "Use the tray app or the CLI from your terminal");
  addLabelledLine(column, page, "lock.shield", "AI agents never see raw values — encrypted handoff only");
  addLabelledLine(column, page, "lock.fill", "Your vault passphrase protects every operation");
  column->addStretch();
  return page;
}

QWidget* OnboardingView::buildAgentStep() {
  QVBoxLayout* column = nullptr;
  QWidget* page = newPage(column);
  addHeading(
      column, page, "cpu", style::accent, "AI Agent Setup",
      "Caskel detects AI agents and blocks them from accessing raw secret values. Copy the instructions "
      "below to teach your agent how to use caskel safely.");
  column->addWidget(sectionTitle("Detected Agents", page));
  agentRows_ = new QVBoxLayout;
  agentRows_->setSpacing(4);
  column->addLayout(agentRows_);

  column->addWidget(sectionTitle("Agent protection", page));
  addLabelledLine(column, page, "lock.fill", "caskel get returns encrypted snippets, never raw values");
  addLabelledLine(column, page, "xmark.shield.fill", "--raw, load, env, export are hard-blocked for agents");
  addLabelledLine(column, page, "eye.slash.fill", "DLP guard scans output for accidentally leaked secrets");
  addLabelledLine(column, page, "arrow.triangle.branch",
                  "Full process tree inspection detects agent callers");

  copyInstructions_ = tintedButton("doc.on.doc", "Copy Instructions", page);
  paintTint(copyInstructions_, style::accent);
  connect(copyInstructions_, &QPushButton::clicked, this, &OnboardingView::copyInstructions);
  addToFile_ = tintedButton("doc.badge.plus", "Add to existing .md", page);
  paintTint(addToFile_, style::blue);
  connect(addToFile_, &QPushButton::clicked, this, &OnboardingView::appendToFile);
  auto* create = tintedButton("square.and.arrow.down", "Create new .md", page);
  paintTint(create, style::blue);
  connect(create, &QPushButton::clicked, this, &OnboardingView::createFile);
  for (QPushButton* button : {copyInstructions_, addToFile_, create}) column->addWidget(button);
  column->addWidget(
      wrapped(plainLabel("Save to an existing CLAUDE.md or create a new one in your project folder.", page,
                         style::caption(), style::secondary(palette()))));
  column->addStretch();
  return page;
}

QWidget* OnboardingView::buildDoneStep() {
  QVBoxLayout* column = nullptr;
  QWidget* page = newPage(column);
  addHeading(column, page, "checkmark.seal.fill", style::green, "You're all set",
             "Caskel is verified and ready. Here's a quick reference:");
  static constexpr const char* kReference[][2] = {
      {"caskel set key --clipboard", "Store from clipboard"},
      {"caskel get key", "Retrieve (encrypted for agents)"},
      {"caskel peek key", "Preview first 8 chars"},
      {"caskel ls [prefix]", "List stored items"},
      {"caskel unlock prefix", "Session unlock (one passphrase prompt)"},
      {"caskel lock [prefix]", "Lock session"},
      {"caskel scan [path]", "Find & import .env files"},
      {"caskel rotate key", "Guided secret rotation"},
      {"caskel verify", "Re-run security checks"},
  };
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(3);
  int row = 0;
  for (const auto& [command, description] : kReference) {
    grid->addWidget(plainLabel(command, page, style::sized(style::monospaced(), 10), style::accent), row, 0);
    grid->addWidget(wrapped(plainLabel(description, page, style::caption(), style::secondary(palette()))),
                    row++, 1);
  }
  grid->setColumnStretch(1, 1);
  column->addLayout(grid);
  column->addWidget(style::divider(page));
  column->addWidget(sectionTitle("Tips", page));
  {
    auto* tipRow = new QHBoxLayout;
    tipRow->setSpacing(8);
    tipRow->addWidget(iconLabel("menubar.rectangle", style::accent, 14, page), 0, Qt::AlignTop);
    quickAccessTip_ = wrapped(plainLabel({}, page, style::caption()));
    tipRow->addWidget(quickAccessTip_, 1);
    column->addLayout(tipRow);
  }
  addLabelledLine(column, page, "terminal", "Run caskel setup in your terminal for agent hook setup");
  addLabelledLine(column, page, "shield.checkered", "Run caskel verify anytime to re-check security");
  scan_ = tintedButton("doc.text.magnifyingglass", "Scan for .env files", page);
  paintTint(scan_, style::accent);
  connect(scan_, &QPushButton::clicked, this, &OnboardingView::scanForEnvFiles);
  column->addWidget(scan_);
  column->addStretch();
  return page;
}

QWidget* OnboardingView::buildNavigation() {
  auto* bar = new QWidget(this);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(16, 10, 16, 10);
  back_ = new QPushButton("Back", bar);
  connect(back_, &QPushButton::clicked, this, [this] { setStep(step_ - 1); });
  next_ = new QPushButton("Next", bar);
  connect(next_, &QPushButton::clicked, this, [this] { setStep(step_ + 1); });
  getStarted_ = new QPushButton("Get Started", bar);
  getStarted_->setDefault(true);
  connect(getStarted_, &QPushButton::clicked, this, &OnboardingView::finish);
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] {
      if (step_ == kSteps - 1) finish();
    });
  }
  row->addWidget(back_);
  row->addStretch();
  row->addWidget(next_);
  row->addWidget(getStarted_);
  return bar;
}

void OnboardingView::setStep(int step) {
  step_ = std::clamp(step, 0, kSteps - 1);
  pages_->setCurrentIndex(step_);
  if (step_ == kSteps - 1) {
    // Read when shown: the shortcut may have been changed in Settings meanwhile. Where no
    // mechanism carries it, the command to bind by hand stands in its place.
    const bool bound = !services_.hotkey || services_.hotkey->isRegistered();
    quickAccessTip_->setText(QString::fromStdString(
        "Use the tray icon or " +
        (bound ? hotkeyDisplayText(readHotkeyShortcut(services_.defaults))
               : std::string(
                     "caskel-app --toggle-quick-access (bind it in your desktop's keyboard settings)")) +
        " for quick access"));
  }
  indicator_->update();
  updateNavigation();
}

void OnboardingView::updateNavigation() {
  back_->setVisible(step_ >= 1);
  next_->setVisible(step_ < kSteps - 1);
  next_->setText(step_ == 0 && check_->running() ? "Verifying..." : "Next");
  getStarted_->setVisible(step_ == kSteps - 1);
}

void OnboardingView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shown_) {
    shown_ = true;
    firstShown();
  }
}

void OnboardingView::firstShown() {
  check_->start();
  for (const DetectedAgent& found : detectAgents(env_.home, env_.exists)) {
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    QWidget* page = agentRows_->parentWidget();
    row->addWidget(iconLabel(found.agent->icon, style::accent, 14, page));
    row->addWidget(plainLabel(found.agent->name, page, style::caption()), 1);
    auto* mark = found.detected
                     ? iconLabel("checkmark.circle.fill", style::green, 14, page)
                     : iconLabel("circle", style::withOpacity(style::secondary(palette()), 0.3), 14, page);
    mark->setAccessibleName(found.detected ? "detected" : "not detected");
    row->addWidget(mark);
    agentRows_->addLayout(row);
  }
  showCli();
  updateNavigation();
}

void OnboardingView::showCli() {
  const CliInstall cli = cliInstall(env_.findCliOnPath(), env_.exists(env_.home + "/.local/bin/caskel"),
                                    env_.home, env_.appDirectory);
  const bool installed = cli.foundAt.has_value();
  cliIcon_->setPixmap(style::tintedSymbol(installed ? "checkmark.circle.fill" : "xmark.circle.fill",
                                          installed ? style::green : style::orange, 14)
                          .pixmap(14, 14));
  cliStatus_->setText(QString::fromStdString(cli.statusText()));
  linkCommand_->setText(QString::fromStdString(cli.linkCommand));
  cliInstallBox_->setVisible(!installed && !cli.linkCommand.empty());
}

void OnboardingView::flash(QAbstractButton* button, const QString& doneText, TaskHandle& reset, int seconds,
                           std::function<void()> restore) {
  if (!doneText.isEmpty()) button->setText(doneText);
  button->setIcon(style::tintedSymbol("checkmark", style::green));
  reset.cancel();
  QPointer<OnboardingView> self(this);
  reset = services_.mainQueue.postAfterSeconds(std::chrono::seconds(seconds),
                                               [self, restore = std::move(restore)] {
                                                 if (self) restore();
                                               });
}

void OnboardingView::copyLinkCommand() {
  if (!services_.clipboard.setText(linkCommand_->text().toStdString())) return;
  flash(copyLink_, {}, linkReset_, kCopiedFor,
        [this] { copyLink_->setIcon(style::tintedSymbol("doc.on.doc", style::blue)); });
}

void OnboardingView::copyInstructions() {
  if (!services_.clipboard.setText(agentInstructions(services_.state.accounts()))) return;
  paintTint(copyInstructions_, style::green);
  flash(copyInstructions_, "Copied!", instructionsReset_, kCopiedFor, [this] {
    copyInstructions_->setText("Copy Instructions");
    copyInstructions_->setIcon(style::symbolIcon("doc.on.doc"));
    paintTint(copyInstructions_, style::accent);
  });
}

void OnboardingView::appendToFile() {
  auto path = env_.choose(OnboardingEnvironment::Choice::markdownFile,
                          "Select .md file to add Caskel instructions", env_.home);
  if (!path) return;
  const InstructionsOutcome outcome =
      appendInstructionsToFile(*path, agentInstructions(services_.state.accounts()));
  env_.notify(instructionsNotice(outcome, fileNameOf(*path)));
  if (outcome.kind != InstructionsOutcome::Kind::added) return;
  flash(addToFile_, "Saved!", savedReset_, kCopiedFor, [this] {
    addToFile_->setText("Add to existing .md");
    addToFile_->setIcon(style::symbolIcon("doc.badge.plus"));
  });
}

void OnboardingView::createFile() {
  auto path = env_.choose(OnboardingEnvironment::Choice::newMarkdownFile,
                          "Create new .md file with Caskel instructions", env_.home);
  if (!path) return;
  const InstructionsOutcome outcome =
      createInstructionsFile(*path, agentInstructions(services_.state.accounts()));
  env_.notify(instructionsNotice(outcome, fileNameOf(*path)));
}

void OnboardingView::scanForEnvFiles() {
  auto folder =
      env_.choose(OnboardingEnvironment::Choice::folder, "Select folder to scan for .env files", env_.home);
  if (!folder) return;
  // The walk reads the disk: off the main thread, the count comes back to it.
  QPointer<OnboardingView> self(this);
  TaskQueue& main = services_.mainQueue;
  services_.worker.post([self, &main, folder = *folder] {
    const size_t count = EnvFileScan::run(folder).size();
    main.post([self, folder, count] {
      if (self) self->showScanResult(folder, count);
    });
  });
}

void OnboardingView::showScanResult(const std::string& folder, size_t count) {
  if (count > 0) {
    services_.clipboard.setText(envScanCommand(folder));
    env_.notify(envScanNotice(count));
  }
  paintTint(scan_, style::green);
  flash(scan_, QString::fromStdString(envScanResultText(count)), scanReset_,
        count > 0 ? kFoundFor : kNoneFoundFor, [this] {
          scan_->setText("Scan for .env files");
          scan_->setIcon(style::symbolIcon("doc.text.magnifyingglass"));
          paintTint(scan_, style::accent);
        });
}

void OnboardingView::finish() {
  services_.defaults.setBool(defaults_keys::kOnboardingDone, true);
  emit dismissed();
}

}  // namespace caskel
