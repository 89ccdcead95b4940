#include "views/settings_view.h"

namespace caskel {

SettingsView::SettingsView(ViewServices& services, bool onboardingAvailable, QWidget* parent)
    : QWidget(parent), services_(services) {
  (void)onboardingAvailable;
}

}  // namespace caskel
