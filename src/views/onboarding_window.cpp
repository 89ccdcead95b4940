#include "views/onboarding_window.h"

#include <QVBoxLayout>

namespace caskel {

OnboardingWindow::OnboardingWindow(ViewServices& services,
                                   std::function<OnboardingEnvironment(QWidget*)> environment)
    : services_(services), environment_(std::move(environment)) {}

OnboardingWindow::~OnboardingWindow() {
  delete window_.data();
}

void OnboardingWindow::show() {
  if (!window_ || !window_->isVisible()) {
    delete window_.data();
    // Above normal windows, as a setup assistant that asks for attention should be.
    auto* window = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle("Caskel Setup");
    window->setFixedSize(kWidth, kHeight);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new OnboardingView(services_, environment_(window), window);
    layout->addWidget(view);
    QObject::connect(view, &OnboardingView::dismissed, window, [this] { close(); });
    window_ = window;
    view_ = view;
  }
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void OnboardingWindow::close() {
  if (window_) window_->close();  // deletes it later (WA_DeleteOnClose)
  window_ = nullptr;
  view_ = nullptr;
}

}  // namespace caskel
