#include "app/views/MGVideoOverlayView.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleHints>

#include <algorithm>
#include <cmath>

namespace {

QFont sizedFont(QFont f, int pixels, QFont::Weight weight) {
  f.setPixelSize(pixels);
  f.setWeight(weight);
  return f;
}

}  // namespace

MGVideoOverlayView::MGVideoOverlayView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
}

void MGVideoOverlayView::setBlackAmount(double amount) {
  if (!(amount > 0)) amount = 0;  // also not-a-number
  if (amount > 1) amount = 1;
  if (amount == blackAmount_) return;
  blackAmount_ = amount;
  update();
}

void MGVideoOverlayView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRectF bounds = rect();
  if (exposureAmount_ != 0 && std::isfinite(exposureAmount_)) {
    const double strength = std::min(std::fabs(exposureAmount_), 1.0) * 0.5;
    p.fillRect(bounds, exposureAmount_ > 0 ? QColor::fromRgbF(1, 1, 1, strength)
                                           : QColor::fromRgbF(0, 0, 0, strength));
  }
  if (blackAmount_ > 0) p.fillRect(bounds, QColor::fromRgbF(0, 0, 0, blackAmount_));
  if (emptyState_) paintPoster(p);
}

void MGVideoOverlayView::paintPoster(QPainter& p) {
  p.fillRect(rect(), QColor(22, 21, 16));
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);

  // The poster is laid out around a point 42 points above the centre; y grows
  // downward here, so "above" subtracts.
  const double cx = width() / 2.0;
  const double cy = height() / 2.0 - 42.0;

  QPainterPath play;
  play.moveTo(cx - 38, cy + 48);
  play.lineTo(cx + 48, cy);
  play.lineTo(cx - 38, cy - 48);
  play.closeSubpath();
  p.fillPath(play, QColor::fromRgbF(237 / 255.0, 235 / 255.0, 226 / 255.0, 0.88));

  p.setPen(QPen(QColor(226, 91, 69), 8, Qt::SolidLine, Qt::FlatCap));
  p.drawLine(QPointF(cx - 55, cy - 30), QPointF(cx + 58, cy + 30));

  const QFont system = QGuiApplication::font();
  struct Line {
    QString text;
    QFont font;
    QColor color;
    double offset;  // bottom of the text box, this far below the layout point
  };
  const Line lines[] = {
      {QStringLiteral("Cut the wait."), sizedFont(system, 28, QFont::Bold), QColor(237, 235, 226), 96},
      {QStringLiteral("Open a video. Slice what you don't need. Export without losing a pixel."),
       sizedFont(system, 14, QFont::Normal), QColor(154, 148, 138), 132},
      {QStringLiteral("Ctrl+O   ·   File › Open…   ·   or drop a movie anywhere in this window"),
       sizedFont(QFontDatabase::systemFont(QFontDatabase::FixedFont), 11, QFont::Normal),
       QColor(110, 105, 96), 160},
  };
  for (const Line& line : lines) {
    const QFontMetricsF fm(line.font);
    const double w = fm.horizontalAdvance(line.text);
    p.setFont(line.font);
    p.setPen(line.color);
    p.drawText(QPointF(cx - w / 2, cy + line.offset - fm.descent()), line.text);
  }
}

void MGVideoOverlayView::handlePress(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  // Qt reports the second press of a double click as its own event type; a
  // third quick press arrives as a plain press and is counted on from there.
  const qint64 stamp = static_cast<qint64>(event->timestamp());
  const int interval = QGuiApplication::styleHints()->mouseDoubleClickInterval();
  const int distance = QGuiApplication::styleHints()->mouseDoubleClickDistance();
  const QPointF pos = event->position();
  const bool continues = lastPressMs_ >= 0 && stamp - lastPressMs_ >= 0 && stamp - lastPressMs_ <= interval &&
                         (pos - lastPressPos_).manhattanLength() <= distance;
  clickCount_ = continues ? clickCount_ + 1 : 1;
  if (event->type() == QEvent::MouseButtonDblClick) clickCount_ = std::max(clickCount_, 2);
  lastPressMs_ = stamp;
  lastPressPos_ = pos;
  event->accept();
  if (clickCount_ < 2) {
    if (singleClick) singleClick();
  } else if (doubleClick) {
    doubleClick();
  }
}

void MGVideoOverlayView::mousePressEvent(QMouseEvent* event) {
  handlePress(event);
}

void MGVideoOverlayView::mouseDoubleClickEvent(QMouseEvent* event) {
  handlePress(event);
}
