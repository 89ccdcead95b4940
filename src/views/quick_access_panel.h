#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "views/quick_access_view.h"
#include "views/view_services.h"

namespace caskel {

// The floating quick-access panel: 300 × 360, frameless, above other windows, near the
// pointer. Each opening is a new window with a new view, so each asks for the passphrase
// again (and a window system without a window manager focuses it like any new window).
class QuickAccessPanel final : public QObject {
 public:
  static constexpr int kWidth = 300;
  static constexpr int kHeight = 360;

  // `shortcutText` gives the shortcut as the footer shows it, read at each opening.
  QuickAccessPanel(ViewServices& services, std::function<std::string()> shortcutText,
                   QuickAccessTimings timings = {});
  ~QuickAccessPanel() override;

  // Hides a shown panel, opens a hidden one.
  void toggle();
  void openPanel();
  void hidePanel();
  bool isVisible() const { return window_ && window_->isVisible(); }
  // The open panel's window and content; null while hidden.
  QWidget* window() const { return window_; }
  QuickAccessView* view() const { return view_; }

 private:
  ViewServices& services_;
  std::function<std::string()> shortcutText_;
  QuickAccessTimings timings_;
  QPointer<QWidget> window_;
  QPointer<QuickAccessView> view_;
  // Closed windows waiting for their deferred deletion, deleted with the panel at the latest.
  std::vector<QPointer<QWidget>> closed_;
};

}  // namespace caskel
