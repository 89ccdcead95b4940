#pragma once

#include <QWidget>

#include "views/view_services.h"

namespace caskel {

// The security self-check shown in onboarding's first step. This stand-in runs no check: it
// reports a failed verification as soon as it is started.
class SecurityCheckView final : public QWidget {
  Q_OBJECT

 public:
  explicit SecurityCheckView(ViewServices& services, QWidget* parent = nullptr);
  void start();  // runs the checks once; later calls do nothing
  bool running() const;
  bool passed() const;

 signals:
  void finished(bool passed);

 private:
  ViewServices& services_;
  bool started_ = false;
  bool running_ = true;
  bool passed_ = false;
};

}  // namespace caskel
