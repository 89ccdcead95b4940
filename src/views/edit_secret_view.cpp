#include "views/edit_secret_view.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/app_state.h"
#include "audit/audit_logger.h"
#include "platform/clipboard.h"
#include "views/background_call.h"
#include "views/date_validity.h"
#include "views/edit_form_rules.h"
#include "views/form_metadata.h"
#include "views/metadata_fields.h"
#include "views/revealed_value.h"
#include "views/view_style.h"

namespace caskel {

using style::setTextColor;

namespace {

QLabel* captionLabel(const QString& text, QWidget* parent) {
  return style::plainLabel(text, parent, style::caption(), style::secondary(parent->palette()));
}

// Selectable plain text in the monospaced face: keys and values are never read as markup.
QLabel* valueLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  label->setFont(style::monospaced());
  label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  label->setWordWrap(true);
  return label;
}

QString errorText(const char* prefix, const KeychainError& error) {
  return QString::fromUtf8(prefix) + QString::fromStdString(error.errorDescription());
}

}  // namespace

EditSecretView::EditSecretView(ViewServices& services, const QString& account, QWidget* parent)
    : QWidget(parent),
      services_(services),
      account_(account.toStdString()),
      stored_(storedMetadataFor(services.state.accounts(), account_)),
      copy_(new QPushButton(QStringLiteral("Copy"), this)),
      reveal_(new QToolButton(this)),
      revealedArea_(new QWidget(this)),
      revealedGrid_(new QGridLayout(revealedArea_)),
      newValue_(new QLineEdit(this)),
      metadata_(new MetadataFields(this)),
      strict_(new QCheckBox(QStringLiteral("Strict — always require the passphrase"), this)),
      error_(new QLabel(this)),
      actions_(new QStackedWidget(this)),
      save_(new QPushButton(QStringLiteral("Save"), this)) {
  auto [outer, content, column] = style::scrollingPage(this, QMargins(20, 20, 20, 8), 12);

  auto* title = new QLabel(QStringLiteral("Edit"), content);
  title->setFont(style::headline());
  column->addWidget(title);

  auto* accountBox = new QVBoxLayout;
  accountBox->setSpacing(2);
  accountBox->addWidget(captionLabel(QStringLiteral("Account"), content));
  accountBox->addWidget(valueLabel(account, content));
  column->addLayout(accountBox);

  auto* valueBox = new QVBoxLayout;
  valueBox->setSpacing(2);
  auto* valueRow = new QHBoxLayout;
  valueRow->addWidget(captionLabel(QStringLiteral("Current value"), content));
  valueRow->addStretch(1);
  copy_->setFlat(true);
  copy_->setFont(style::caption());
  setTextColor(copy_, style::blue);
  copy_->hide();
  connect(copy_, &QPushButton::clicked, this, &EditSecretView::copyValue);
  valueRow->addWidget(copy_);
  reveal_->setAutoRaise(true);
  connect(reveal_, &QToolButton::clicked, this, &EditSecretView::toggleReveal);
  valueRow->addWidget(reveal_);
  valueBox->addLayout(valueRow);
  revealedGrid_->setContentsMargins(0, 0, 0, 0);
  revealedGrid_->setColumnStretch(1, 1);
  revealedArea_->hide();
  valueBox->addWidget(revealedArea_);
  column->addLayout(valueBox);

  auto* newValueBox = new QVBoxLayout;
  newValueBox->setSpacing(2);
  newValueBox->addWidget(captionLabel(QStringLiteral("New value"), content));
  newValue_->setEchoMode(QLineEdit::Password);
  newValue_->setFont(style::monospaced());
  newValue_->setPlaceholderText(QStringLiteral("Leave blank to keep current"));
  newValueBox->addWidget(newValue_);
  auto* note = new QLabel(QStringLiteral("Changing the value requires the passphrase"), content);
  note->setFont(style::caption());
  newValueBox->addWidget(note);
  column->addLayout(newValueBox);

  metadata_->setTexts(metadataTextsOf(stored_));
  column->addWidget(metadata_);
  strict_->setChecked(stored_.strict.value_or(false));
  strict_->setToolTip(
      QStringLiteral("When enabled, this secret always requires the passphrase and is never session-cached"));
  column->addWidget(strict_);
  error_->setFont(style::caption());
  error_->setTextFormat(Qt::PlainText);
  error_->setWordWrap(true);
  setTextColor(error_, style::red);
  error_->hide();
  column->addWidget(error_);
  column->addStretch(1);

  // The action row, and the inline confirmation that replaces it.
  auto* normal = new QWidget(actions_);
  auto* normalRow = new QHBoxLayout(normal);
  normalRow->setContentsMargins(0, 0, 0, 0);
  auto* trash = new QToolButton(normal);
  trash->setAutoRaise(true);
  trash->setIcon(style::tintedSymbol(QStringLiteral("trash"), style::withOpacity(style::red, 0.7)));
  trash->setText(QStringLiteral("Delete"));  // shown only while the icon is missing
  setTextColor(trash, style::withOpacity(style::red, 0.7));
  trash->setToolTip(QStringLiteral("Delete"));
  trash->setAccessibleName(QStringLiteral("Delete secret"));
  connect(trash, &QToolButton::clicked, this, &EditSecretView::askToDelete);
  normalRow->addWidget(trash);
  normalRow->addStretch(1);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), normal);
  connect(cancel, &QPushButton::clicked, this, &EditSecretView::dismissed);
  normalRow->addWidget(cancel);
  save_->setParent(normal);
  save_->setDefault(true);
  connect(save_, &QPushButton::clicked, this, &EditSecretView::save);
  normalRow->addWidget(save_);
  actions_->addWidget(normal);

  auto* confirm = new QWidget(actions_);
  auto* confirmRow = new QHBoxLayout(confirm);
  confirmRow->setContentsMargins(0, 0, 0, 0);
  auto* question =
      new QLabel(QStringLiteral("Permanently delete this secret? This cannot be undone."), confirm);
  question->setFont(style::caption());
  question->setWordWrap(true);
  setTextColor(question, style::red);
  confirmRow->addWidget(question, 1);
  auto* keep = new QPushButton(QStringLiteral("Cancel"), confirm);
  keep->setFont(style::caption());
  connect(keep, &QPushButton::clicked, this, &EditSecretView::cancelDelete);
  confirmRow->addWidget(keep);
  auto* remove = new QPushButton(QStringLiteral("Delete"), confirm);
  remove->setFont(style::caption());
  setTextColor(remove, style::red);
  connect(remove, &QPushButton::clicked, this, &EditSecretView::deleteSecret);
  confirmRow->addWidget(remove);
  actions_->addWidget(confirm);

  auto* actionsBox = new QHBoxLayout;
  actionsBox->setContentsMargins(20, 8, 20, 16);
  actionsBox->addWidget(actions_);
  outer->addLayout(actionsBox);

  connect(newValue_, &QLineEdit::textChanged, this, &EditSecretView::refresh);
  connect(metadata_, &MetadataFields::changed, this, &EditSecretView::refresh);
  connect(strict_, &QCheckBox::toggled, this, &EditSecretView::refresh);
  hideRevealed();
  refresh();
}

