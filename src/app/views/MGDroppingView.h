// The window's root view: paints the window background and accepts file
// URLs dropped anywhere on the window (children that do not take drops
// themselves pass them up to it). Opaque. Main thread only.
#pragma once

#include <QUrl>
#include <QWidget>

#include <functional>

class MGDroppingView : public QWidget {
 public:
  explicit MGDroppingView(QWidget* parent = nullptr);

  // Called with the first local-file URL of a drop; further URLs of the same
  // drop are ignored. May be empty.
  std::function<void(const QUrl&)> dropHandler;

  // The local-file URLs a drag carries, in the drag's order.
  static QList<QUrl> fileUrls(const class QMimeData* mime);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};
