#include "views/add_secret_view.h"

namespace caskel {

AddSecretView::AddSecretView(ViewServices& services, QWidget* parent)
    : QWidget(parent), services_(services) {}

}  // namespace caskel
