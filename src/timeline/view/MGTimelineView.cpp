#include "timeline/view/MGTimelineView.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QRegion>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <limits>

#include "edit/EditText.h"
#include "edit/TimeMap.h"

namespace {

// Palette, sRGB.
const QColor kBackground(18, 17, 13);
const QColor kCentreLine(51, 49, 42);
const QColor kClipFill(38, 36, 30);
const QColor kSelectedFill(58, 30, 26);
const QColor kClipBorder(74, 70, 60);
const QColor kAccent(226, 91, 69);
const QColor kWaveform = QColor::fromRgbF(80 / 255.0, 76 / 255.0, 66 / 255.0, 0.95);
const QColor kSelectedWaveform = QColor::fromRgbF(150 / 255.0, 140 / 255.0, 120 / 255.0, 0.95);
const QColor kLightText(237, 235, 226);
const QColor kLightBars = QColor::fromRgbF(237 / 255.0, 235 / 255.0, 226 / 255.0, 0.92);
const QColor kMutedText(154, 148, 138);
const QColor kDimText(110, 105, 96);
const QColor kHoverBack(40, 38, 30);
const QColor kFadeShade = QColor::fromRgbF(0.04, 0.04, 0.04, 0.82);
const QColor kCutBand = QColor::fromRgbF(0, 0, 0, 0.45);

// The system font at a size in points (one point is one device-independent
// pixel here, as in the geometry). The default sans faces on Linux have
// equal-width digits, which the clock texts rely on.
QFont uiFont(int points, QFont::Weight weight) {
  QFont f = QGuiApplication::font();
  f.setPixelSize(points);
  f.setWeight(weight);
  return f;
}

struct Fonts {
  QFont name = uiFont(11, QFont::DemiBold);
  QFont length = uiFont(10, QFont::Normal);
  QFont fade = uiFont(9, QFont::Normal);
  QFont hover = uiFont(10, QFont::Medium);
  QFont empty = uiFont(12, QFont::Medium);
  QFontMetricsF nameMetrics{name};
  QFontMetricsF lengthMetrics{length};
  QFontMetricsF fadeMetrics{fade};
  QFontMetricsF hoverMetrics{hover};
  QFontMetricsF emptyMetrics{empty};
};

// Built on first paint (fonts need the application object) and kept for the
// life of the process: destroying fonts after the application is unsafe.
const Fonts& fonts() {
  static const Fonts* f = new Fonts;
  return *f;
}

QRectF toQt(const kf::Rect& r) {
  return QRectF(r.x, r.y, r.width, r.height);
}

// Text with the top-left corner of its line box at (x, y).
void drawTextAt(QPainter& p, double x, double y, const QString& text, const QFontMetricsF& fm) {
  p.drawText(QPointF(x, y + fm.ascent()), text);
}

// Cosmetic one-point pens take Qt's fast line path; without a scaling
// transform they cover exactly what a one-point geometric pen covers.
QPen hairline(const QColor& c) {
  QPen pen(c, 1);
  pen.setCosmetic(true);
  pen.setCapStyle(Qt::FlatCap);
  return pen;
}

// Whether one unit of the painter's coordinates is one device pixel, so that
// fillRectFast may reason about whole pixels.
bool unitIsDevicePixel(const QPainter& p) {
  const QTransform t = p.deviceTransform();
  return t.type() <= QTransform::TxTranslate && t.dx() == std::floor(t.dx()) && t.dy() == std::floor(t.dy());
}

// Fills r as the anti-aliased fill of the same rectangle looks, but cheaper
// when its top and bottom lie on whole pixels (as the clip blocks do): the
// inner whole-pixel part is filled plainly and each partly covered edge
// column gets the colour at its coverage. Other rectangles, and painters
// whose units are not device pixels, take the general anti-aliased path.
// Leaves anti-aliasing as it found it.
void fillRectFast(QPainter& p, const QRectF& r, const QColor& color, bool pixelUnits) {
  const double x0 = r.left(), x1 = r.right(), y0 = r.top(), y1 = r.bottom();
  if (!(x1 > x0) || !(y1 > y0)) return;
  if (!pixelUnits || y0 != std::floor(y0) || y1 != std::floor(y1) || std::fabs(x0) > 1e9 ||
      std::fabs(x1) > 1e9) {
    p.fillRect(r, color);
    return;
  }
  const int top = static_cast<int>(y0), rows = static_cast<int>(y1 - y0);
  auto column = [&](double px, double coverage) {
    QColor c = color;
    c.setAlphaF(color.alphaF() * coverage);
    p.fillRect(QRect(static_cast<int>(px), top, 1, rows), c);
  };
  const bool aa = p.testRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::Antialiasing, false);
  const double left = std::floor(x0);
  if (left == std::floor(x1) || x1 == left + 1) {
    column(left, x1 - x0);  // within one pixel column
  } else {
    const double innerLeft = std::ceil(x0), innerRight = std::floor(x1);
    if (innerLeft > x0) column(left, innerLeft - x0);
    if (innerRight > innerLeft)
      p.fillRect(QRect(static_cast<int>(innerLeft), top, static_cast<int>(innerRight - innerLeft), rows),
                 color);
    if (x1 > innerRight) column(innerRight, x1 - innerRight);
  }
  p.setRenderHint(QPainter::Antialiasing, aa);
}

