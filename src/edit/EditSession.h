// The live edit of the open movie and every operation that changes it.
//
// EditSession owns the edit (segments, names, fades, selection, exposure), the
// undo and redo history, the dirty flag with the signature it is measured
// against, the keyboard-armed junction and the in-place rename. It is the
// document controller's edit half: the window forwards menu commands, keys
// and timeline gestures to it, and it reports through the ports of
// EditPorts.h.
//
// Thread: main thread only; no locks. Every method runs synchronously and
// calls the ports from inside.
//
// Every edit operation follows one order: refuse silently while busy (an
// export is running); record the undo step; change the live edit;
// refreshDirtyState(); syncSegments(); show a status text. Refusals show
// nothing, except the fade refusal "This clip is too short to fade". No
// operation reports an error: times outside the allowed range are clamped.
//
// Times: segment times, the player and every `time`/`x` argument below are
// source seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "edit/EditPorts.h"
#include "edit/EditState.h"
#include "edit/UndoHistory.h"

namespace kf {

// The ports an EditSession talks to. All pointers are required and must
// outlive the session; `busy` may be empty (never busy).
struct EditPorts {
  EditPlayerPort* player = nullptr;
  EditTimelinePort* timeline = nullptr;
  EditOverlayPort* overlay = nullptr;
  StatusLinePort* status = nullptr;
  UndoMenuPort* undoMenu = nullptr;
  RenameFieldPort* renameField = nullptr;
  // True while an export, a clip export or a lossless copy runs.
  std::function<bool()> busy;
};

// Commands of the clip context menu.
enum class ClipMenuAction {
  SplitContext,
  TrimStartContext,
  TrimEndContext,
  ToggleFadeIn,
  ToggleFadeOut,
  BeginRename,
  RemoveSelected,
  UndoEdit,
  RedoEdit,
};

struct ClipMenuItem {
  bool separator = false;  // when true the other fields are meaningless
  std::string title;
  ClipMenuAction action = ClipMenuAction::SplitContext;
  bool enabled = false;
};

// The clip context menu as data; the window turns it into a popup menu
// (items have no key equivalents) and calls EditSession::perform().
struct ClipMenu {
  std::string title;  // "Clip"
  std::vector<ClipMenuItem> items;
};

// Editing commands of the rename field besides Return.
enum class RenameFieldCommand {
  CancelOperation,  // Esc: discard the typed text
  InsertTab,        // Tab: save, rename the next clip
  InsertBacktab,    // Shift-Tab: save, rename the previous clip
  Other,
};

class EditSession {
 public:
  // Undo action names.
  static constexpr const char* kActionSplit = "split";
  static constexpr const char* kActionRemove = "remove";
  static constexpr const char* kActionRollCut = "roll cut";
  static constexpr const char* kActionTrim = "trim";
  static constexpr const char* kActionFadeIn = "fade in";
  static constexpr const char* kActionFadeOut = "fade out";
  static constexpr const char* kActionRename = "rename";
  static constexpr const char* kActionExposure = "exposure";

  // Starts with no movie: no segments, selection -1, empty history, clean.
  // Calls no port.
  explicit EditSession(EditPorts ports);

  EditSession(const EditSession&) = delete;
  EditSession& operator=(const EditSession&) = delete;

  // ---- Movie lifecycle -------------------------------------------------

  // Installs the initial edit of a newly opened movie of `duration` seconds
  // (positive and finite, checked by the open flow): one segment [0,
  // duration], one empty name, no fades, selection 0, exposure 0, both
  // history stacks emptied and the Undo/Redo items back to "Undo"/"Redo", no
  // armed junction, any rename field removed unsaved. The timeline gets the
  // duration, the edit and playhead 0; the signature of this edit becomes the
  // exported baseline (clean); the overlay's exposure amount goes to 0.
  void resetForNewMovie(double duration);

  // After an export completed: the current edit becomes the exported one.
  void rebaselineExportedSignature();
  // The same with the edit that was actually exported (the export's copy),
  // so changes made while the export ran still count as unexported.
  void rebaselineExportedSignature(const kerfline::EditState& exported);

