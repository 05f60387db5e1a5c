// The timeline strip: the kept segments of the edit laid end to end, with
// waveform, fades, clip names and lengths, the playhead and a hover marker;
// and the pointer gestures on it (scrubbing, rolling a cut, selecting,
// renaming, the clip menu).
//
// The view owns no edit. The controller pushes copies of the edit into the
// properties below (setting them does not redraw; call redraw() afterwards),
// and every gesture goes back to the controller through the handlers. The
// view changes nothing but its own selection copy and its drag preview.
// Geometry and hit tests come from kf::TimelineState (timeline/core); the
// coordinate system is the widget's own (origin top-left, y down).
//
// Gesture phases, for seek and trim reports: 0 began, 1 changed, 2 ended,
// -1 cancelled. Every drag that reports 0 later reports exactly one of 2 or
// -1.
//
// Main thread only. Handlers are called synchronously from event handling;
// an empty handler skips its report. Handlers must not destroy the view.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/Geometry.h"
#include "edit/EditState.h"
#include "timeline/core/TimelineGeometry.h"

class QMouseEvent;

class MGTimelineView : public QWidget {
 public:
  // Scrub: source time, phase.
  using SeekHandler = std::function<void(double time, std::int64_t phase)>;
  // The user selected a segment (the view has already selected it).
  using SelectionHandler = std::function<void(std::int64_t segment)>;
  // Cut drag on the junction after `segment`: leading is always false for a
  // junction drag; time is the requested source time of the cut, already
  // limited by the drag margins.
  using TrimHandler =
      std::function<void(std::int64_t segment, bool leading, double time, std::int64_t phase)>;
  // Secondary click (right press, or control with the left button): segment
  // under the pointer or -1, its source time, and the press event (for the
  // menu's position, event.globalPosition()). The event is valid during the
  // call only.
  using ContextHandler = std::function<void(std::int64_t segment, double time, const QMouseEvent& event)>;
  // A press on the name of the already selected clip.
  using RenameHandler = std::function<void(std::int64_t segment)>;

  explicit MGTimelineView(QWidget* parent = nullptr);
  ~MGTimelineView() override;

  // Properties: value copies.
  std::vector<kerfline::TimeSpan> segments() const { return state_.segments; }
  void setSegments(std::vector<kerfline::TimeSpan> segments) {
    state_.segments = std::move(segments);
    contentChanged_ = true;
  }
  double duration() const { return state_.duration; }
  void setDuration(double seconds) {
    state_.duration = seconds;
    contentChanged_ = true;
  }
  double playhead() const { return state_.playhead; }
  void setPlayhead(double seconds) { state_.playhead = seconds; }
  std::int64_t selected() const { return state_.selected; }
  void setSelected(std::int64_t index) {
    state_.selected = index;
    contentChanged_ = true;
  }
  std::vector<std::string> names() const { return state_.names; }
  void setNames(std::vector<std::string> names) {
    state_.names = std::move(names);
    contentChanged_ = true;
  }
  std::vector<double> fadeIns() const { return state_.fadeIns; }
  void setFadeIns(std::vector<double> fades) {
    state_.fadeIns = std::move(fades);
    contentChanged_ = true;
  }
  std::vector<double> fadeOuts() const { return state_.fadeOuts; }
  void setFadeOuts(std::vector<double> fades) {
    state_.fadeOuts = std::move(fades);
    contentChanged_ = true;
  }
  // One peak level per equal slice of the source duration; drawing clamps
  // each to 0 .. 1. Does not redraw by itself.
  std::vector<float> waveform() const { return state_.waveform; }
  void setWaveform(std::vector<float> peaks) {
    state_.waveform = std::move(peaks);
    contentChanged_ = true;
  }

  // Repaints what changed since the last redraw: the whole strip after a
  // property other than the playhead changed (or update() was called), else
  // only the strips the playhead left and entered, and nothing when it has
  // not moved by a quarter of a pixel.
  void redraw();

  SeekHandler seekHandler;
  SelectionHandler selectionHandler;
  TrimHandler trimHandler;
  ContextHandler contextHandler;
  RenameHandler renameHandler;

  // Geometry at the current size (see TimelineGeometry.h).
  const kf::TimelineState& timelineState() const;
  kf::Rect trackRect() const { return timelineState().trackRect(); }
  kf::Rect rectForSegment(std::int64_t i) const { return timelineState().rectForSegment(i); }
  kf::Rect labelRectForSegment(std::int64_t i) const { return timelineState().labelRectForSegment(i); }
  // rectForSegment(i) for every segment, computed in one pass (painting
  // needs all of them; rectForSegment alone is linear in i).
  std::vector<kf::Rect> allSegmentRects() const;
  double timeForX(double x) const { return timelineState().timeForX(x); }
  std::int64_t segmentAtTime(double sourceTime) const { return timelineState().segmentAtTime(sourceTime); }

  // Ends an active drag as cancelled (phase -1 at the last dragged time) and
  // returns true; returns false when no drag is active. The window's Esc
  // handling calls this first; Esc pressed while the view has focus does
  // the same.
  bool cancelActiveInteraction();

  // Which drag is under way, for callers that route keys.
  bool isDraggingPlayhead() const { return draggingPlayhead_; }
  bool isDraggingHandle() const { return draggingHandle_; }

  // The name drawn on clip i: its own name (UTF-8; invalid bytes show as
  // replacement characters), or "CLIP n" with n = i + 1 when it has none.
  QString titleForSegment(std::int64_t i) const;

  // Paints the whole strip into `painter`, whose origin is the view's
  // top-left corner. paintEvent uses it; so do off-screen renders.
  void paintTimeline(class QPainter& painter) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void mouseDown(QMouseEvent* event);
  void rightMouseDown(QMouseEvent* event);
  void mouseDragged(QMouseEvent* event);
  void mouseUp(QMouseEvent* event);
  void mouseMoved(QMouseEvent* event);
  void mouseExited();
  void select(std::int64_t index);

  mutable kf::TimelineState state_;
  // Redraw bookkeeping: a property other than the playhead changed since
  // the last request, and the playhead's x (in quarter pixels) and the size
  // last asked to be shown; NaN when no playhead was drawn.
  bool contentChanged_ = true;
  double shownPlayheadX_ = std::numeric_limits<double>::quiet_NaN();
  QSize shownSize_;

  bool hovering_ = false;
  double hoverTime_ = 0;
  bool draggingHandle_ = false;
  bool draggingPlayhead_ = false;
  bool leadingHandle_ = false;
  std::int64_t handleSegment_ = -1;
  double dragTime_ = 0;
  bool trimPreviewActive_ = false;
  std::int64_t trimPreviewSegment_ = -1;
  double trimStartX_ = 0;
  double trimPreviewOriginX_ = 0;
  double trimPreviewX_ = 0;
  double trimOriginTime_ = 0;
  double trimSecondsPerPoint_ = 0;
};
