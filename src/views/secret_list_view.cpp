#include "views/secret_list_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <chrono>
#include <memory>

#include "app/app_state.h"
#include "app/application.h"
#include "platform/auth_context.h"
#include "platform/clipboard.h"
#include "session/session_manager.h"
#include "views/background_call.h"
#include "views/secret_list_model.h"
#include "views/secret_list_rules.h"
#include "views/secret_row_delegate.h"
#include "views/view_style.h"

namespace caskel {

using style::divider;
using style::plainLabel;
using style::setTextColor;

namespace {

// The share's state outlives the countdown by a second, so the last number is never cut short.
constexpr auto kShareReset = std::chrono::seconds(61);

QToolButton* iconButton(const char* symbol, const QString& tooltip, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setIcon(style::tintedSymbol(QString::fromLatin1(symbol), style::secondary(parent->palette())));
  button->setToolTip(tooltip);
  button->setAccessibleName(tooltip);
  return button;
}

}  // namespace

SecretListView::SecretListView(ViewServices& services, QWidget* parent)
    : QWidget(parent),
      services_(services),
      model_(new SecretListModel(services.state, services.now, this)),
      delegate_(new SecretRowDelegate(
          [this](const std::string& account) -> std::optional<Clock::time_point> {
            if (sharedAccount_ && *sharedAccount_ == account) return sharedAt_;
            return std::nullopt;
          },
          services.now, this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(buildFilterBar());
  layout->addWidget(divider(this));
  banner_ = buildBanner();
  layout->addWidget(banner_);
  layout->addWidget(buildBody(), 1);
  layout->addWidget(divider(this));
  layout->addWidget(buildFooter());

  connect(delegate_, &SecretRowDelegate::toggleRequested, model_, &SecretListModel::toggleGroup);
  connect(delegate_, &SecretRowDelegate::shareRequested, this,
          [this](const QString& account) { share(account.toStdString()); });
  connect(delegate_, &SecretRowDelegate::editRequested, this, &SecretListView::editRequested);
  ticker_.setInterval(1000);
  connect(&ticker_, &QTimer::timeout, this, &SecretListView::tick);

  subscription_ = services_.state.subscribe(
      [this](AppState::Property property) { stateChanged(property == AppState::Property::accounts); });
  stateChanged(true);
  setOnboardingAvailable(false);
}

SecretListView::~SecretListView() {
  services_.state.unsubscribe(subscription_);
}

QWidget* SecretListView::buildFilterBar() {
  auto* bar = new QWidget(this);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(10, 10, 10, 10);
  auto* glass = new QLabel(bar);
  glass->setPixmap(style::tintedSymbol("magnifyingglass", style::secondary(palette())).pixmap(16, 16));
  filter_ = new QLineEdit(bar);
  filter_->setPlaceholderText("Filter...");
  filter_->setFrame(false);
  filter_->setText(QString::fromStdString(services_.state.searchText()));
  connect(filter_, &QLineEdit::textChanged, this,
          [this](const QString& text) { services_.state.setSearchText(text.toStdString()); });
  auto* add = new QToolButton(bar);
  add->setAutoRaise(true);
  add->setIcon(style::symbolIcon("plus"));
  add->setAccessibleName("Add secret");
  connect(add, &QToolButton::clicked, this, &SecretListView::addRequested);
  row->addWidget(glass);
  row->addWidget(filter_, 1);
  row->addWidget(add);
  return bar;
}

QWidget* SecretListView::buildBanner() {
  auto* banner = new QWidget(this);
  banner->setAutoFillBackground(true);
  QPalette palette = banner->palette();
  palette.setColor(QPalette::Window, style::withOpacity(style::orange, 0.1));
  banner->setPalette(palette);
  auto* outer = new QVBoxLayout(banner);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* content = new QWidget(banner);
  auto* row = new QHBoxLayout(content);
  row->setContentsMargins(10, 6, 10, 6);
  row->setSpacing(4);
  auto* icon = new QLabel(content);
  icon->setPixmap(style::tintedSymbol("exclamationmark.triangle.fill", style::orange).pixmap(16, 16));
  // In caption size: at the body size the line is wider than the window.
  auto* text = plainLabel("CLI outdated — run ", content);
  text->setFont(style::caption());
  auto* command = plainLabel("caskel update", content);
  command->setFont(style::sized(style::monospaced(), 11, true));
  auto* copy = new QToolButton(content);
  copy->setFont(style::caption());
  copy->setAutoRaise(true);
  copy->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  copy->setText("Copy fix");
  copy->setIcon(style::tintedSymbol("doc.on.clipboard", style::blue));
  copy->setToolTip("Copy 'caskel update' to clipboard");
  setTextColor(copy, style::blue);
  connect(copy, &QToolButton::clicked, this, [this] { services_.clipboard.setText("caskel update"); });
  row->addWidget(icon);
  row->addWidget(text);
  row->addWidget(command);
  row->addStretch(1);
  row->addWidget(copy);
  outer->addWidget(content);
  outer->addWidget(divider(banner));
  return banner;
}

QWidget* SecretListView::buildBody() {
  body_ = new QStackedWidget(this);
  list_ = new QListView(body_);
  list_->setModel(model_);
  list_->setItemDelegate(delegate_);
  list_->setUniformItemSizes(true);
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setFrameShape(QFrame::NoFrame);
  list_->setMouseTracking(true);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  list_->viewport()->setAutoFillBackground(false);
  body_->addWidget(list_);

  auto* empty = new QWidget(body_);
  auto* column = new QVBoxLayout(empty);
  column->addStretch(1);
  emptyText_ = plainLabel(QString(), empty);
  emptyText_->setAlignment(Qt::AlignCenter);
  setTextColor(emptyText_, style::secondary(palette()));
  addFirst_ = new QPushButton("Add your first secret", empty);
  addFirst_->setFlat(true);
  setTextColor(addFirst_, style::blue);
  connect(addFirst_, &QPushButton::clicked, this, &SecretListView::addRequested);
  column->addWidget(emptyText_);
  column->addWidget(addFirst_, 0, Qt::AlignHCenter);
  column->addStretch(1);
  body_->addWidget(empty);
  return body_;
}

QWidget* SecretListView::buildFooter() {
  auto* footer = new QWidget(this);
  auto* row = new QHBoxLayout(footer);
  row->setContentsMargins(10, 6, 10, 6);
  count_ = plainLabel(QString(), footer);
  count_->setFont(style::caption());
  setTextColor(count_, style::secondary(palette()));
  onboarding_ = iconButton("questionmark.circle", "How Caskel works", footer);
  connect(onboarding_, &QToolButton::clicked, this, &SecretListView::onboardingRequested);
  auto* settings = iconButton("gearshape", "Settings", footer);
  connect(settings, &QToolButton::clicked, this, &SecretListView::settingsRequested);
  auto* quit = new QToolButton(footer);
  quit->setAutoRaise(true);
  quit->setText("Quit");
  quit->setFont(style::caption());
  setTextColor(quit, style::secondary(palette()));
  connect(quit, &QToolButton::clicked, this, &SecretListView::quitRequested);
  row->addWidget(count_);
  row->addStretch(1);
  row->addWidget(onboarding_);
  row->addWidget(settings);
  row->addWidget(quit);
  return footer;
}

void SecretListView::setOnboardingAvailable(bool available) {
  onboarding_->setVisible(available);
}

void SecretListView::stateChanged(bool accountsChanged) {
  AppState& state = services_.state;
  const std::string search = state.searchText();
  if (filter_->text().toStdString() != search) filter_->setText(QString::fromStdString(search));
  banner_->setVisible(state.isCliOutdated());
  // The listing is copied out of the model: only when it changed.
  if (accountsChanged) count_->setText(footerText(state.accounts().size()));
  if (model_->rowCount() == 0) {
    const EmptyState empty = emptyState(search);
    emptyText_->setText(empty.text);
    addFirst_->setVisible(empty.offerAdd);
    body_->setCurrentIndex(1);
  } else {
    body_->setCurrentIndex(0);
  }
}

ShareIndicator SecretListView::indicatorFor(const std::string& account) const {
  return shareIndicator(sharedAccount_ == account ? sharedAt_ : std::nullopt, services_.now());
}

void SecretListView::share(const std::string& account) {
  QPointer<SecretListView> self(this);
  PromptTracker* prompts = &services_.prompts;
  prompts->begin();
  services_.state.shareInBackground(
      account, services_.worker, [self, prompts, account](Result<std::string> result) {
        prompts->end();
        if (!self) return;
        // A failed or cancelled share leaves everything as it was.
        if (!result.ok()) return;
        self->sharedAccount_ = account;
        self->sharedPath_ = result.value();
        self->sharedAt_ = self->services_.now();
        self->services_.mainQueue.postAfterSeconds(kShareReset, [self, account] {
          if (!self || self->sharedAccount_ != account) return;  // another share took over
          self->sharedAccount_.reset();
          self->sharedPath_.reset();
          self->sharedAt_.reset();
          self->list_->viewport()->update();
        });
        self->ticker_.start();
        self->list_->viewport()->update();
      });
}

void SecretListView::tick() {
  refreshUnlocked();
  list_->viewport()->update();
  if (!sharedAt_ || services_.now() - *sharedAt_ >= kShareReset) ticker_.stop();
}

void SecretListView::refreshUnlocked() {
  SessionManager* sessions = Application::shared().sessionManager();
  model_->setUnlockedPrefixes(sessions != nullptr,
                              sessions ? sessions->unlockedPrefixes() : std::vector<std::string>{});
}

void SecretListView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refreshUnlocked();
  model_->redate();
  firstLoad();
}

void SecretListView::firstLoad() {
  // The listing needs no passphrase, so an empty list is usually an empty vault; ask only when
  // there is a vault, and not again after a no.
  if (firstLoadRunning_ || firstLoadDone_ || !services_.state.accounts().empty()) return;
  if (!services_.vaultExists || !services_.vaultExists()) return;
  firstLoadRunning_ = true;
  AppState* state = &services_.state;
  callInBackground<bool>(
      services_, this,
      [state] {
        auto context = std::make_shared<AuthContext>();
        if (!context->canEvaluate()) return false;
        if (context->evaluate("Load secrets — via Caskel tray") != AuthOutcome::success) return false;
        state->reload(context.get());
        return true;
      },
      [this](bool& loaded) {
        firstLoadRunning_ = false;
        // A success may ask again when the list is next shown empty; a no is final.
        firstLoadDone_ = !loaded;
      });
}

}  // namespace caskel