  // A movie still being written has grown to `newDuration` seconds (the
  // playback tick's growth rule). When it is longer than the timeline's
  // duration: a last segment ending within 1e-6 s of the old duration is
  // extended to the new one, the timeline gets the duration and the segments,
  // and a clean edit is re-baselined so growth alone never makes it dirty.
  // Does not recompute the dirty flag or redraw (the tick decides when).
  // Returns whether the movie had grown.
  bool growMovie(double newDuration);

  // ---- Edit state --------------------------------------------------------

  // A value copy of the live edit; the selection is narrowed to 32 bits.
  kerfline::EditState editState() const;
  // Replaces the live edit (selection sign-extended), resets the overlay's
  // exposure amount to 0 and re-applies the exposure preview. Records no undo
  // step, does not recompute the dirty flag and does not update the
  // timeline: callers follow with refreshDirtyState() and syncSegments().
  void applyEditState(const kerfline::EditState& state);
  void applyEditState(kerfline::EditState&& state);
  // dirty = signature of the live edit differs from the exported one.
  void refreshDirtyState();
  // Pushes the edit to the timeline, the fade preview amount at the player's
  // time to the overlay, and refreshes the editor at the player's time.
  void syncSegments();
  // Sets the live exposure (stops, stored as given), resets the overlay's
  // exposure amount to 0 and re-applies the exposure preview. Records no
  // undo step and does not recompute the dirty flag (the exposure controller
  // does both around it).
  void setExposure(double stops);
  // Selects segment `index` without pushing anything (callers sync).
  void setSelected(std::int64_t index) { _selected = index; }

  // ---- Edit operations -------------------------------------------------

  // Splits at the player's current time.
  void split();
  // Splits the first segment with start + 0.04 < x < end - 0.04; the right
  // half, selected afterwards, takes the fade-out and an empty name.
  void splitAtTime(double x);
  // Seeks to the context menu's time and splits there.
  void splitContext();
  // Removes the selected segment (never the last one left) and seeks to the
  // start of the segment that takes its place in the selection.
  void removeSelected();
  // Rolls the cut after segment i to x; phase 0 began, 1 changed, 2 ended,
  // -1 cancelled (ends like 2). Arms the junction for keyboard nudges. A drag
  // ending where it began changes nothing and records nothing; all changes of
  // one armed junction share one undo step.
  void rollJunction(std::int64_t i, double x, std::int64_t phase);
  // Trims segment k's start (leading) or end to x, clamped between its
  // neighbours (or 0 and the movie's end) with 0.1 s left in the clip.
  void trimSegment(std::int64_t k, bool leading, double x, std::int64_t phase);
  // Disarm, then trim the selected clip's start / end to the context time.
  void trimStartContext();
  void trimEndContext();
  // Adds a fade of min(1 s, room) to the selected clip or removes it.
  void toggleFadeIn();
  void toggleFadeOut();
  // Whether the selected clip has a fade of that kind or room (>= 0.05 s)
  // for one; false when nothing valid is selected. The busy test is not
  // part of it.
  bool fadeToggleAvailable(bool fadeIn) const;

  // ---- Context menu ------------------------------------------------------

  // Selects segment k, remembers t as the context time, syncs, and returns
  // the "Clip" menu for it; nullopt when k is not a segment index. Works
  // while busy (callers do not open the menu then).
  std::optional<ClipMenu> timelineMenuForSegment(std::int64_t k, double t);
  // The menu for Shift-F10: for the selected clip at the player's time
  // clamped into it; nullopt while busy or with no valid selection. The
  // caller pops it up at the middle of the bottom edge of the clip's rect.
  std::optional<ClipMenu> keyboardTimelineMenu();
  // Runs the command of a context menu item.
  void perform(ClipMenuAction action);

  // ---- Rename ------------------------------------------------------------

  // Opens the rename field over the selected clip (refused while busy or
  // with no valid selection). Disarms and replaces any open field.
  void beginRename();
  // Ends the rename: with `save`, stores the field's text without surrounding
  // white space (an undo step "rename" when it differs; empty text restores
  // the default name). Removes the field; step +1/-1 then renames the
  // next/previous clip, wrapping at both ends, else focus returns to the
  // timeline. Does nothing when no field is open. Works while busy.
  void finishRenameMoving(std::int64_t step, bool save);
  // Return in the field.
  void saveRename() { finishRenameMoving(0, true); }
  // Esc, Tab and Shift-Tab in the field; returns whether it handled the
  // command (false for Other, which the field then handles itself).
  bool doCommandBySelector(RenameFieldCommand command);
  bool isRenaming() const { return _renaming; }