// Fills the right triangle (xo, top), (xi, top), (xo, bottom) anti-aliased.
// Qt's raster engine hands fills with many spans to worker threads, which
// for a thin triangle costs far more than the fill itself; cutting the
// triangle along whole pixel rows into short trapezoids keeps each fill
// small and gives the same pixels (every pixel row lies in one piece).
void fillRamp(QPainter& p, double xo, double xi, double top, double bottom, const QColor& color) {
  const double height = bottom - top;
  if (!(height > 0)) return;
  // About two partly covered pixels per row plus one per pixel the edge
  // moves per row; Qt goes parallel above roughly 96 spans per fill.
  const double spansPerRow = 2 + std::ceil(std::fabs(xo - xi) / height);
  const double rowsPerPiece = std::clamp(std::floor(80 / spansPerRow), 4.0, 64.0);
  auto edgeX = [&](double y) { return xi + (xo - xi) * (y - top) / height; };
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  double ya = top;
  while (ya < bottom) {
    double yb = std::floor(ya) + rowsPerPiece;
    if (yb >= bottom - 0.5) yb = bottom;  // no sliver pieces at the end
    const QPointF piece[4] = {{xo, ya}, {edgeX(ya), ya}, {edgeX(yb), yb}, {xo, yb}};
    p.drawConvexPolygon(piece, 4);
    ya = yb;
  }
  p.setBrush(Qt::NoBrush);
}

// Strokes the outline of r with a miter-joined pen of the given width,
// centred on r's edges, as four filled bands (the same pixels as a stroked
// rectangle, without the general path stroker).
void strokeRectOutline(QPainter& p, const kf::Rect& r, double lineWidth, const QColor& color,
                       bool pixelUnits) {
  // A rectangle inset past its own size is still stroked around its
  // normalised extent.
  const double x0 = std::min(r.x, r.x + r.width), x1 = std::max(r.x, r.x + r.width);
  const double y0 = std::min(r.y, r.y + r.height), y1 = std::max(r.y, r.y + r.height);
  const double h = lineWidth / 2;
  const QRectF outer(x0 - h, y0 - h, x1 - x0 + lineWidth, y1 - y0 + lineWidth);
  if (x1 - x0 <= lineWidth || y1 - y0 <= lineWidth) {
    fillRectFast(p, outer, color, pixelUnits);
    return;
  }
  fillRectFast(p, QRectF(outer.x(), outer.y(), outer.width(), lineWidth), color, pixelUnits);
  fillRectFast(p, QRectF(outer.x(), outer.bottom() - lineWidth, outer.width(), lineWidth), color, pixelUnits);
  const double sideHeight = outer.height() - 2 * lineWidth;
  fillRectFast(p, QRectF(outer.x(), outer.y() + lineWidth, lineWidth, sideHeight), color, pixelUnits);
  fillRectFast(p, QRectF(outer.right() - lineWidth, outer.y() + lineWidth, lineWidth, sideHeight), color,
               pixelUnits);
}

}  // namespace

MGTimelineView::MGTimelineView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
}

MGTimelineView::~MGTimelineView() = default;

const kf::TimelineState& MGTimelineView::timelineState() const {
  state_.bounds = kf::Size{static_cast<double>(width()), static_cast<double>(height())};
  return state_;
}

// ---------------------------------------------------------------- drawing

