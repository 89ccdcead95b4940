#include "views/quick_access_view.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/app_state.h"
#include "platform/auth_context.h"
#include "platform/clipboard.h"
#include "views/background_call.h"
#include "views/quick_access_rules.h"
#include "views/view_style.h"

namespace caskel {

using style::plainLabel;
using style::setTextColor;

namespace {

constexpr double kReuseSeconds = 300;  // an unlock within five minutes stands without a prompt
constexpr int kPeekRole = Qt::UserRole;
constexpr int kCopiedRole = Qt::UserRole + 1;

// One match: a key symbol (a check mark once copied), the key in the monospaced face and the
// peek preview, tertiary.
class RowDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return {280, 28}; }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    painter->save();
    const QRect rect = option.rect.adjusted(4, 1, -4, -1);
    const bool copied = index.data(kCopiedRole).toBool();
    if (copied) {
      painter->fillRect(rect, style::withOpacity(style::green, 0.1));
    } else if (option.state & QStyle::State_Selected) {
      painter->fillRect(rect, style::withOpacity(option.palette.color(QPalette::Highlight), 0.1));
    }
    const QRect inner = rect.adjusted(10, 0, -10, 0);
    const QIcon icon = copied ? style::tintedSymbol("checkmark.circle.fill", style::green, 14)
                              : style::tintedSymbol("key", style::secondary(option.palette), 11);
    const int iconSize = copied ? 14 : 11;
    icon.paint(painter, QRect(inner.left(), inner.center().y() - iconSize / 2, iconSize, iconSize));
    int x = inner.left() + 22;

    const QFont keyFont = style::sized(style::monospaced(), 12);
    painter->setFont(keyFont);
    painter->setPen(style::primary(option.palette));
    const QString key = index.data(Qt::DisplayRole).toString();
    const QString shownKey = QFontMetrics(keyFont).elidedText(key, Qt::ElideMiddle, inner.right() - x);
    painter->drawText(QRect(x, inner.top(), inner.right() - x, inner.height()), Qt::AlignVCenter, shownKey);
    x += QFontMetrics(keyFont).horizontalAdvance(shownKey) + 8;

    const QString peek = index.data(kPeekRole).toString();
    if (!peek.isEmpty() && x < inner.right()) {
      const QFont peekFont = style::sized(style::body(), 10);
      painter->setFont(peekFont);
      painter->setPen(style::tertiary(option.palette));
      const QString text = QFontMetrics(peekFont).elidedText(peek + "...", Qt::ElideRight, inner.right() - x);
      painter->drawText(QRect(x, inner.top(), inner.right() - x, inner.height()), Qt::AlignVCenter, text);
    }
    painter->restore();
  }
};

// The passphrase prompt is open: a lock that pulses, labelled "Passphrase".
QWidget* pulsingLock(QWidget* parent) {
  auto* page = new QWidget(parent);
  auto* column = new QVBoxLayout(page);
  column->addStretch();
  auto* lock = new QLabel(page);
  lock->setPixmap(style::tintedSymbol("lock.fill", style::green, 36).pixmap(36, 36));
  lock->setAlignment(Qt::AlignCenter);
  auto* fade = new QGraphicsOpacityEffect(lock);
  lock->setGraphicsEffect(fade);
  auto* pulse = new QPropertyAnimation(fade, "opacity", lock);
  pulse->setDuration(1200);
  pulse->setKeyValueAt(0, 1.0);
  pulse->setKeyValueAt(0.5, 0.35);
  pulse->setKeyValueAt(1, 1.0);
  pulse->setEasingCurve(QEasingCurve::InOutQuad);
  pulse->setLoopCount(-1);
  pulse->start();
  column->addWidget(lock);
  auto* label = plainLabel("Passphrase", page, style::sized(style::body(), 13, false));
  label->setAlignment(Qt::AlignCenter);
  column->addWidget(label);
  column->addStretch();
  return page;
}

}  // namespace

