#pragma once

#include <QWidget>

#include "views/view_services.h"

namespace caskel {

// The edit form: reveal, copy, new value, metadata, delete.
class EditSecretView : public QWidget {
  Q_OBJECT

 public:
  explicit EditSecretView(ViewServices& services, const QString& account, QWidget* parent = nullptr);

 signals:
  void dismissed();

 private:
  ViewServices& services_;
};

}  // namespace caskel
