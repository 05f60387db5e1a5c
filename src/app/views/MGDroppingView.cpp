#include "app/views/MGDroppingView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>

MGDroppingView::MGDroppingView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAcceptDrops(true);
}

QList<QUrl> MGDroppingView::fileUrls(const QMimeData* mime) {
  QList<QUrl> files;
  if (!mime || !mime->hasUrls()) return files;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) files.append(url);
  }
  return files;
}

void MGDroppingView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(22, 21, 16));
}

void MGDroppingView::dragEnterEvent(QDragEnterEvent* event) {
  if (fileUrls(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void MGDroppingView::dragMoveEvent(QDragMoveEvent* event) {
  if (fileUrls(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void MGDroppingView::dropEvent(QDropEvent* event) {
  const QList<QUrl> files = fileUrls(event->mimeData());
  if (files.isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  if (dropHandler) dropHandler(files.first());
}
