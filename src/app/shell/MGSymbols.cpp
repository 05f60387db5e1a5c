#include "app/shell/MGSymbols.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// Paths are designed on a 20 × 20 grid and scaled into the box.
QPainterPath Triangle(double x0, double y0, double x1, double ymid, double y1) {
  QPainterPath p;
  p.moveTo(x0, y0);
  p.lineTo(x1, ymid);
  p.lineTo(x0, y1);
  p.closeSubpath();
  return p;
}

void CircularArrow(QPainter& p, bool forward, const QColor& c) {
  // An open circle with an arrow head at its top, and a small "5" inside.
  QPen pen(c, 1.7);
  pen.setCapStyle(Qt::RoundCap);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  const QRectF circle(2.5, 3.0, 15, 15);
  // Qt angles: 0 at 3 o'clock, counter-clockwise, in 1/16 degree.
  if (forward)
    p.drawArc(circle, 90 * 16, 290 * 16);
  else
    p.drawArc(circle, 160 * 16, 290 * 16);
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  QPainterPath head;
  if (forward) {
    head.moveTo(10.0, 0.6);
    head.lineTo(13.6, 3.0);
    head.lineTo(10.0, 5.4);
  } else {
    head.moveTo(10.0, 0.6);
    head.lineTo(6.4, 3.0);
    head.lineTo(10.0, 5.4);
  }
  head.closeSubpath();
  p.drawPath(head);
  QFont f = p.font();
  f.setPixelSize(8);
  f.setBold(true);
  p.setFont(f);
  p.setPen(c);
  p.drawText(QRectF(2.5, 4.5, 15, 13), Qt::AlignCenter, QStringLiteral("5"));
}

void Speaker(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  QPainterPath s;
  s.moveTo(2, 7.5);
  s.lineTo(5.5, 7.5);
  s.lineTo(10, 3.5);
  s.lineTo(10, 16.5);
  s.lineTo(5.5, 12.5);
  s.lineTo(2, 12.5);
  s.closeSubpath();
  p.drawPath(s);
}

}  // namespace

bool MGHasSymbol(const QString& name) {
  static const QStringList known = {"backward.frame.fill", "forward.frame.fill", "gobackward.5", "goforward.5",
                                    "play.fill", "pause.fill", "sun.max", "scissors", "trash",
                                    "speaker.wave.2.fill", "speaker.slash.fill"};
  return known.contains(name);
}

bool MGDrawSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color) {
  if (!MGHasSymbol(name)) return false;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  const double side = std::min(box.width(), box.height());
  painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
  painter.scale(side / 20.0, side / 20.0);
  QPainter& p = painter;
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  if (name == "play.fill") {
    p.drawPath(Triangle(5, 3, 17, 10, 17));
  } else if (name == "pause.fill") {
    p.drawRoundedRect(QRectF(4.5, 3.5, 4, 13), 1, 1);
    p.drawRoundedRect(QRectF(11.5, 3.5, 4, 13), 1, 1);
  } else if (name == "backward.frame.fill") {
    p.drawRect(QRectF(3, 4, 2.2, 12));
    QPainterPath t;
    t.moveTo(16, 4);
    t.lineTo(6.5, 10);
    t.lineTo(16, 16);
    t.closeSubpath();
    p.drawPath(t);
  } else if (name == "forward.frame.fill") {
    p.drawRect(QRectF(14.8, 4, 2.2, 12));
    p.drawPath(Triangle(4, 4, 13.5, 10, 16));
  } else if (name == "gobackward.5") {
    CircularArrow(p, false, color);
  } else if (name == "goforward.5") {
    CircularArrow(p, true, color);
  } else if (name == "sun.max") {
    p.drawEllipse(QPointF(10, 10), 3.6, 3.6);
    QPen pen(color, 1.6);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    for (int i = 0; i < 8; ++i) {
      const double a = i * M_PI / 4;
      p.drawLine(QPointF(10 + 5.6 * std::cos(a), 10 + 5.6 * std::sin(a)),
                 QPointF(10 + 8.2 * std::cos(a), 10 + 8.2 * std::sin(a)));
    }
  } else if (name == "scissors") {
    QPen pen(color, 1.7);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(5, 15), 2.8, 2.8);
    p.drawEllipse(QPointF(15, 15), 2.8, 2.8);
    pen.setWidthF(1.9);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawLine(QPointF(6.8, 12.8), QPointF(14.5, 2.5));
    p.drawLine(QPointF(13.2, 12.8), QPointF(5.5, 2.5));
  } else if (name == "trash") {
    QPen pen(color, 1.6);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(3, 5), QPointF(17, 5));
    p.drawRect(QRectF(8, 2.5, 4, 2.5));
    QPainterPath can;
    can.moveTo(4.8, 5.5);
    can.lineTo(6, 17.5);
    can.lineTo(14, 17.5);
    can.lineTo(15.2, 5.5);
    p.drawPath(can);
    p.drawLine(QPointF(8.3, 8), QPointF(8.6, 15));
    p.drawLine(QPointF(11.7, 8), QPointF(11.4, 15));
  } else if (name == "speaker.wave.2.fill") {
    Speaker(p, color);
    QPen pen(color, 1.6);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(8.5, 6.5, 6, 7), -55 * 16, 110 * 16);
    p.drawArc(QRectF(7.5, 3.5, 11, 13), -55 * 16, 110 * 16);
  } else if (name == "speaker.slash.fill") {
    Speaker(p, color);
    QPen pen(color, 1.8);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawLine(QPointF(12.5, 7), QPointF(18, 13));
    p.drawLine(QPointF(18, 7), QPointF(12.5, 13));
  }
  painter.restore();
  return true;
}