// Same arithmetic, in the same order, as TimelineState::rectForSegment, so
// the results are identical; one pass instead of one pass per segment.
std::vector<kf::Rect> MGTimelineView::allSegmentRects() const {
  const kf::TimelineState& g = timelineState();
  std::vector<kf::Rect> rects(g.segments.size());
  const double total = g.editedDuration();
  if (!(total > 0)) return rects;
  const kf::Rect track = g.trackRect();
  double before = 0;
  for (std::size_t i = 0; i < g.segments.size(); ++i) {
    const double len = g.segments[i].end - g.segments[i].start;
    const double x = track.x + track.width * before / total;
    const double x2 = track.x + track.width * (before + len) / total;
    rects[i] = {x, track.y, std::max(x2 - x, kf::kMinimumSegmentWidth), track.height};
    before += len;
  }
  return rects;
}

QString MGTimelineView::titleForSegment(std::int64_t i) const {
  if (i >= 0 && static_cast<std::size_t>(i) < state_.names.size() &&
      !state_.names[static_cast<std::size_t>(i)].empty()) {
    const std::string& name = state_.names[static_cast<std::size_t>(i)];
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
  }
  return QStringLiteral("CLIP %1").arg(static_cast<qulonglong>(i + 1));
}

namespace {

// Where the playhead is drawn, or NaN when the strip shows no playhead.
double PlayheadX(const kf::TimelineState& g) {
  const kf::Rect T = g.trackRect();
  if (!(T.width > 0) || !(T.height > 0) || !(g.duration > 0) || !(g.editedDuration() > 0))
    return std::numeric_limits<double>::quiet_NaN();
  return g.playheadX(g.playhead);
}

// The columns the playhead at x covers, with its head and anti-aliasing.
QRect PlayheadStrip(double x, int height) {
  const int left = static_cast<int>(std::floor(x)) - 7;
  return QRect(left, 0, 16, height);
}

}  // namespace

void MGTimelineView::redraw() {
  const double x = PlayheadX(timelineState());
  const double quarter = std::isnan(x) ? x : std::round(x * 4) / 4;
  const bool sameX = (std::isnan(quarter) && std::isnan(shownPlayheadX_)) || quarter == shownPlayheadX_;
  if (contentChanged_ || size() != shownSize_) {
    update();
  } else if (!sameX) {
    QRegion strips;
    if (!std::isnan(shownPlayheadX_)) strips += PlayheadStrip(shownPlayheadX_, height());
    if (!std::isnan(x)) strips += PlayheadStrip(x, height());
    if (std::isnan(x) || std::isnan(shownPlayheadX_))
      update();
    else
      update(strips);
  }
  contentChanged_ = false;
  shownSize_ = size();
  shownPlayheadX_ = quarter;
}

void MGTimelineView::paintEvent(QPaintEvent* event) {
  // A full repaint (update(), exposure) shows the current state.
  if (event->rect().contains(rect())) {
    const double x = PlayheadX(timelineState());
    shownPlayheadX_ = std::isnan(x) ? x : std::round(x * 4) / 4;
    shownSize_ = size();
    contentChanged_ = false;
  }
  QPainter p(this);
  paintTimeline(p);
}

