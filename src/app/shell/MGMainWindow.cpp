#include "app/shell/MGMainWindow.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QResizeEvent>

QColor MGWindowBackground() { return QColor(22, 21, 16); }
QColor MGBandFill() { return QColor(30, 28, 22); }
QColor MGClockColor() { return QColor(154, 148, 138); }
QColor MGMediaInfoColor() { return QColor(110, 105, 96); }

namespace {

QRect ToQRect(const kf::Rect& r) {
  return QRect(static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)),
               static_cast<int>(std::lround(r.width)), static_cast<int>(std::lround(r.height)));
}

void SetTextColor(QWidget* w, const QColor& c) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, c);
  p.setColor(QPalette::Text, c);
  w->setPalette(p);
}

QFrame* Separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::NoFrame);
  line->setFixedSize(1, 24);
  line->setAutoFillBackground(true);
  QPalette p = line->palette();
  p.setColor(QPalette::Window, QColor(70, 67, 58));
  line->setPalette(p);
  return line;
}

}  // namespace

// Sizes of the design are points of a 1× screen: fonts are given in pixels
// so that text keeps the same proportions to the window's bands.
MGMainWindow::MGMainWindow(QWidget* pictureView) {
  setWindowTitle(QStringLiteral("Kerfline"));
  setMinimumSize(820, 640);
  resize(kInitialWidth, kInitialHeight);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, MGWindowBackground());
  setPalette(pal);
  setAutoFillBackground(true);

  root = new MGDroppingView(this);
  root->setAccessibleName(QStringLiteral("Kerfline"));

  playerView = pictureView;
  playerView->setParent(root);

  overlay = new MGVideoOverlayView(root);
  overlay->setAccessibleName(QStringLiteral("Video preview"));
  overlay->setEmptyState(true);

  timeline = new MGTimelineView(root);
  timeline->setAccessibleName(QStringLiteral("Clip timeline"));

  transport = new MGSolidView(root);
  transport->setFillColor(MGBandFill());
  buildTransport();

  footer = new MGSolidView(root);
  footer->setFillColor(MGBandFill());
  buildFooter();

  footprintLabel = new QLabel(root);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPixelSize(9);
  mono.setWeight(QFont::Normal);
  footprintLabel->setFont(mono);
  footprintLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QColor footprintColor = MGClockColor();
  footprintColor.setAlphaF(0.9);
  SetTextColor(footprintLabel, footprintColor);

  progressBar = new QProgressBar(root);
  progressBar->setRange(0, 1000);
  progressBar->setValue(0);
  progressBar->setTextVisible(false);
  progressBar->hide();

  setEditorVisible(false);
  exposureGroup->hide();
  exposureDivider->hide();
}

