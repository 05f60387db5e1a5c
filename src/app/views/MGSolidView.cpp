#include "app/views/MGSolidView.h"

#include <QPainter>

MGSolidView::MGSolidView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void MGSolidView::setFillColor(const QColor& color) {
  fillColor_ = color;
  update();
}

void MGSolidView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), fillColor_.isValid() ? fillColor_ : QColor(22, 21, 16));
  p.fillRect(QRect(0, 0, width(), 1), QColor(51, 49, 42));
}
