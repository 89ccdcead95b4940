#pragma once

#include <QStringList>
#include <QWidget>
#include <optional>
#include <string>

#include "platform/secret_string.h"
#include "store/secret_metadata.h"
#include "views/view_services.h"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace caskel {

class MetadataFields;

// The edit form: reveal, copy, new value, metadata, delete.
class EditSecretView : public QWidget {
  Q_OBJECT

 public:
  static constexpr std::chrono::seconds kClipboardClearDelay{30};

  explicit EditSecretView(ViewServices& services, const QString& account, QWidget* parent = nullptr);
  ~EditSecretView() override;

  // Reveals (off the main thread: it may prompt) or hides the current value.
  void toggleReveal();
  bool isRevealed() const { return revealed_.has_value(); }
  // Puts the revealed value on the clipboard and schedules its clearing.
  void copyValue();
  void save();
  void askToDelete();
  void cancelDelete();
  void deleteSecret();
  bool isConfirmingDelete() const;

  QLineEdit* newValueField() const { return newValue_; }
  MetadataFields* metadataFields() const { return metadata_; }
  QCheckBox* strictToggle() const { return strict_; }
  QLabel* errorLabel() const { return error_; }
  QPushButton* saveButton() const { return save_; }
  QWidget* revealedArea() const { return revealedArea_; }

 signals:
  void dismissed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void refresh();
  void showError(const QString& text);
  void showRevealed();
  void hideRevealed();
  void finish();

  ViewServices& services_;
  std::string account_;
  SecretMetadata stored_;
  std::optional<SecretString> revealed_;
  // Every text handed to a label while revealed, overwritten when the value is hidden.
  QStringList shownTexts_;
  bool revealing_ = false;
  bool updating_ = false;

  QPushButton* copy_;
  QToolButton* reveal_;
  QWidget* revealedArea_;
  QGridLayout* revealedGrid_;
  QLineEdit* newValue_;
  MetadataFields* metadata_;
  QCheckBox* strict_;
  QLabel* error_;
  QStackedWidget* actions_;
  QPushButton* save_;
};

}  // namespace caskel
