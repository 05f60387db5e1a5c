// A flat band (the transport and the footer) with a one-point rule along its
// top edge. Opaque. Main thread only.
#pragma once

#include <QColor>
#include <QWidget>

class MGSolidView : public QWidget {
 public:
  explicit MGSolidView(QWidget* parent = nullptr);

  // The band's colour; an invalid colour (the default) paints the window
  // background colour instead. Setting it requests a redraw.
  QColor fillColor() const { return fillColor_; }
  void setFillColor(const QColor& color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor fillColor_;
};