QuickAccessView::QuickAccessView(ViewServices& services, const QString& shortcutText,
                                 QuickAccessTimings timings, QWidget* parent)
    : QWidget(parent),
      services_(services),
      timings_(timings),
      search_(new QLineEdit(this)),
      clearSearch_(new QToolButton(this)),
      body_(new QStackedWidget(this)),
      error_(new QLabel(this)),
      unlocked_(new QWidget(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* searchRow = new QHBoxLayout;
  searchRow->setContentsMargins(10, 10, 10, 10);
  auto* glass = new QLabel(this);
  glass->setPixmap(style::tintedSymbol("magnifyingglass", style::secondary(palette()), 13).pixmap(13, 13));
  searchRow->addWidget(glass);
  search_->setPlaceholderText("Search secrets...");
  search_->setFrame(false);
  search_->setFont(style::sized(style::body(), 14));
  search_->installEventFilter(this);
  searchRow->addWidget(search_, 1);
  clearSearch_->setAutoRaise(true);
  clearSearch_->setIcon(style::tintedSymbol("xmark.circle.fill", style::secondary(palette()), 13));
  clearSearch_->setToolTip("Clear search");
  clearSearch_->hide();
  connect(clearSearch_, &QToolButton::clicked, search_, &QLineEdit::clear);
  searchRow->addWidget(clearSearch_);
  layout->addLayout(searchRow);
  layout->addWidget(style::divider(this));

  promptPage_ = pulsingLock(body_);
  body_->addWidget(promptPage_);
  retryPage_ = new QWidget(body_);
  auto* retryColumn = new QVBoxLayout(retryPage_);
  retryColumn->setContentsMargins(16, 16, 16, 16);
  retryColumn->addStretch();
  auto* expired = plainLabel("Session expired — one more passphrase prompt to continue", retryPage_,
                             style::sized(style::body(), 13), style::secondary(palette()));
  expired->setWordWrap(true);
  expired->setAlignment(Qt::AlignCenter);
  retryColumn->addWidget(expired);
  auto* retry = new QPushButton("Retry", retryPage_);
  connect(retry, &QPushButton::clicked, this, &QuickAccessView::authenticate);
  retryColumn->addWidget(retry, 0, Qt::AlignHCenter);
  retryColumn->addStretch();
  body_->addWidget(retryPage_);
  empty_ = plainLabel({}, body_, style::sized(style::body(), 13), style::secondary(palette()));
  empty_->setAlignment(Qt::AlignCenter);
  body_->addWidget(empty_);
  list_ = new QListWidget(body_);
  list_->setFrameShape(QFrame::NoFrame);
  list_->setItemDelegate(new RowDelegate(list_));
  list_->setFocusPolicy(Qt::NoFocus);  // the keys belong to the search field
  list_->setUniformItemSizes(true);
  connect(list_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) { copy(list_->row(item)); });
  body_->addWidget(list_);
  layout->addWidget(body_, 1);

  error_->setFont(style::caption());
  error_->setTextFormat(Qt::PlainText);
  error_->setWordWrap(true);
  error_->setContentsMargins(10, 4, 10, 4);
  setTextColor(error_, style::red);
  error_->hide();
  layout->addWidget(error_);

  auto* warning = new QWidget(this);
  warning->setAutoFillBackground(true);
  QPalette faint = warning->palette();
  faint.setColor(QPalette::Window, style::withOpacity(style::orange, 0.1));
  warning->setPalette(faint);
  auto* warningRow = new QHBoxLayout(warning);
  warningRow->setContentsMargins(10, 6, 10, 6);
  auto* triangle = new QLabel(warning);
  triangle->setPixmap(style::tintedSymbol("exclamationmark.triangle.fill", style::orange, 11).pixmap(11, 11));
  warningRow->addWidget(triangle, 0, Qt::AlignTop);
  auto* warningText = plainLabel("Copies raw value — don't paste into AI chats. Use Share for agents.",
                                 warning, style::sized(style::body(), 10), style::orange);
  warningText->setWordWrap(true);
  warningRow->addWidget(warningText, 1);
  layout->addWidget(warning);

  auto* footer = new QHBoxLayout;
  footer->setContentsMargins(10, 6, 10, 8);
  footer->addWidget(plainLabel(shortcutText + " to toggle", this, style::sized(style::body(), 10),
                               style::secondary(palette())));
  footer->addStretch();
  auto* unlockedRow = new QHBoxLayout(unlocked_);
  unlockedRow->setContentsMargins(0, 0, 0, 0);
  unlockedRow->setSpacing(3);
  auto* open = new QLabel(unlocked_);
  open->setPixmap(style::tintedSymbol("lock.open.fill", style::green, 9).pixmap(9, 9));
  unlockedRow->addWidget(open);
  unlockedRow->addWidget(plainLabel("Unlocked", unlocked_, style::sized(style::body(), 10), style::green));
  footer->addWidget(unlocked_);
  layout->addLayout(footer);

  connect(search_, &QLineEdit::textChanged, this, [this] {
    selected_ = 0;
    refilter();
  });
  subscription_ = services_.state.subscribe([this](AppState::Property property) {
    if (property == AppState::Property::accounts) refilter();
  });
  refilter();
}

QuickAccessView::~QuickAccessView() {
  services_.state.unsubscribe(subscription_);
  promptStart_.cancel();
  closeTimer_.cancel();
}

void QuickAccessView::start() {
  if (!services_.state.hasLoaded()) {
    services_.state.setHasLoaded(true);
    services_.state.reloadInBackground(services_.worker, nullptr);
  }
  search_->setFocus();
  // The pulsing lock from the start: the prompt follows in a moment, no "expired" flash first.
  authenticating_ = true;
  refresh();
  QPointer<QuickAccessView> self(this);
  promptStart_ = services_.mainQueue.postAfter(timings_.promptDelay, [self] {
    if (self) self->authenticate();
  });
}

