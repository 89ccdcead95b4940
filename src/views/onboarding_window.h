#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

#include "views/onboarding_view.h"
#include "views/view_services.h"

namespace caskel {

// The onboarding window, "Caskel Setup", 380 × 520: one at a time. Showing it again while it is
// open only raises it; after it was closed, showing it starts over at the first step.
class OnboardingWindow {
 public:
  static constexpr int kWidth = 380;
  static constexpr int kHeight = 520;

  // `environment` is asked for each new window (tests give fakes; the program the system).
  OnboardingWindow(ViewServices& services, std::function<OnboardingEnvironment(QWidget*)> environment);
  ~OnboardingWindow();
  OnboardingWindow(const OnboardingWindow&) = delete;
  OnboardingWindow& operator=(const OnboardingWindow&) = delete;

  void show();
  // The view's dismiss action: closes the window and forgets it.
  void close();

  // The open window, or null.
  QWidget* window() const { return window_; }
  OnboardingView* view() const { return view_; }

 private:
  ViewServices& services_;
  std::function<OnboardingEnvironment(QWidget*)> environment_;
  QPointer<QWidget> window_;
  QPointer<OnboardingView> view_;
};

}  // namespace caskel
