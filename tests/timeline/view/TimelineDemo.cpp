// Renders the timeline with a few clips, fades, names, a waveform, a
// selection, a hover marker and a cut drag into a PNG, for looking at it.
// Usage: kerfline_timeline_demo OUT.png [WIDTH [HEIGHT [SCALE]]]
#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "timeline/view/MGTimelineView.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [WIDTH [HEIGHT [SCALE]]]\n", argv[0]);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int width = argc > 2 ? std::atoi(argv[2]) : 932;
  const int height = argc > 3 ? std::atoi(argv[3]) : 100;
  const double scale = argc > 4 ? std::atof(argv[4]) : 1.0;

  MGTimelineView view;
  view.resize(width, height);
  view.setDuration(60);
  view.setSegments({{0, 9.5}, {12, 25}, {25, 31.2}, {40, 52}, {52, 52.3}, {55, 60}});
  view.setNames({"Intro", "", "Long interview answer", "", "", "Ending ✓"});
  view.setFadeIns({1.0, 0, 0, 0.5, 0, 0});
  view.setFadeOuts({0, 2.0, 0, 0, 0, 1.5});
  std::vector<float> wave(2400);
  for (std::size_t i = 0; i < wave.size(); ++i) {
    const double t = static_cast<double>(i) / 40.0;
    wave[i] =
        static_cast<float>(0.5 + 0.45 * std::sin(t * 2.1) * std::sin(t * 0.37) + 0.08 * std::sin(t * 17));
  }
  wave[100] = 1.7f;  // clamped when drawn
  view.setWaveform(wave);
  view.setSelected(1);
  view.setPlayhead(20);

  // A hover and a cut drag in progress, through the real event path.
  auto send = [&](QEvent::Type type, double x, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QMouseEvent ev(type, QPointF(x, 50), QPointF(x, 50), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&view, &ev);
  };
  const kf::Rect seg3 = view.rectForSegment(3);
  send(QEvent::MouseMove, seg3.x + seg3.width * 0.6, Qt::NoButton, Qt::NoButton);
  const double cut = view.rectForSegment(2).maxX();
  send(QEvent::MouseButtonPress, cut, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, cut - 40, Qt::NoButton, Qt::LeftButton);

  QImage img(QSize(width, height) * scale, QImage::Format_ARGB32_Premultiplied);
  img.setDevicePixelRatio(scale);
  img.fill(Qt::transparent);
  {
    QPainter p(&img);
    view.paintTimeline(p);
  }
  if (!img.save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