EditSecretView::~EditSecretView() {
  hideRevealed();
  newValue_->clear();
}

void EditSecretView::refresh() {
  const SecretMetadata form = editFormMetadata(metadata_->texts(), strict_->isChecked(), stored_);
  save_->setEnabled(!updating_ && isEditSaveEnabled(!newValue_->text().isEmpty(), form, stored_,
                                                    metadata_->texts().expires));
}

void EditSecretView::showError(const QString& text) {
  error_->setText(text);
  error_->show();
}

void EditSecretView::toggleReveal() {
  if (revealed_) {
    hideRevealed();
    return;
  }
  if (revealing_) return;
  revealing_ = true;
  reveal_->setEnabled(false);
  AppState* state = &services_.state;
  std::string account = account_;
  callInBackground<Result<SecretString>>(
      services_, this, [state, account] { return state->obtainValue(account); },
      [this](Result<SecretString>& read) {
        revealing_ = false;
        reveal_->setEnabled(true);
        if (!read) {
          showError(errorText("Failed to reveal: ", read.error()));
          return;
        }
        revealed_ = std::move(read.value());
        showRevealed();
      });
}

void EditSecretView::showRevealed() {
  int line = 0;
  for (RevealedRow& row : revealedRows(stored_.type, revealed_->view())) {
    shownTexts_.append(QString::fromUtf8(row.text.data(), static_cast<qsizetype>(row.text.size())));
    QLabel* value = valueLabel(shownTexts_.back(), revealedArea_);
    if (row.label.isEmpty()) {
      revealedGrid_->addWidget(value, line, 0, 1, 2);
    } else {
      revealedGrid_->addWidget(captionLabel(row.label, revealedArea_), line, 0);
      revealedGrid_->addWidget(value, line, 1);
    }
    ++line;
  }
  revealedArea_->show();
  copy_->show();
  reveal_->setIcon(style::tintedSymbol(QStringLiteral("eye.fill"), style::orange));
  reveal_->setText(QStringLiteral("Hide"));  // shown only while the icon is missing
  reveal_->setToolTip(QStringLiteral("Hide value"));
}

