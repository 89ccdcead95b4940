#include "views/audit_log_view.h"

namespace caskel {

AuditLogView::AuditLogView(ViewServices& services, QWidget* parent) : QWidget(parent), services_(services) {}

}  // namespace caskel