  // ---- Undo and redo -------------------------------------------------

  // A snapshot of the live edit with the player's time and the action name.
  kerfline::SnapshotRef snapshotWithAction(const std::string& actionName) const;
  // Records an undo step for an edit about to be made (cap 50, empties redo).
  // Every recorded step also ends the armed roll's step: the next nudge of an
  // armed junction records its own.
  void pushUndo(const std::string& actionName);
  // Records a snapshot taken earlier; ignores null.
  void pushPreparedUndo(kerfline::SnapshotRef snapshot);
  void updateUndoMenus();
  // Menu and keyboard commands; refused while busy or with an empty stack.
  void undoEdit();
  void redoEdit();

  // ---- Keyboard-armed junction ---------------------------------------

  // Arrow and comma/period keys: when a junction is armed and its index is
  // a segment, rolls its boundary by delta (phase 2) and returns true (the
  // key is consumed even when the roll is refused); else false and the
  // caller moves the playhead instead. Deltas: +-5 s, +-frameStep().
  bool nudgeArmedJunction(double delta);
  // Esc: when no timeline drag is active and a junction is armed, disarms,
  // shows "Ready" and returns true; else false.
  bool cancelArmedJunction(bool timelineDragActive);
  // Forgets the armed junction and any prepared drag snapshot.
  void disarm();

  // Seconds per frame of the open movie (1 / nominal rate); the frame step
  // falls back to 1/30 when it is not positive.
  void setFrameDuration(double seconds) { _frameDuration = seconds; }
  double frameDuration() const { return _frameDuration; }
  double frameStep() const;

  // ---- Read access -------------------------------------------------------

  const std::vector<kerfline::TimeSpan>& segments() const { return _segments; }
  const std::vector<std::string>& names() const { return _names; }
  const std::vector<double>& fadeIns() const { return _fadeIns; }
  const std::vector<double>& fadeOuts() const { return _fadeOuts; }
  std::int64_t selected() const { return _selected; }
  double exposure() const { return _exposure; }
  bool dirty() const { return _dirty; }
  const std::string& exportedSignature() const { return _exportedSignature; }
  const kerfline::UndoHistory& history() const { return _history; }
  std::int64_t armedHandle() const { return _armedHandle; }
  bool armedLeading() const { return _armedLeading; }
  bool armedEditPushed() const { return _armedEditPushed; }
  const kerfline::SnapshotRef& trimSnapshot() const { return _trimSnapshot; }
  double contextTime() const { return _contextTime; }
  bool isBusy() const { return _ports.busy && _ports.busy(); }

 private:
  bool validSelection() const;
  void toggleFade(bool fadeIn);
  void restoreSnapshot(const kerfline::MGSegmentSnapshot& s);
  void setStatus(const std::string& text) { _ports.status->setStatus(text); }
  void removeRenameField();
  void setExportedBaseline(kerfline::EditState edit);

  EditPorts _ports;

  // The live edit.
  std::vector<kerfline::TimeSpan> _segments;
  std::vector<std::string> _names;
  std::vector<double> _fadeIns;
  std::vector<double> _fadeOuts;
  std::int64_t _selected = -1;
  double _exposure = 0;
  bool _dirty = false;
  // The signature of the edit last exported or opened, and that edit itself:
  // the dirty test compares values and needs the text only in rare cases.
  std::string _exportedSignature;
  kerfline::EditState _exportedEdit;

  kerfline::UndoHistory _history;

  // The junction that keyboard nudges roll (-1: none), whether they move the
  // segment's start instead of its end, whether its roll has recorded its
  // undo step, and the snapshot a cut drag took when it began.
  std::int64_t _armedHandle = -1;
  bool _armedLeading = false;
  bool _armedEditPushed = false;
  kerfline::SnapshotRef _trimSnapshot;

  double _contextTime = 0;
  bool _renaming = false;  // the rename field is shown
  double _frameDuration = 1.0 / 30;
};

}  // namespace kf
