// The outside world as the edit session sees it.
//
// kf::EditSession changes the live edit and reports every visible effect
// through these small interfaces; the window wires them to the player, the
// timeline view, the video overlay, the status line, the Edit menu and the
// rename text field. Tests implement them with recording doubles.
//
// Contract for every port: called on the main thread only, synchronously,
// from inside an EditSession method; implementations must not call back into
// the session from inside a call (post to the scheduler instead). The session
// does not own the ports; they must outlive it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Geometry.h"
#include "edit/EditState.h"

namespace kf {

// The movie player.
class EditPlayerPort {
 public:
  virtual ~EditPlayerPort() = default;
  // Current position in source seconds (may be not-a-number before a movie
  // is ready; the session passes it on as it is).
  virtual double currentTime() const = 0;
  // Moves the player to a source time and refreshes the clock text.
  virtual void seek(double seconds) = 0;
  virtual void pause() = 0;
};

// The timeline strip and the editor refresh around it.
class EditTimelinePort {
 public:
  virtual ~EditTimelinePort() = default;
  // Replaces the timeline's copy of the edit. The view copies what it keeps;
  // the references are valid only during the call. Does not redraw by itself.
  virtual void setEdit(const std::vector<kerfline::TimeSpan>& segments, const std::vector<std::string>& names,
                       const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts,
                       std::int64_t selected) = 0;
  // The source movie's duration in seconds: the upper limit of rolls and trims.
  virtual double duration() const = 0;
  virtual void setDuration(double seconds) = 0;
  // Rectangle of segment i in the timeline's coordinates (y grows downward).
  virtual kf::Rect rectForSegment(std::int64_t i) const = 0;
  // Moves the playhead to a source time, updates the play button and clock
  // text and redraws the timeline.
  virtual void refreshEditorUIAtSeconds(double seconds) = 0;
};

// The picture overlay: fade preview and exposure.
class EditOverlayPort {
 public:
  virtual ~EditOverlayPort() = default;
  // Opacity 0..1 of black drawn over the picture (the fade preview).
  virtual void setBlackAmount(double amount) = 0;
  virtual void setExposureAmount(double stops) = 0;
  // Shows the session's current exposure on the picture (owned by the
  // exposure controller; reads EditSession::exposure()).
  virtual void applyExposurePreview() = 0;
};

// The one-line status text under the timeline.
class StatusLinePort {
 public:
  virtual ~StatusLinePort() = default;
  virtual void setStatus(const std::string& text) = 0;
};

// The Edit menu's Undo and Redo items.
class UndoMenuPort {
 public:
  virtual ~UndoMenuPort() = default;
  virtual void setUndoItem(const std::string& title, bool enabled) = 0;
  virtual void setRedoItem(const std::string& title, bool enabled) = 0;
};

// The in-place text field used to rename a clip, shown over the timeline.
class RenameFieldPort {
 public:
  virtual ~RenameFieldPort() = default;
  // Adds a field over the timeline with the text (UTF-8), the placeholder and
  // the frame (timeline coordinates), makes it the focused control and
  // selects all of its text. Its Return key calls EditSession::saveRename(),
  // its Esc, Tab and Shift-Tab go to EditSession::doCommandBySelector().
  virtual void showField(const std::string& text, const std::string& placeholder, const kf::Rect& frame) = 0;
  // The field's current text as UTF-8.
  virtual std::string text() const = 0;
  // Removes the field; harmless when none is shown.
  virtual void removeField() = 0;
  // Gives keyboard focus back to the timeline view.
  virtual void focusTimeline() = 0;
};

}  // namespace kf