void MGTimelineView::paintTimeline(QPainter& p) const {
  const kf::TimelineState& g = timelineState();
  const Fonts& f = fonts();
  const QRectF bounds(0, 0, width(), height());
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
  p.fillRect(bounds, kBackground);

  const kf::Rect T = g.trackRect();
  const double L = g.editedDuration();
  const double D = g.duration;
  if (!(T.width > 0) || !(T.height > 0) || !(D > 0) || !(L > 0)) {
    p.setFont(f.empty);
    p.setPen(kMutedText);
    drawTextAt(p, 14, 31, QStringLiteral("Open a movie to begin"), f.emptyMetrics);
    p.restore();
    return;
  }

  p.fillRect(QRectF(T.x, T.y + T.height * 0.5, T.width, 1), kCentreLine);
  const bool pixelUnits = unitIsDevicePixel(p);

  const std::size_t count = g.segments.size();
  const std::vector<kf::Rect> rects = allSegmentRects();
  const std::vector<float>& wave = g.waveform;
  const double N = static_cast<double>(wave.size());
  // Waveform columns wait in one batch while nothing drawn later overlaps
  // them: blocks come left to right, so a batch is flushed when the next
  // block starts left of its right end (or the colour changes). The result
  // is the same as stroking each block's columns right after the block.
  std::vector<QLineF> columns;
  bool columnsSelected = false;
  double columnsRight = -std::numeric_limits<double>::infinity();
  auto flushColumns = [&] {
    if (!columns.empty()) {
      p.setPen(hairline(columnsSelected ? kSelectedWaveform : kWaveform));
      p.drawLines(columns.data(), static_cast<int>(columns.size()));
      columns.clear();
    }
    columnsRight = -std::numeric_limits<double>::infinity();
  };
  // Fade labels repeat the same few texts; measure each once per paint.
  QString lastFadeLabel;
  double lastFadeLabelWidth = 0;
  double lastFadeLength = -1;
  p.setBrush(Qt::NoBrush);
  for (std::size_t idx = 0; idx < count; ++idx) {
    const auto i = static_cast<std::int64_t>(idx);
    const kf::Rect& R = rects[idx];
    const kf::Rect F = R.insetBy(1, 5);
    const double s = g.segments[idx].start;
    const double e = g.segments[idx].end;
    const bool sel = i == g.selected;
    // Leftmost point this block's fill and outline reach.
    const double blockLeft = !sel && F.width >= 1 && F.height >= 1 ? F.x : R.x;
    if (blockLeft < columnsRight) flushColumns();

    if (sel) {
      fillRectFast(p, toQt(F), kSelectedFill, pixelUnits);
      strokeRectOutline(p, F.insetBy(0.5, 0.5), 2, kAccent, pixelUnits);
    } else if (F.width >= 1 && F.height >= 1) {
      // A one-point outline centred half a point inside F covers exactly
      // the band between F and F inset by 1: paint F in the border colour
      // and the inside in the fill colour (two fills instead of five).
      fillRectFast(p, toQt(F), kClipBorder, pixelUnits);
      const kf::Rect inner = F.insetBy(1, 1);
      if (inner.width > 0 && inner.height > 0) fillRectFast(p, toQt(inner), kClipFill, pixelUnits);
    } else {
      // Narrower than its outline: the outline covers the whole fill.
      strokeRectOutline(p, F.insetBy(0.5, 0.5), 1, kClipBorder, pixelUnits);
    }

    if (!wave.empty()) {
      long n = static_cast<long>(std::trunc(R.width)) / 2;
      n = std::clamp(n, 1L, 500L);
      if (sel != columnsSelected) flushColumns();
      columnsSelected = sel;
      const double mid = R.y + 0.5 * R.height;
      for (long k = 0; k < n; ++k) {
        const double u = n == 1 ? 0.0 : static_cast<double>(k) / static_cast<double>(n - 1);
        const double t = s + u * (e - s);
        double slot = std::floor(t / D * N);
        if (!(slot >= 0)) slot = 0;
        if (slot > N - 1) slot = N - 1;
        const float raw = wave[static_cast<std::size_t>(slot)];
        const double v = std::clamp(static_cast<double>(std::isnan(raw) ? 0.0f : raw), 0.0, 1.0);
        const double a = R.height * 0.34 * v;
        if (!(a > 0)) continue;  // a silent column draws nothing
        const double x = R.x + u * R.width;
        columns.emplace_back(x, mid - a, x, mid + a);
        columnsRight = std::max(columnsRight, x + 0.5);
      }
    }

    for (int side = 0; side < 2; ++side) {
      const bool in = side == 0;
      const std::vector<double>& fades = in ? g.fadeIns : g.fadeOuts;
      const double len = idx < fades.size() ? fades[idx] : 0.0;
      if (!(len > 0)) continue;
      flushColumns();  // the ramp lies over this block's own columns
      const double w = std::clamp(len / L * T.width, 0.0, R.width);
      const double xo = in ? R.x : R.maxX();
      const double xi = in ? R.x + w : R.maxX() - w;
      fillRamp(p, xo, xi, F.y, F.maxY(), kFadeShade);
      p.setPen(QPen(kLightText, 1));
      p.drawLine(QPointF(xo, F.maxY()), QPointF(xi, F.y));
      if (len != lastFadeLength) {
        lastFadeLength = len;
        lastFadeLabel = QString::fromStdString(kerfline::FormatFixed1(len)) + QStringLiteral(" s");
        lastFadeLabelWidth = f.fadeMetrics.horizontalAdvance(lastFadeLabel);
      }
      const double tw = lastFadeLabelWidth;
      const double x = in ? std::min(xi + 4, R.maxX() - tw - 4) : std::max(xi - tw - 4, R.x + 4);
      // A clip too narrow for its fade label shows only the part that lies
      // on it.
      if (x < R.maxX() && x + tw > R.x) {
        p.save();
        p.setClipRect(toQt(R), Qt::IntersectClip);
        p.setFont(f.fade);
        p.setPen(kMutedText);
        drawTextAt(p, x, F.y + 3, lastFadeLabel, f.fadeMetrics);
        p.restore();
      }
    }

    // Name and length start 7 points into the block and are kept inside it;
    // a block 7 points wide or less shows neither.
    if (R.width > 7) {
      flushColumns();
      p.save();
      p.setClipRect(toQt(R), Qt::IntersectClip);
      p.setFont(f.name);
      p.setPen(kLightText);
      drawTextAt(p, R.x + 7, F.y + 5, titleForSegment(i), f.nameMetrics);
      p.setFont(f.length);
      p.setPen(sel ? kMutedText : kDimText);
      drawTextAt(p, R.x + 7, F.maxY() - 18, QString::fromStdString(mg::Clock(e - s)), f.lengthMetrics);
      p.restore();
    }

    if (sel) {
      flushColumns();
      fillRectFast(p, QRectF(F.x + 1, F.y + 1, 3, F.height - 2), kLightBars, pixelUnits);
      fillRectFast(p, QRectF(F.x + F.width - 4, F.y + 1, 3, F.height - 2), kLightBars, pixelUnits);
    }
  }

  flushColumns();

  if (trimPreviewActive_ && trimPreviewSegment_ >= 0 &&
      trimPreviewSegment_ < static_cast<std::int64_t>(count)) {
    const kf::Rect R = g.rectForSegment(trimPreviewSegment_);
    const double x1 = std::min(trimPreviewOriginX_, trimPreviewX_);
    const double b = std::fabs(trimPreviewX_ - trimPreviewOriginX_);
    const QRectF band(x1, R.y, b, R.height);
    p.fillRect(band, kCutBand);
    // The diagonals start one band height left of it so that its whole area
    // is hatched; they are kept inside the band.
    p.save();
    p.setClipRect(band, Qt::IntersectClip);
    QPainterPath hatch;
    for (double x0 = x1 - R.height; x0 < x1 + b; x0 += 8) {
      hatch.moveTo(x0, R.maxY());
      hatch.lineTo(x0 + R.height, R.y);
    }
    p.strokePath(hatch, QPen(kMutedText, 1));
    p.restore();
    p.fillRect(QRectF(std::floor(trimPreviewX_) - 1, R.y - 4, 3, R.height + 8), kLightText);
  }

  {
    const double x = g.playheadX(g.playhead);
    p.fillRect(QRectF(std::floor(x), T.y - 4, 2, T.height + 8), kAccent);
    const QPointF head[3] = {{x - 5, T.y - 4}, {x + 5, T.y - 4}, {x, T.y + 3}};
    p.setPen(Qt::NoPen);
    p.setBrush(kAccent);
    p.drawConvexPolygon(head, 3);
    p.setBrush(Qt::NoBrush);
  }

  if (hovering_) {
    const double h = kerfline::EditedFromRaw(hoverTime_, g.segments);
    const double x = g.xForEditedTime(h);
    p.setPen(QPen(kMutedText, 1));
    p.drawLine(QPointF(x, T.y - 2), QPointF(x, T.maxY() + 2));
    const QString text = QString::fromStdString(mg::Clock(h));
    const double lx = x - 20 < 2 ? 2 : std::min(x - 20, static_cast<double>(width()) - 48);
    const QFontMetricsF& fm = f.hoverMetrics;
    p.fillRect(QRectF(lx, 1, fm.horizontalAdvance(text), fm.height()), kHoverBack);
    p.setFont(f.hover);
    p.setPen(kLightText);
    drawTextAt(p, lx, 1, text, fm);
  }
  p.restore();
}

