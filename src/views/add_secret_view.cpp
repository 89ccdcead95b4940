#include "views/add_secret_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_state.h"
#include "views/metadata_fields.h"
#include "views/view_style.h"

namespace caskel {

using style::setTextColor;

namespace {

QLineEdit* maskedField(const QString& placeholder, QWidget* parent) {
  auto* field = new QLineEdit(parent);
  field->setPlaceholderText(placeholder);
  field->setEchoMode(QLineEdit::Password);
  return field;
}

// The editor hands out a fresh copy of its text each time; the line edits share theirs.
void wipeCodesCopy(AddFormInput& form) {
  form.recoveryCodes.fill(QChar(0));
}

}  // namespace

AddSecretView::AddSecretView(ViewServices& services, QWidget* parent)
    : QWidget(parent),
      services_(services),
      account_(new QLineEdit(this)),
      hint_(new QLabel(this)),
      modes_(new QButtonGroup(this)),
      value_(maskedField(QStringLiteral("Value (key, password, token, ...)"), this)),
      apiKeyPrimary_(maskedField(QStringLiteral("API Key"), this)),
      apiKeySecondary_(maskedField(QStringLiteral("Secondary key (optional)"), this)),
      username_(new QLineEdit(this)),
      password_(maskedField(QStringLiteral("Password"), this)),
      recoveryCodes_(new QPlainTextEdit(this)),
      metadata_(new MetadataFields(this)),
      strict_(new QCheckBox(QStringLiteral("Strict — always require the passphrase"), this)),
      error_(new QLabel(this)),
      save_(new QPushButton(QStringLiteral("Save"), this)) {
  auto [outer, content, column] = style::scrollingPage(this, QMargins(20, 20, 20, 8), 16);

  auto* title = new QLabel(QStringLiteral("Add Credential"), content);
  title->setFont(style::headline());
  column->addWidget(title);

  auto* fields = new QVBoxLayout;
  fields->setSpacing(8);
  account_->setPlaceholderText(QStringLiteral("org/project/KEY (e.g. myco/api/SECRET_KEY)"));
  fields->addWidget(account_);
  hint_->setFont(style::sized(style::body(), 11));
  hint_->setTextFormat(Qt::PlainText);
  hint_->setWordWrap(true);
  fields->addWidget(hint_);

  auto* modeRow = new QHBoxLayout;
  modeRow->setSpacing(0);
  for (CredentialMode mode : kCredentialModes) {
    auto* button = new QPushButton(credentialModeLabel(mode), content);
    button->setCheckable(true);
    button->setFont(style::caption());
    button->setChecked(mode == mode_);
    // The four share the row's width by the length of their labels: their natural widths would
    // push the form past the window.
    button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    button->setMinimumWidth(0);
    button->setStyleSheet(QStringLiteral("padding: 3px 2px;"));
    modes_->addButton(button, static_cast<int>(mode));
    modeRow->addWidget(button, static_cast<int>(button->text().size()));
  }
  connect(modes_, &QButtonGroup::idClicked, this,
          [this](int id) { setMode(static_cast<CredentialMode>(id)); });
  fields->addLayout(modeRow);

  username_->setPlaceholderText(QStringLiteral("Username"));
  recoveryCodes_->setPlaceholderText(QStringLiteral("One code per line"));
  recoveryCodes_->setFont(style::monospaced());
  recoveryCodes_->setFixedHeight(100);
  recoveryCodes_->setTabChangesFocus(true);
  for (QWidget* field : std::initializer_list<QWidget*>{value_, apiKeyPrimary_, apiKeySecondary_, username_,
                                                        password_, recoveryCodes_, metadata_}) {
    fields->addWidget(field);
  }
  strict_->setFont(style::caption());
  fields->addWidget(strict_);
  error_->setFont(style::caption());
  error_->setTextFormat(Qt::PlainText);
  error_->setWordWrap(true);
  setTextColor(error_, style::red);
  error_->hide();
  fields->addWidget(error_);
  column->addLayout(fields);
  column->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(20, 8, 20, 16);
  buttons->addStretch(1);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  connect(cancel, &QPushButton::clicked, this, &AddSecretView::dismissed);
  buttons->addWidget(cancel);
  save_->setDefault(true);
  connect(save_, &QPushButton::clicked, this, &AddSecretView::save);
  buttons->addWidget(save_);
  outer->addLayout(buttons);

  for (QLineEdit* field : {account_, value_, apiKeyPrimary_, apiKeySecondary_, username_, password_}) {
    connect(field, &QLineEdit::textChanged, this, &AddSecretView::refresh);
  }
  connect(recoveryCodes_, &QPlainTextEdit::textChanged, this, &AddSecretView::refresh);
  connect(metadata_, &MetadataFields::changed, this, &AddSecretView::refresh);
  setMode(CredentialMode::secret);
  setFocusProxy(account_);
}

AddSecretView::~AddSecretView() {
  clearSecretFields();
}

AddFormInput AddSecretView::input() const {
  AddFormInput input;
  input.account = account_->text();
  input.mode = mode_;
  input.value = value_->text();
  input.apiKeyPrimary = apiKeyPrimary_->text();
  input.apiKeySecondary = apiKeySecondary_->text();
  input.username = username_->text();
  input.password = password_->text();
  input.recoveryCodes = recoveryCodes_->toPlainText();
  input.metadata = metadata_->texts();
  input.strict = strict_->isChecked();
  return input;
}

void AddSecretView::setMode(CredentialMode mode) {
  mode_ = mode;
  modes_->button(static_cast<int>(mode))->setChecked(true);
  value_->setVisible(mode == CredentialMode::secret);
  apiKeyPrimary_->setVisible(mode == CredentialMode::apiKey);
  apiKeySecondary_->setVisible(mode == CredentialMode::apiKey);
  username_->setVisible(mode == CredentialMode::login);
  password_->setVisible(mode == CredentialMode::login);
  recoveryCodes_->setVisible(mode == CredentialMode::recoveryCodes);
  // The structured modes decide their own type.
  metadata_->setHideType(mode != CredentialMode::secret);
  refresh();
}

void AddSecretView::refresh() {
  const QString account = account_->text();
  const AccountHint hint = accountHint(account);
  hint_->setText(hint.text);
  setTextColor(hint_, hint.warning ? style::red : style::secondary(palette()));
  account_->setStyleSheet(accountLacksFolder(account)
                              ? QStringLiteral("QLineEdit { border: 1px solid rgba(255, 69, 58, 0.6); "
                                               "border-radius: 5px; padding: 1px 3px; }")
                              : QString());
  AddFormInput form = input();
  save_->setEnabled(isAddFormValid(form));
  wipeCodesCopy(form);
}

void AddSecretView::save() {
  AddFormInput form = input();
  const bool valid = isAddFormValid(form);
  const StoredSecret stored = valid ? storedSecretOf(form) : StoredSecret{};
  wipeCodesCopy(form);
  if (!valid) return;
  if (KeychainStatus failed =
          services_.keychain.save(form.account.toStdString(), stored.value.view(), stored.metadata)) {
    // The form stays as it is, so the user can correct and try again.
    error_->setText(QString::fromStdString(failed->errorDescription()));
    error_->show();
    return;
  }
  services_.state.reload(nullptr);
  clearSecretFields();
  emit dismissed();
}

void AddSecretView::clearSecretFields() {
  for (QLineEdit* field : {value_, apiKeyPrimary_, apiKeySecondary_, username_, password_}) field->clear();
  recoveryCodes_->clear();
}

void AddSecretView::keyPressEvent(QKeyEvent* event) {
  // Return reaches here from the single-line fields (the code editor keeps it for new lines).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (save_->isEnabled()) save();
    return;
  }
  if (event->key() == Qt::Key_Escape) {
    emit dismissed();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace caskel
