#include "views/metadata_fields.h"

#include <QActionGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "views/date_validity.h"
#include "views/view_style.h"

namespace caskel {

namespace {

const QString kNoKnownType = QStringLiteral("—");

QLineEdit* monospacedField(const QString& placeholder, QWidget* parent) {
  auto* field = new QLineEdit(parent);
  field->setPlaceholderText(placeholder);
  field->setFont(style::monospaced());
  return field;
}

}  // namespace

const QStringList& MetadataFields::knownTypes() {
  static const QStringList types{"api_key", "password", "token",   "certificate",
                                 "ssh_key", "oauth",    "webhook", "encryption_key"};
  return types;
}

MetadataFields::MetadataFields(QWidget* parent)
    : QWidget(parent),
      typeRow_(new QWidget(this)),
      type_(monospacedField(QStringLiteral("Type"), typeRow_)),
      picker_(new QToolButton(typeRow_)),
      choices_(new QActionGroup(this)),
      bundle_(monospacedField(QStringLiteral("Bundle — e.g. oauth, db, deploy"), this)),
      expires_(monospacedField(QStringLiteral("Expires — YYYY-MM-DD"), this)),
      invalidDate_(new QLabel(QStringLiteral("Invalid date — use YYYY-MM-DD format"), this)),
      desc_(new QLineEdit(this)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(6);

  auto* heading = new QLabel(QStringLiteral("Metadata (optional)"), this);
  heading->setFont(style::caption());
  QPalette secondary = heading->palette();
  secondary.setColor(QPalette::WindowText, style::secondary(palette()));
  heading->setPalette(secondary);
  column->addWidget(heading);

  auto* row = new QHBoxLayout(typeRow_);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  row->addWidget(type_, 1);
  picker_->setFixedWidth(20);
  picker_->setPopupMode(QToolButton::InstantPopup);
  picker_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  picker_->setToolTip(QStringLiteral("Known types"));
  auto* menu = new QMenu(picker_);
  // "—" stands for "none of these": choosing it keeps a custom type typed into the field.
  for (const QString& entry : QStringList{kNoKnownType} + knownTypes()) {
    QAction* action = menu->addAction(entry);
    action->setCheckable(true);
    choices_->addAction(action);
    if (entry != kNoKnownType)
      connect(action, &QAction::triggered, this, [this, entry] { type_->setText(entry); });
  }
  connect(choices_, &QActionGroup::triggered, this, [this] { refresh(); });
  // The button is too narrow for a type's name: the menu's check mark shows the choice.
  picker_->setMenu(menu);
  row->addWidget(picker_);
  column->addWidget(typeRow_);

  column->addWidget(bundle_);
  column->addWidget(expires_);
  invalidDate_->setFont(style::sized(style::body(), 11));
  QPalette red = invalidDate_->palette();
  red.setColor(QPalette::WindowText, style::red);
  invalidDate_->setPalette(red);
  column->addWidget(invalidDate_);
  desc_->setPlaceholderText(QStringLiteral("Description"));
  column->addWidget(desc_);

  for (QLineEdit* field : {type_, bundle_, expires_, desc_}) {
    connect(field, &QLineEdit::textChanged, this, [this] {
      refresh();
      emit changed();
    });
  }
  refresh();
}

QString MetadataFields::pickerChoice() const {
  QAction* checked = choices_->checkedAction();
  return checked ? checked->text() : QString();
}

MetadataTexts MetadataFields::texts() const {
  return {type_->text(), bundle_->text(), desc_->text(), expires_->text()};
}

void MetadataFields::setTexts(const MetadataTexts& texts) {
  type_->setText(texts.type);
  bundle_->setText(texts.bundle);
  desc_->setText(texts.desc);
  expires_->setText(texts.expires);
  refresh();
}

void MetadataFields::setHideType(bool hide) {
  typeRow_->setVisible(!hide);
}

void MetadataFields::refresh() {
  const QString shown = knownTypes().contains(type_->text()) ? type_->text() : kNoKnownType;
  for (QAction* action : choices_->actions()) action->setChecked(action->text() == shown);
  const bool invalid = !isAcceptableExpiry(expires_->text());
  expires_->setStyleSheet(invalid ? QStringLiteral("QLineEdit { border: 1px solid rgba(255, 69, 58, 0.6); "
                                                   "border-radius: 5px; padding: 1px 3px; }")
                                  : QString());
  invalidDate_->setVisible(invalid);
}

}  // namespace caskel
