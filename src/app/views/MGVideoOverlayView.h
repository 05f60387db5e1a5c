// The layer over the player's picture: darkens it for fade previews, shows
// the empty-state poster before a movie is open, and turns clicks on the
// picture into commands.
//
// Not opaque: without the poster it only paints a translucent black layer,
// so the picture below shows through. Main thread only, like every widget.
#pragma once

#include <QWidget>

#include <functional>

class MGVideoOverlayView : public QWidget {
 public:
  explicit MGVideoOverlayView(QWidget* parent = nullptr);

  // Opacity of the fade-to-black layer, clamped to 0 .. 1 (not-a-number
  // counts as 0). A changed value requests a redraw.
  double blackAmount() const { return blackAmount_; }
  void setBlackAmount(double amount);

  // Exposure preview strength in stops. Only stored (no redraw); the program
  // keeps it at 0, where nothing is drawn, because the player's own video
  // filter previews exposure. A non-zero value lightens (positive) or darkens
  // (negative) the picture with a translucent layer of at most half opacity.
  double exposureAmount() const { return exposureAmount_; }
  void setExposureAmount(double amount) { exposureAmount_ = amount; }

  // Draw the empty-state poster over everything. Only stored; takes effect at
  // the next redraw.
  bool emptyState() const { return emptyState_; }
  void setEmptyState(bool on) { emptyState_ = on; }

  // Left-button presses: a press that is the first of its click sequence
  // calls singleClick, the second and later ones of a quick sequence call
  // doubleClick. Either may be empty.
  std::function<void()> singleClick;
  std::function<void()> doubleClick;

  // A left-button press or double click on the picture, counted as above;
  // other buttons are ignored. The window sends the picture's presses here
  // while the overlay is hidden.
  void handlePress(QMouseEvent* event);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void paintPoster(class QPainter& p);

  double blackAmount_ = 0;
  double exposureAmount_ = 0;
  bool emptyState_ = false;
  // Click counting across press and double-click events, so that a third
  // quick click still counts as a multiple click.
  int clickCount_ = 0;
  qint64 lastPressMs_ = -1;
  QPointF lastPressPos_;
};
