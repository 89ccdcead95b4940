#pragma once

#include <QWidget>

#include "views/form_metadata.h"

class QActionGroup;
class QLabel;
class QLineEdit;
class QToolButton;

namespace caskel {

// The optional metadata inputs of both forms: type (field and a picker of the known types),
// bundle, expiry (outlined in red with a note while it is not a date) and description.
class MetadataFields : public QWidget {
  Q_OBJECT

 public:
  // The types the picker offers, after "—".
  static const QStringList& knownTypes();

  explicit MetadataFields(QWidget* parent = nullptr);

  MetadataTexts texts() const;
  void setTexts(const MetadataTexts& texts);
  void setHideType(bool hide);

  QLineEdit* typeField() const { return type_; }
  QToolButton* typePicker() const { return picker_; }
  // The entry the picker marks: the field's type when it is a known one, else "—".
  QString pickerChoice() const;
  QLineEdit* bundleField() const { return bundle_; }
  QLineEdit* expiresField() const { return expires_; }
  QLineEdit* descField() const { return desc_; }

 signals:
  void changed();

 private:
  void refresh();

  QWidget* typeRow_;
  QLineEdit* type_;
  QToolButton* picker_;
  QActionGroup* choices_;
  QLineEdit* bundle_;
  QLineEdit* expires_;
  QLabel* invalidDate_;
  QLineEdit* desc_;
};

}  // namespace caskel
