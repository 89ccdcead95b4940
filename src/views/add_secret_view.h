#pragma once

#include <QWidget>

#include "views/view_services.h"

namespace caskel {

// The add form in its four modes.
class AddSecretView : public QWidget {
  Q_OBJECT

 public:
  explicit AddSecretView(ViewServices& services, QWidget* parent = nullptr);

 signals:
  void dismissed();

 private:
  ViewServices& services_;
};

}  // namespace caskel