void MGMainWindow::buildTransport() {
  leftGroup = new QWidget(transport);
  auto* left = new QHBoxLayout(leftGroup);
  left->setContentsMargins(0, 0, 0, 0);
  left->setSpacing(4);
  left->setAlignment(Qt::AlignVCenter);
  stepBackwardButton = new MGTransportButton("", "backward.frame.fill", 30, leftGroup);
  stepBackwardButton->setToolTip("Previous frame");
  seekBackFiveButton = new MGTransportButton("", "gobackward.5", 34, leftGroup);
  seekBackFiveButton->setToolTip("Back 5 seconds");
  playButton = new MGTransportButton("Play", "play.fill", 64, leftGroup);
  seekForwardFiveButton = new MGTransportButton("", "goforward.5", 34, leftGroup);
  seekForwardFiveButton->setToolTip("Forward 5 seconds");
  stepForwardButton = new MGTransportButton("", "forward.frame.fill", 30, leftGroup);
  stepForwardButton->setToolTip("Next frame");
  auto* divider = Separator(leftGroup);

  exposureGroup = new QWidget(leftGroup);
  auto* exposure = new QHBoxLayout(exposureGroup);
  exposure->setContentsMargins(0, 0, 0, 0);
  exposure->setSpacing(1);
  exposureDarkerButton = new MGTransportButton("\u2212", "", 24, exposureGroup);
  exposureButton = new MGTransportButton("", "sun.max", 28, exposureGroup);
  exposureButton->setToolTip("Auto-fix exposure");
  exposureBrighterButton = new MGTransportButton("+", "", 24, exposureGroup);
  exposure->addWidget(exposureDarkerButton);
  exposure->addWidget(exposureButton);
  exposure->addWidget(exposureBrighterButton);
  exposureDivider = Separator(leftGroup);

  splitButton = new MGTransportButton("Split", "scissors", 66, leftGroup);
  removeButton = new MGTransportButton("Remove", "trash", 78, leftGroup);
  for (QWidget* w : std::initializer_list<QWidget*>{stepBackwardButton, seekBackFiveButton, playButton,
                                                    seekForwardFiveButton, stepForwardButton, divider,
                                                    exposureGroup, exposureDivider, splitButton, removeButton})
    left->addWidget(w, 0, Qt::AlignVCenter);

  rightGroup = new QWidget(transport);
  auto* right = new QHBoxLayout(rightGroup);
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(7);
  zoomButton = new MGTransportButton(QStringLiteral("1\u00D7/2\u00D7"), "", 52, rightGroup);
  muteButton = new MGTransportButton("", "speaker.wave.2.fill", 34, rightGroup);
  muteButton->setToolTip("Mute");
  muteButton->setAccessibleName("Mute");
  volumeSlider = new QSlider(Qt::Horizontal, rightGroup);
  volumeSlider->setRange(0, kVolumeSteps);
  volumeSlider->setValue(kVolumeSteps);
  volumeSlider->setFixedWidth(100);
  volumeSlider->setFocusPolicy(Qt::NoFocus);
  volumeSlider->setAccessibleName("Volume");
  right->addWidget(zoomButton, 0, Qt::AlignVCenter);
  right->addWidget(muteButton, 0, Qt::AlignVCenter);
  right->addWidget(volumeSlider, 0, Qt::AlignVCenter);
}

void MGMainWindow::buildFooter() {
  clock = new QLabel(QStringLiteral("Clip 1/1 \u00B7 0:00 / 0:00"), footer);
  QFont clockFont = font();
  clockFont.setPixelSize(12);
  clockFont.setWeight(QFont::Medium);
  clock->setFont(clockFont);
  SetTextColor(clock, MGClockColor());

  mediaInfo = new QLabel(footer);
  QFont infoFont = font();
  infoFont.setPixelSize(11);
  mediaInfo->setFont(infoFont);
  mediaInfo->setAlignment(Qt::AlignCenter);
  SetTextColor(mediaInfo, MGMediaInfoColor());

  status = new MGElidedLabel(QStringLiteral("Open a movie"), footer);
  QFont statusFont = font();
  statusFont.setPixelSize(13);
  status->setFont(statusFont);
  status->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  SetTextColor(status, MGClockColor());
}

void MGMainWindow::setEditorVisible(bool visible) {
  editorVisible_ = visible;
  layoutViews();
}

void MGMainWindow::setTransportAutoHidden(bool hidden) {
  transportAutoHidden_ = hidden;
  layoutViews();
}

void MGMainWindow::setMenuBar(QMenuBar* bar) {
  menuBar_ = bar;
  const int h = bar->sizeHint().height();
  setMinimumSize(820, 640 + h);
  resize(width(), height() + h);
  layoutViews();
}

QRect MGMainWindow::contentRect() const {
  if (!menuBar_ || menuBar_->isHidden()) return rect();
  return rect().adjusted(0, menuBar_->height(), 0, 0);
}