// ---------------------------------------------------------------- pointer

void MGTimelineView::select(std::int64_t index) {
  state_.selected = index;
  if (selectionHandler) selectionHandler(index);
}

void MGTimelineView::mousePressEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() == Qt::RightButton ||
      (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ControlModifier))) {
    rightMouseDown(event);
  } else if (event->button() == Qt::LeftButton) {
    mouseDown(event);
  } else {
    event->ignore();
  }
}

// Qt turns the second press of a quick pair into its own event; to the
// gestures it is one more press.
void MGTimelineView::mouseDoubleClickEvent(QMouseEvent* event) {
  mousePressEvent(event);
}

void MGTimelineView::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) {
    mouseDragged(event);
  } else if (event->buttons() == Qt::NoButton) {
    mouseMoved(event);
  }
}

void MGTimelineView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) mouseUp(event);
}

void MGTimelineView::leaveEvent(QEvent*) {
  mouseExited();
}

void MGTimelineView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && cancelActiveInteraction()) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

// Secondary presses are handled on the press itself; the separate context
// event Qt sends afterwards must not reach the parent.
void MGTimelineView::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
}

void MGTimelineView::mouseDown(QMouseEvent* event) {
  const kf::TimelineState& g = timelineState();
  const double x = event->position().x();
  const double t = g.timeForX(x);

  const std::int64_t b = g.segmentAtTime(t);
  if (b >= 0 && b == g.selected && g.labelRectForSegment(b).contains({x, event->position().y()})) {
    if (renameHandler) renameHandler(b);
    return;
  }

  const std::int64_t j = g.junctionAtX(x);
  if (j >= 0) {
    draggingHandle_ = true;
    leadingHandle_ = false;
    handleSegment_ = j;
    dragTime_ = g.segments[static_cast<std::size_t>(j)].end;
    trimPreviewActive_ = true;
    trimPreviewSegment_ = j;
    trimStartX_ = x;
    trimPreviewOriginX_ = trimPreviewX_ = g.junctionX(j);
    trimOriginTime_ = dragTime_;
    trimSecondsPerPoint_ = g.secondsPerPoint();
    select(j);
    if (trimHandler) trimHandler(j, false, dragTime_, 0);
    update();
    setCursor(Qt::SizeHorCursor);
    return;
  }

  select(b);
  draggingPlayhead_ = true;
  dragTime_ = t;
  if (seekHandler) seekHandler(t, 0);
  update();
}

