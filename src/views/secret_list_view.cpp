#include "views/secret_list_view.h"

namespace caskel {

SecretListView::SecretListView(ViewServices& services, QWidget* parent)
    : QWidget(parent), services_(services) {}

}  // namespace caskel
