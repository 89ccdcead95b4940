#pragma once

#include <QWidget>

#include "views/add_form_rules.h"
#include "views/view_services.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace caskel {

class MetadataFields;

// The add form in its four modes.
class AddSecretView : public QWidget {
  Q_OBJECT

 public:
  explicit AddSecretView(ViewServices& services, QWidget* parent = nullptr);
  ~AddSecretView() override;

  AddFormInput input() const;
  void setMode(CredentialMode mode);
  // Saves when the form is valid; on success reloads the list and dismisses.
  void save();

  QLineEdit* accountField() const { return account_; }
  QLabel* accountHintLabel() const { return hint_; }
  QLineEdit* valueField() const { return value_; }
  QLineEdit* apiKeyField() const { return apiKeyPrimary_; }
  QLineEdit* secondaryKeyField() const { return apiKeySecondary_; }
  QLineEdit* usernameField() const { return username_; }
  QLineEdit* passwordField() const { return password_; }
  QPlainTextEdit* recoveryCodesField() const { return recoveryCodes_; }
  MetadataFields* metadataFields() const { return metadata_; }
  QCheckBox* strictToggle() const { return strict_; }
  QLabel* errorLabel() const { return error_; }
  QPushButton* saveButton() const { return save_; }

 signals:
  void dismissed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void refresh();
  void clearSecretFields();

  ViewServices& services_;
  CredentialMode mode_ = CredentialMode::secret;
  QLineEdit* account_;
  QLabel* hint_;
  QButtonGroup* modes_;
  QLineEdit* value_;
  QLineEdit* apiKeyPrimary_;
  QLineEdit* apiKeySecondary_;
  QLineEdit* username_;
  QLineEdit* password_;
  QPlainTextEdit* recoveryCodes_;
  MetadataFields* metadata_;
  QCheckBox* strict_;
  QLabel* error_;
  QPushButton* save_;
};

}  // namespace caskel