void MGTimelineView::mouseDragged(QMouseEvent* event) {
  const kf::TimelineState& g = timelineState();
  const double x = event->position().x();
  if (draggingHandle_) {
    const std::int64_t j = handleSegment_;
    // The controller may have replaced the edit under the drag; only a cut
    // that still exists can move.
    if (j < 0 || j + 1 >= static_cast<std::int64_t>(g.segments.size())) return;
    const double f = trimOriginTime_ + (x - trimStartX_) * trimSecondsPerPoint_;
    const kf::CutDragLimits limits = kf::cutDragLimits(g, j, trimSecondsPerPoint_);
    const double v = kf::clampCutTime(limits, f);
    dragTime_ = v;
    if (std::fabs(v - f) > 1e-6) {
      // Re-anchor at the limit, so moving back responds at once.
      trimOriginTime_ = v;
      trimStartX_ = x;
    }
    const kf::Rect T = g.trackRect();
    trimPreviewX_ = std::clamp(x, T.x, std::max(T.x, T.maxX()));
    update();
    if (trimHandler) trimHandler(j, leadingHandle_, v, 1);
  } else if (draggingPlayhead_) {
    dragTime_ = g.timeForX(x);
    if (seekHandler) seekHandler(dragTime_, 1);
  }
}

void MGTimelineView::mouseUp(QMouseEvent* event) {
  if (draggingHandle_) {
    draggingHandle_ = false;
    trimPreviewActive_ = false;
    if (trimHandler) trimHandler(handleSegment_, leadingHandle_, dragTime_, 2);
    setCursor(Qt::ArrowCursor);
    update();
  } else if (draggingPlayhead_) {
    draggingPlayhead_ = false;
    if (seekHandler) seekHandler(timelineState().timeForX(event->position().x()), 2);
  }
}

bool MGTimelineView::cancelActiveInteraction() {
  if (draggingHandle_) {
    draggingHandle_ = false;
    trimPreviewActive_ = false;
    if (trimHandler) trimHandler(handleSegment_, leadingHandle_, dragTime_, -1);
    setCursor(Qt::ArrowCursor);
    update();
    return true;
  }
  if (draggingPlayhead_) {
    draggingPlayhead_ = false;
    if (seekHandler) seekHandler(dragTime_, -1);
    update();
    return true;
  }
  return false;
}

void MGTimelineView::mouseMoved(QMouseEvent* event) {
  const kf::TimelineState& g = timelineState();
  const double x = event->position().x();
  hovering_ = true;
  hoverTime_ = g.timeForX(x);
  setCursor(g.junctionHoverAtX(x) ? Qt::SizeHorCursor : Qt::ArrowCursor);
  update();
}

void MGTimelineView::mouseExited() {
  hovering_ = false;
  setCursor(Qt::ArrowCursor);
  update();
}

void MGTimelineView::rightMouseDown(QMouseEvent* event) {
  const kf::TimelineState& g = timelineState();
  const double t = g.timeForX(event->position().x());
  const std::int64_t b = g.segmentAtTime(t);
  if (b >= 0) select(b);
  if (contextHandler) contextHandler(b, t, *event);
}
