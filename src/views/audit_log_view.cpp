#include "views/audit_log_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "audit/audit_logger.h"
#include "views/audit_entry_delegate.h"
#include "views/audit_entry_model.h"
#include "views/view_style.h"

namespace caskel {

namespace {

QToolButton* plainButton(const QString& text, const QColor& color, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setText(text);
  button->setAutoRaise(true);
  button->setFont(style::caption());
  button->setCursor(Qt::PointingHandCursor);
  QPalette palette = button->palette();
  palette.setColor(QPalette::ButtonText, color);
  button->setPalette(palette);
  return button;
}

}  // namespace

AuditLogView::AuditLogView(ViewServices& services, QWidget* parent)
    : QWidget(parent), services_(services), model_(new AuditEntryModel(services.now, this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* header = new QHBoxLayout;
  header->setContentsMargins(8, 8, 12, 8);
  auto* back = plainButton("Back", style::blue, this);
  back->setIcon(style::tintedSymbol("chevron.left", style::blue));
  back->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  connect(back, &QToolButton::clicked, this, &AuditLogView::dismissed);
  header->addWidget(back);
  header->addSpacing(4);
  auto* title = new QLabel("Audit Log", this);
  title->setFont(style::headline());
  header->addWidget(title);
  header->addStretch();

  trash_ = new QToolButton(this);
  trash_->setAutoRaise(true);
  trash_->setIcon(style::tintedSymbol("trash", style::secondary(palette())));
  trash_->setToolTip("Clear audit log");
  trash_->setAccessibleName("Clear audit log");
  connect(trash_, &QToolButton::clicked, this, [this] { setConfirming(true); });
  header->addWidget(trash_);

  confirm_ = new QWidget(this);
  auto* confirmRow = new QHBoxLayout(confirm_);
  confirmRow->setContentsMargins(0, 0, 0, 0);
  confirmRow->addWidget(style::plainLabel("Clear all logs?", confirm_, style::caption(), style::red));
  auto* cancel = plainButton("Cancel", style::primary(palette()), confirm_);
  connect(cancel, &QToolButton::clicked, this, [this] { setConfirming(false); });
  confirmRow->addWidget(cancel);
  auto* clear = plainButton("Clear", style::red, confirm_);
  connect(clear, &QToolButton::clicked, this, &AuditLogView::clearLog);
  confirmRow->addWidget(clear);
  header->addWidget(confirm_);
  layout->addLayout(header);

  layout->addWidget(style::divider(this));

  body_ = new QStackedWidget(this);
  empty_ = new QWidget(body_);
  auto* emptyLayout = new QVBoxLayout(empty_);
  emptyLayout->addStretch();
  auto* emptyIcon = new QLabel(empty_);
  emptyIcon->setPixmap(
      style::tintedSymbol("doc.text.magnifyingglass", style::secondary(palette()), 28).pixmap(28, 28));
  emptyIcon->setAlignment(Qt::AlignCenter);
  emptyLayout->addWidget(emptyIcon);
  emptyText_ = style::plainLabel({}, empty_, style::body(), style::secondary(palette()));
  emptyText_->setAlignment(Qt::AlignCenter);
  emptyLayout->addWidget(emptyText_);
  emptyHint_ = style::plainLabel("Enable it in Settings", empty_, style::caption(), style::tertiary(palette()));
  emptyHint_->setAlignment(Qt::AlignCenter);
  emptyLayout->addWidget(emptyHint_);
  emptyLayout->addStretch();
  body_->addWidget(empty_);

  list_ = new QListView(body_);
  list_->setModel(model_);
  list_->setItemDelegate(new AuditEntryDelegate(list_));
  list_->setFrameShape(QFrame::NoFrame);
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setUniformItemSizes(true);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  body_->addWidget(list_);
  layout->addWidget(body_, 1);

  load();
}

void AuditLogView::load() {
  model_->setEntries(services_.audit.readEntries(kLimit));
  refresh();
}

void AuditLogView::clearLog() {
  services_.audit.clear();
  model_->setEntries({});
  confirmClear_ = false;
  refresh();
}

void AuditLogView::setConfirming(bool confirming) {
  confirmClear_ = confirming;
  refresh();
}

void AuditLogView::refresh() {
  const bool hasEntries = !model_->isEmpty();
  trash_->setVisible(hasEntries && !confirmClear_);
  confirm_->setVisible(hasEntries && confirmClear_);
  if (hasEntries) {
    body_->setCurrentWidget(list_);
    return;
  }
  const bool enabled = services_.audit.isEnabled();
  emptyText_->setText(enabled ? "No log entries yet" : "Audit logging is disabled");
  emptyHint_->setVisible(!enabled);
  body_->setCurrentWidget(empty_);
}

}  // namespace caskel
