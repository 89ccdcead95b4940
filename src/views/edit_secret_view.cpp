#include "views/edit_secret_view.h"

namespace caskel {

EditSecretView::EditSecretView(ViewServices& services, const QString& account, QWidget* parent)
    : QWidget(parent), services_(services) {
  (void)account;
}

}  // namespace caskel
