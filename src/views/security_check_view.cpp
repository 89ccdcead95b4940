#include "views/security_check_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

#include "views/view_style.h"

namespace caskel {

namespace {

constexpr int kIndicatorSize = 16;

// A small turning arc, the indicator of a check still running. It turns only while shown.
class Spinner final : public QWidget {
 public:
  explicit Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(kIndicatorSize, kIndicatorSize);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
      angle_ = (angle_ + 30) % 360;
      update();
    });
  }

 protected:
  void showEvent(QShowEvent*) override { timer_.start(); }
  void hideEvent(QHideEvent*) override { timer_.stop(); }
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(style::secondary(palette()), 2);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
  }

 private:
  QTimer timer_;
  int angle_ = 0;
};

QPixmap statusPixmap(const char* symbol, const QColor& color) {
  return style::tintedSymbol(symbol, color, kIndicatorSize).pixmap(kIndicatorSize, kIndicatorSize);
}

}  // namespace

SecurityCheckView::SecurityCheckView(ViewServices& services, QWidget* parent)
    : QWidget(parent), services_(services), self_(std::make_shared<SecurityCheckView*>(this)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(8);

  QFont heading = style::body();
  heading.setWeight(QFont::DemiBold);
  column->addWidget(style::plainLabel("Security Verification", this, heading));
  // Wrapped, so that the line never widens the onboarding page past its window.
  QLabel* source =
      style::plainLabel("Using Linux system tools — these are your system's tools, not ours.", this, style::caption());
  source->setWordWrap(true);
  column->addWidget(source);

  for (const VerifyCheck& check : rows_) {
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    auto* indicator = new QWidget(this);
    indicator->setFixedSize(kIndicatorSize, kIndicatorSize);
    auto* spinner = new Spinner(indicator);
    auto* icon = new QLabel(indicator);
    icon->setFixedSize(kIndicatorSize, kIndicatorSize);
    icon->hide();
    row->addWidget(indicator, 0, Qt::AlignTop);

    auto* text = new QVBoxLayout;
    text->setSpacing(1);
    text->addWidget(style::plainLabel(QString::fromStdString(check.label), this));
    QLabel* detail = style::plainLabel("", this, style::caption(), style::tertiary(palette()));
    detail->setWordWrap(true);
    detail->hide();
    text->addWidget(detail);
    row->addLayout(text, 1);
    column->addLayout(row);
    rowWidgets_.push_back({spinner, icon, detail});
  }

  verdict_ = new QWidget(this);
  auto* verdictRow = new QHBoxLayout(verdict_);
  verdictRow->setContentsMargins(0, 4, 0, 0);
  verdictIcon_ = new QLabel(verdict_);
  verdictText_ = style::plainLabel("", verdict_, style::caption());
  verdictText_->setWordWrap(true);
  verdictRow->addWidget(verdictIcon_, 0, Qt::AlignTop);
  verdictRow->addWidget(verdictText_, 1);
  verdict_->hide();
  column->addWidget(verdict_);
}

SecurityCheckView::~SecurityCheckView() {
  *self_ = nullptr;
}

bool SecurityCheckView::running() const {
  return running_;
}

bool SecurityCheckView::passed() const {
  return passed_;
}

void SecurityCheckView::start() {
  if (started_) return;
  started_ = true;
  SecurityCheck check(services_.runTool, services_.executable, services_.hostsServer);
  services_.worker.post([check = std::move(check), self = self_, mainQueue = &services_.mainQueue] {
    // Each row reaches the screen as soon as it is known: first whether it passed, then why.
    check.run([&](size_t row, const CheckOutcome& outcome) {
      mainQueue->post([self, row, passed = outcome.passed] {
        if (!*self) return;
        (*self)->rows_[row].passed = passed;
        (*self)->showRow(row);
      });
      mainQueue->post([self, row, detail = outcome.detail] {
        if (!*self) return;
        (*self)->rows_[row].detail = detail;
        (*self)->showRow(row);
      });
    });
    mainQueue->post([self] {
      if (*self) (*self)->finish();
    });
  });
}

void SecurityCheckView::showRow(size_t row) {
  const VerifyCheck& check = rows_[row];
  const RowWidgets& widgets = rowWidgets_[row];
  const bool pending = running_ && !check.passed && check.detail.empty();
  widgets.spinner->setVisible(pending);
  widgets.icon->setVisible(!pending);
  if (!pending) {
    widgets.icon->setPixmap(check.passed ? statusPixmap("checkmark.circle.fill", style::green)
                                         : statusPixmap("exclamationmark.circle.fill", style::red));
  }
  widgets.detail->setText(QString::fromStdString(check.detail));
  widgets.detail->setVisible(!check.detail.empty());
}

void SecurityCheckView::finish() {
  running_ = false;
  passed_ = SecurityCheck::verdict(rows_);
  for (size_t row = 0; row < rows_.size(); ++row) showRow(row);
  const QColor color = passed_ ? style::green : style::red;
  verdictIcon_->setPixmap(passed_ ? statusPixmap("lock.shield.fill", color)
                                  : statusPixmap("exclamationmark.triangle.fill", color));
  verdictText_->setText(passed_ ? "All checks passed — your secrets stay on this machine."
                                : "Verification failed. Check the results above.");
  style::setTextColor(verdictText_, color);
  verdict_->show();
  emit finished(passed_);
}

}  // namespace caskel