void QuickAccessView::authenticate() {
  promptStart_.cancel();
  if (context_) return;
  authenticating_ = true;
  error_->hide();
  refresh();
  struct Answer {
    std::shared_ptr<AuthContext> context;
    bool unavailable = false;
  };
  const std::string reason = quickAccessUnlockReason(services_.state.accounts().size());
  callInBackground<Answer>(
      services_, this,
      [reason] {
        auto context = std::make_shared<AuthContext>();
        context->setReuseDuration(kReuseSeconds);
        if (!context->canEvaluate()) return Answer{nullptr, true};
        const AuthOutcome outcome = context->evaluate(reason);
        if (outcome == AuthOutcome::success) return Answer{std::move(context), false};
        return Answer{nullptr, outcome == AuthOutcome::unavailable};
      },
      [this](Answer& answer) {
        authenticating_ = false;
        context_ = std::move(answer.context);
        if (answer.unavailable) showError("Passphrase prompt unavailable");
        // The listing may have been loaded without the metadata a locked vault hides.
        if (context_) services_.state.reloadInBackground(services_.worker, context_);
        refresh();
        search_->setFocus();
      });
}

void QuickAccessView::copy(int row) {
  if (!context_ || copying_ || row < 0 || row >= static_cast<int>(matches_.size())) return;
  copying_ = true;
  error_->hide();
  const SecretInfo info = matches_[static_cast<size_t>(row)];
  const std::optional<std::string> type = info.metadata ? info.metadata->type : std::nullopt;
  std::shared_ptr<AuthContext> context = context_;
  KeychainManager keychain = services_.keychain;
  callInBackground<Result<SecretString>>(
      services_, this,
      [keychain, account = info.account, type, context]() -> Result<SecretString> {
        Result<SecretString> read = keychain.readValue(account, context.get());
        if (!read) return read.error();
        SecretString text = quickAccessCopyText(type, read.value().view());
        read.value().wipe();
        return text;
      },
      [this, account = info.account](Result<SecretString>& read) {
        copying_ = false;
        if (!read) {
          if (read.error().kind() == KeychainError::Kind::authenticationCanceled) {
            context_.reset();
            showError("Session expired — tap Retry");
          } else {
            showError(QString::fromStdString(read.error().errorDescription()));
          }
          refresh();
          return;
        }
        Clipboard& clipboard = services_.clipboard;
        const bool copied = clipboard.setText(read.value().str());
        read.value().wipe();
        if (!copied) {
          showError("Could not copy to the clipboard");
          return;
        }
        // Cleared later only if nobody copied anything since: not tied to this opening.
        const int64_t mark = clipboard.changeCount();
        services_.mainQueue.postAfter(timings_.clearDelay, [&clipboard, mark] {
          if (clipboard.changeCount() == mark) clipboard.clear();
        });
        copied_ = account;
        refilter();
        QPointer<QuickAccessView> self(this);
        closeTimer_ = services_.mainQueue.postAfter(timings_.closeDelay, [self] {
          if (self) emit self->dismissed();
        });
      });
}

bool QuickAccessView::eventFilter(QObject* watched, QEvent* event) {
  if (watched != search_ || event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  const int count = static_cast<int>(matches_.size());
  switch (static_cast<QKeyEvent*>(event)->key()) {
    case Qt::Key_Down:
      if (selected_ < count - 1) ++selected_;
      break;
    case Qt::Key_Up:
      if (selected_ > 0) --selected_;
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      copy(selected_);
      break;
    case Qt::Key_Escape:
      emit dismissed();
      break;
    default:
      return QWidget::eventFilter(watched, event);
  }
  refresh();
  return true;
}

void QuickAccessView::refilter() {
  matches_ = quickAccessMatches(services_.state.accounts(), search_->text());
  if (selected_ >= static_cast<int>(matches_.size())) selected_ = 0;
  list_->clear();
  for (const SecretInfo& info : matches_) {
    auto* item = new QListWidgetItem(QString::fromStdString(info.account), list_);
    if (info.metadata && info.metadata->peek)
      item->setData(kPeekRole, QString::fromStdString(*info.metadata->peek));
    item->setData(kCopiedRole, copied_ == info.account);
  }
  refresh();
}

void QuickAccessView::refresh() {
  clearSearch_->setVisible(!search_->text().isEmpty());
  unlocked_->setVisible(context_ != nullptr);
  if (authenticating_) {
    body_->setCurrentWidget(promptPage_);
  } else if (!context_) {
    body_->setCurrentWidget(retryPage_);
  } else if (matches_.empty()) {
    empty_->setText(search_->text().isEmpty() ? "No secrets stored" : "No matches");
    body_->setCurrentWidget(empty_);
  } else {
    body_->setCurrentWidget(list_);
    list_->setCurrentRow(selected_);
  }
}

void QuickAccessView::showError(const QString& text) {
  error_->setText(text);
  error_->show();
}

}  // namespace caskel