void EditSecretView::hideRevealed() {
  // The labels drop their copies first, so the overwrite below reaches the only remaining one.
  while (QLayoutItem* item = revealedGrid_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (QString& text : shownTexts_) text.fill(QChar(0));
  shownTexts_.clear();
  if (revealed_) revealed_->wipe();
  revealed_.reset();
  revealedArea_->hide();
  copy_->hide();
  reveal_->setIcon(style::tintedSymbol(QStringLiteral("eye.slash.fill"), style::secondary(palette())));
  reveal_->setText(QStringLiteral("Reveal"));
  reveal_->setToolTip(QStringLiteral("Reveal value (passphrase)"));
}

void EditSecretView::copyValue() {
  if (!revealed_) return;
  Clipboard* clipboard = &services_.clipboard;
  clipboard->clear();
  SecretString text(*revealed_);
  clipboard->setText(text.str());
  const int64_t written = clipboard->changeCount();
  // Cleared later only if nothing else was copied meanwhile; runs even after the form is gone.
  services_.mainQueue.postAfterSeconds(kClipboardClearDelay, [clipboard, written] {
    if (clipboard->changeCount() == written) clipboard->clear();
  });
}

void EditSecretView::save() {
  if (!save_->isEnabled()) return;
  const SecretMetadata form = editFormMetadata(metadata_->texts(), strict_->isChecked(), stored_);
  const bool unchanged = form == stored_;
  if (!newValue_->text().isEmpty()) {
    SecretString value(newValue_->text().toStdString());
    // Unchanged metadata is left to the store, which keeps the stored fields for the new value.
    std::optional<SecretMetadata> metadata;
    if (!unchanged) metadata = form;
    if (KeychainStatus failed = services_.keychain.save(account_, value.view(), metadata)) {
      showError(errorText("Failed to save: ", *failed));
      return;
    }
    finish();
    return;
  }
  if (unchanged) return;
  // The store re-reads the value to keep it, which prompts: off the main thread.
  updating_ = true;
  refresh();
  KeychainManager keychain = services_.keychain;
  std::string account = account_;
  SecretMetadata update = metadataForUpdate(form, stored_);
  callInBackground<KeychainStatus>(
      services_, this,
      [keychain, account, update] { return keychain.updateMetadata(account, update, nullptr); },
      [this](KeychainStatus& failed) {
        updating_ = false;
        refresh();
        if (failed) {
          showError(errorText("Failed to update: ", *failed));
          return;
        }
        finish();
      });
}

bool EditSecretView::isConfirmingDelete() const {
  return actions_->currentIndex() == 1;
}

void EditSecretView::askToDelete() {
  actions_->setCurrentIndex(1);
}

void EditSecretView::cancelDelete() {
  actions_->setCurrentIndex(0);
}

void EditSecretView::deleteSecret() {
  if (KeychainStatus failed = services_.keychain.deleteItem(account_)) {
    showError(errorText("Failed to delete: ", *failed));
    cancelDelete();
    return;
  }
  services_.audit.log("DELETE", account_, "ok (gui)");
  finish();
}

void EditSecretView::finish() {
  hideRevealed();
  newValue_->clear();
  services_.state.reload(nullptr);
  emit dismissed();
}

void EditSecretView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (!isConfirmingDelete()) save();
    return;
  }
  if (event->key() == Qt::Key_Escape) {
    // Escape backs out of the confirmation first, like its Cancel.
    if (isConfirmingDelete()) {
      cancelDelete();
    } else {
      emit dismissed();
    }
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace caskel
