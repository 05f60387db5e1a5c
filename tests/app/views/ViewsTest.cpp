#include <QApplication>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QPainter>
#include <QTest>

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "app/views/MGDroppingView.h"
#include "app/views/MGSolidView.h"
#include "app/views/MGVideoOverlayView.h"

namespace {

class ViewsTest : public ::testing::Test {
 protected:
  // Paints the widget over an opaque backdrop of `under`.
  static QImage renderOver(QWidget& w, QColor under) {
    QImage img(w.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(under);
    w.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
  }

  static QImage renderOpaque(QWidget& w) {
    QImage img(w.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::magenta);
    w.render(&img);
    return img;
  }
};

::testing::AssertionResult near(QColor actual, QColor expected, int tolerance = 2) {
  const int d =
      std::max({std::abs(actual.red() - expected.red()), std::abs(actual.green() - expected.green()),
                std::abs(actual.blue() - expected.blue())});
  if (d <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "got " << actual.red() << "," << actual.green() << "," << actual.blue() << " expected "
         << expected.red() << "," << expected.green() << "," << expected.blue();
}

TEST_F(ViewsTest, OverlayBlackAmountIsClampedAndDarkensThePictureBelow) {
  MGVideoOverlayView overlay;
  overlay.resize(200, 120);
  overlay.setBlackAmount(1.3);
  EXPECT_EQ(overlay.blackAmount(), 1.0);
  overlay.setBlackAmount(-0.2);
  EXPECT_EQ(overlay.blackAmount(), 0.0);
  overlay.setBlackAmount(std::nan(""));
  EXPECT_EQ(overlay.blackAmount(), 0.0);

  EXPECT_TRUE(near(renderOver(overlay, Qt::white).pixelColor(100, 60), Qt::white))
      << "amount 0 leaves the picture";
  overlay.setBlackAmount(0.5);
  EXPECT_TRUE(near(renderOver(overlay, Qt::white).pixelColor(10, 10), QColor(127, 127, 127)));
  overlay.setBlackAmount(1.0);
  EXPECT_TRUE(near(renderOver(overlay, QColor(200, 50, 20)).pixelColor(190, 110), Qt::black, 0));
  EXPECT_FALSE(overlay.testAttribute(Qt::WA_OpaquePaintEvent));
}

TEST_F(ViewsTest, OverlayExposureStoresWithoutDrawingAtZero) {
  MGVideoOverlayView overlay;
  overlay.resize(100, 100);
  overlay.setExposureAmount(0);
  EXPECT_TRUE(near(renderOver(overlay, QColor(90, 90, 90)).pixelColor(50, 50), QColor(90, 90, 90), 0));
  overlay.setExposureAmount(1.0);
  EXPECT_EQ(overlay.exposureAmount(), 1.0);
  EXPECT_GT(renderOver(overlay, QColor(90, 90, 90)).pixelColor(50, 50).red(), 120);
  overlay.setExposureAmount(-1.0);
  EXPECT_LT(renderOver(overlay, QColor(90, 90, 90)).pixelColor(50, 50).red(), 60);
}

TEST_F(ViewsTest, EmptyStatePosterCoversTheFadeLayer) {
  MGVideoOverlayView overlay;
  overlay.resize(980, 520);
  overlay.setBlackAmount(1.0);
  overlay.setEmptyState(true);
  const QImage img = renderOver(overlay, Qt::white);
  EXPECT_TRUE(near(img.pixelColor(5, 5), QColor(22, 21, 16), 0));
  EXPECT_TRUE(near(img.pixelColor(975, 515), QColor(22, 21, 16), 0));
  // The play triangle sits around (cx, cy) with cy 42 points above centre.
  const int cx = 490, cy = 260 - 42;
  const QColor inTriangle = img.pixelColor(cx - 20, cy + 20);
  EXPECT_GT(inTriangle.red(), 180) << "light triangle fill";
  // The accent stroke crosses the centre point.
  EXPECT_TRUE(near(img.pixelColor(cx, cy), QColor(226, 91, 69), 3));
  // The title line lies below: some light pixels in the band above y = cy + 96.
  int light = 0;
  for (int y = cy + 70; y < cy + 96; ++y)
    for (int x = cx - 120; x < cx + 120; ++x)
      if (img.pixelColor(x, y).red() > 200) ++light;
  EXPECT_GT(light, 50) << "\"Cut the wait.\" is drawn above the 96-point line";
  // Nothing of the title reaches below its box bottom.
  for (int x = 0; x < 980; ++x) ASSERT_LT(img.pixelColor(x, cy + 100).red(), 200);

  overlay.setEmptyState(false);
  EXPECT_TRUE(near(renderOver(overlay, Qt::white).pixelColor(5, 5), Qt::black, 0));
}

TEST_F(ViewsTest, OverlayClicksSeparateSingleFromMultipleClicks) {
  MGVideoOverlayView overlay;
  overlay.resize(100, 100);
  int singles = 0, doubles = 0;
  overlay.singleClick = [&] { ++singles; };
  overlay.doubleClick = [&] { ++doubles; };
  const QPoint at(50, 50);
  QTest::mouseClick(&overlay, Qt::LeftButton, {}, at);
  EXPECT_EQ(singles, 1);
  QTest::mouseDClick(&overlay, Qt::LeftButton, {}, at);
  EXPECT_EQ(doubles, 1);
  EXPECT_EQ(singles, 1);

  // A third press right after a double click is still a multiple click.
  QMouseEvent third(QEvent::MouseButtonPress, QPointF(at), QPointF(overlay.mapToGlobal(at)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(at), QPointF(overlay.mapToGlobal(at)), Qt::LeftButton,
                  Qt::LeftButton, Qt::NoModifier);
  dbl.setTimestamp(100000);
  QApplication::sendEvent(&overlay, &dbl);
  third.setTimestamp(100000 + 50);
  QApplication::sendEvent(&overlay, &third);
  EXPECT_EQ(doubles, 3);
  // A press long after starts a new sequence.
  QMouseEvent later(QEvent::MouseButtonPress, QPointF(at), QPointF(overlay.mapToGlobal(at)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  later.setTimestamp(200000);
  QApplication::sendEvent(&overlay, &later);
  EXPECT_EQ(singles, 2);

  QTest::mouseClick(&overlay, Qt::RightButton, {}, at);
  EXPECT_EQ(singles, 2);
  EXPECT_EQ(doubles, 3);

  MGVideoOverlayView bare;  // no handlers set
  bare.resize(10, 10);
  QTest::mouseClick(&bare, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseDClick(&bare, Qt::LeftButton, {}, QPoint(5, 5));
}

QMimeData* mimeWith(const QList<QUrl>& urls, const QString& text = {}) {
  auto* mime = new QMimeData;
  if (!urls.isEmpty()) mime->setUrls(urls);
  if (!text.isEmpty()) mime->setText(text);
  return mime;
}

TEST_F(ViewsTest, DropOpensOnlyTheFirstFileUrl) {
  MGDroppingView view;
  view.resize(300, 200);
  std::vector<QUrl> dropped;
  view.dropHandler = [&](const QUrl& url) { dropped.push_back(url); };

  std::unique_ptr<QMimeData> two(mimeWith({QUrl(QStringLiteral("https://example.com/a.mp4")),
                                           QUrl::fromLocalFile(QStringLiteral("/movies/first.mov")),
                                           QUrl::fromLocalFile(QStringLiteral("/movies/second.mp4"))}));
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, two.get(), Qt::LeftButton,
                        Qt::NoModifier);
  QApplication::sendEvent(&view, &enter);
  EXPECT_TRUE(enter.isAccepted());
  EXPECT_EQ(enter.dropAction(), Qt::CopyAction);

  QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, two.get(), Qt::LeftButton,
                  Qt::NoModifier);
  QApplication::sendEvent(&view, &drop);
  EXPECT_TRUE(drop.isAccepted());
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].toLocalFile(), QStringLiteral("/movies/first.mov"));
}

TEST_F(ViewsTest, DragWithoutFilesIsRefused) {
  MGDroppingView view;
  view.resize(300, 200);
  int calls = 0;
  view.dropHandler = [&](const QUrl&) { ++calls; };
  std::unique_ptr<QMimeData> text(mimeWith({}, QStringLiteral("/movies/not-a-url.mp4")));
  std::unique_ptr<QMimeData> web(mimeWith({QUrl(QStringLiteral("https://example.com/a.mp4"))}));
  for (QMimeData* mime : {text.get(), web.get()}) {
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &drop);
    EXPECT_FALSE(drop.isAccepted());
  }
  EXPECT_EQ(calls, 0);

  // Without a handler a file drop is still accepted quietly.
  view.dropHandler = nullptr;
  std::unique_ptr<QMimeData> file(mimeWith({QUrl::fromLocalFile(QStringLiteral("/m.mp4"))}));
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, file.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&view, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, file.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&view, &drop);
  EXPECT_TRUE(drop.isAccepted());
}

TEST_F(ViewsTest, DropReachesTheRootThroughChildrenThatTakeNoDrops) {
  MGDroppingView root;
  root.resize(300, 200);
  QWidget child(&root);
  child.setGeometry(50, 50, 100, 100);
  EXPECT_TRUE(root.acceptDrops());
  EXPECT_FALSE(child.acceptDrops());
}

TEST_F(ViewsTest, DroppingViewPaintsTheWindowBackground) {
  MGDroppingView view;
  view.resize(40, 30);
  const QImage img = renderOpaque(view);
  EXPECT_TRUE(near(img.pixelColor(0, 0), QColor(22, 21, 16), 0));
  EXPECT_TRUE(near(img.pixelColor(39, 29), QColor(22, 21, 16), 0));
}

TEST_F(ViewsTest, SolidViewFillsAndDrawsTheTopRule) {
  MGSolidView band;
  band.resize(120, 36);
  QImage img = renderOpaque(band);
  EXPECT_TRUE(near(img.pixelColor(60, 0), QColor(51, 49, 42), 0)) << "rule without a fill colour";
  EXPECT_TRUE(near(img.pixelColor(60, 1), QColor(22, 21, 16), 0));
  EXPECT_TRUE(near(img.pixelColor(119, 35), QColor(22, 21, 16), 0));

  band.setFillColor(QColor(30, 28, 22));
  img = renderOpaque(band);
  EXPECT_TRUE(near(img.pixelColor(0, 0), QColor(51, 49, 42), 0));
  EXPECT_TRUE(near(img.pixelColor(119, 0), QColor(51, 49, 42), 0));
  EXPECT_TRUE(near(img.pixelColor(5, 1), QColor(30, 28, 22), 0));
  EXPECT_TRUE(near(img.pixelColor(119, 35), QColor(30, 28, 22), 0));
  band.setFillColor(QColor());
  EXPECT_TRUE(near(renderOpaque(band).pixelColor(5, 20), QColor(22, 21, 16), 0));
}

}  // namespace

// The application object lives in main so that it is destroyed before the
// toolkit's own globals.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