void MGMainWindow::layoutViews() {
  const bool fs = isFullScreen();
  if (!fs) transportAutoHidden_ = false;
  if (menuBar_) {
    menuBar_->setVisible(!fs);
    menuBar_->setGeometry(0, 0, width(), menuBar_->sizeHint().height());
  }
  const QRect content = contentRect();
  layout_ = kf::ComputeWindowLayout({static_cast<double>(content.width()), static_cast<double>(content.height())},
                                    editorVisible_, fs);
  root->setGeometry(content);
  // The bands below are laid over the picture's bottom edge; the picture
  // view stops where they begin, so that no widget lies over the video
  // (each repaint of one would recompose the video with it).
  QRect picture = ToQRect(layout_.player);
  if (!layout_.timelineHidden) picture.setBottom(std::min(picture.bottom(), ToQRect(layout_.timeline).top() - 1));
  if (!layout_.transportHidden && !(fs && transportAutoHidden_) && !fs)
    picture.setBottom(std::min(picture.bottom(), ToQRect(layout_.transport).top() - 1));
  playerView->setGeometry(picture);
  overlay->setGeometry(ToQRect(layout_.player));
  timeline->setGeometry(ToQRect(layout_.timeline));
  transport->setGeometry(ToQRect(layout_.transport));
  footer->setGeometry(ToQRect(layout_.footer));
  footprintLabel->setGeometry(ToQRect(layout_.footprint));
  progressBar->setGeometry(ToQRect(layout_.progress));

  timeline->setVisible(!layout_.timelineHidden);
  transport->setVisible(!layout_.transportHidden && !(fs && transportAutoHidden_));
  footer->setVisible(!layout_.footerHidden);
  footprintLabel->setVisible(!layout_.footprintHidden);
  exposureGroup->setVisible(!layout_.exposureHidden);
  exposureDivider->setVisible(!layout_.exposureHidden);
  mediaInfo->setVisible(!layout_.mediaInfoHidden);

  // Transport groups: left inset 18, right inset 14, centred vertically.
  const int th = transport->height();
  leftGroup->adjustSize();
  rightGroup->adjustSize();
  const QSize ls = leftGroup->sizeHint(), rs = rightGroup->sizeHint();
  rightGroup->setGeometry(transport->width() - 14 - rs.width(), (th - rs.height()) / 2, rs.width(), rs.height());
  const int leftMax = rightGroup->x() - 10 - 18;
  leftGroup->setGeometry(18, (th - ls.height()) / 2, std::min(ls.width(), std::max(leftMax, 0)), ls.height());

  layoutFooter();

  // Drawing order of the tree.
  playerView->lower();
  overlay->raise();
  timeline->raise();
  transport->raise();
  footer->raise();
  footprintLabel->raise();
  progressBar->raise();
}

void MGMainWindow::layoutFooter() {
  // Clock at the left, media info centred, status at the right.
  const int fh = footer->height(), fw = footer->width();
  const QSize cs = clock->sizeHint();
  clock->setGeometry(14, (fh - cs.height()) / 2, cs.width(), cs.height());
  const QSize ms = mediaInfo->sizeHint();
  int mx = (fw - ms.width()) / 2;
  mx = std::max(mx, clock->geometry().right() + 1 + 12);
  mediaInfo->setGeometry(mx, (fh - ms.height()) / 2, ms.width(), ms.height());
  const int statusRight = fw - 14;
  int statusLeft = (mediaInfo->isVisible() && !mediaInfo->text().isEmpty()) ? mediaInfo->geometry().right() + 1 + 12
                                                                            : clock->geometry().right() + 1 + 12;
  statusLeft = std::max(statusLeft, statusRight - 320);
  const int sh = status->sizeHint().height();
  status->setGeometry(statusLeft, (fh - sh) / 2, std::max(statusRight - statusLeft, 0), sh);
}

void MGMainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutViews();
}

void MGMainWindow::closeEvent(QCloseEvent* event) {
  if (shouldClose && !shouldClose()) {
    event->ignore();
    return;
  }
  if (willClose) willClose();
  event->accept();
}

void MGMainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  const bool fs = isFullScreen();
  if (fs == wasFullScreen_) return;
  wasFullScreen_ = fs;
  transportAutoHidden_ = false;
  layoutViews();
  if (fullScreenChanged) fullScreenChanged(fs);
}
