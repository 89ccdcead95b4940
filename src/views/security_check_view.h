#pragma once

#include <QWidget>
#include <array>
#include <memory>
#include <vector>

#include "app/security_check.h"
#include "views/view_services.h"

class QLabel;

namespace caskel {

// The self-check as onboarding's first step shows it: a heading, one row per check with an
// indicator, the label and the detail, and once every check is in, the verdict.
class SecurityCheckView final : public QWidget {
  Q_OBJECT
 public:
  explicit SecurityCheckView(ViewServices& services, QWidget* parent = nullptr);
  ~SecurityCheckView() override;

  void start();  // runs the checks once; later calls do nothing
  bool running() const;
  bool passed() const;

 signals:
  void finished(bool passed);

 private:
  struct RowWidgets {
    QWidget* spinner;
    QLabel* icon;
    QLabel* detail;
  };
  void showRow(size_t row);
  void finish();

  ViewServices& services_;
  std::vector<VerifyCheck> rows_ = SecurityCheck::initialRows();
  std::vector<RowWidgets> rowWidgets_;
  bool started_ = false;
  bool running_ = true;  // from the start, as the navigation shows "Verifying..." until the end
  bool passed_ = false;
  QWidget* verdict_ = nullptr;
  QLabel* verdictIcon_ = nullptr;
  QLabel* verdictText_ = nullptr;
  // Work still queued when the view goes away finds it gone here.
  std::shared_ptr<SecurityCheckView*> self_;
};

}  // namespace caskel
