#include "views/security_check_view.h"

#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include "views/view_style.h"

namespace caskel {

SecurityCheckView::SecurityCheckView(ViewServices& services, QWidget* parent)
    : QWidget(parent), services_(services) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(style::plainLabel("Security Verification", this, style::headline()));
}

void SecurityCheckView::start() {
  if (started_) return;
  started_ = true;
  QPointer<SecurityCheckView> self(this);
  services_.mainQueue.post([self] {
    if (!self) return;
    self->running_ = false;
    self->passed_ = false;
    emit self->finished(false);
  });
}

bool SecurityCheckView::running() const {
  return running_;
}

bool SecurityCheckView::passed() const {
  return passed_;
}

}  // namespace caskel
