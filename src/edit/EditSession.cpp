#include "edit/EditSession.h"

#include <cassert>
#include <cmath>
#include <memory>
#include <utility>

#include "edit/EditOps.h"
#include "edit/EditText.h"
#include "edit/TimeMap.h"

namespace kf {

using kerfline::EditState;
using kerfline::MGSegmentSnapshot;
using kerfline::SnapshotRef;
using kerfline::TimeSpan;

namespace {

// Status texts name junctions and clips by their 1-based position.
std::string Num(std::int64_t v) {
  return std::to_string(v);
}

double FadeAt(const std::vector<double>& fades, std::size_t i) {
  return i < fades.size() ? fades[i] : 0.0;
}

}  // namespace

EditSession::EditSession(EditPorts ports) : _ports(std::move(ports)) {
  assert(_ports.player && _ports.timeline && _ports.overlay && _ports.status && _ports.undoMenu &&
         _ports.renameField);
}

// ---- Movie lifecycle -------------------------------------------------------

void EditSession::resetForNewMovie(double duration) {
  removeRenameField();
  _segments.assign(1, TimeSpan{0, duration});
  _names.assign(1, std::string());
  _fadeIns.assign(1, 0.0);
  _fadeOuts.assign(1, 0.0);
  _selected = 0;
  _exposure = 0;
  _history.clear();
  updateUndoMenus();
  disarm();
  _contextTime = 0;

  EditTimelinePort& timeline = *_ports.timeline;
  timeline.setDuration(duration);
  timeline.setEdit(_segments, _names, _fadeIns, _fadeOuts, _selected);
  timeline.refreshEditorUIAtSeconds(0);

  setExportedBaseline(editState());
  refreshDirtyState();
  _ports.overlay->setExposureAmount(0);
}

void EditSession::setExportedBaseline(EditState edit) {
  _exportedSignature = kerfline::Signature(edit);
  _exportedEdit = std::move(edit);
}

void EditSession::rebaselineExportedSignature() {
  setExportedBaseline(editState());
  refreshDirtyState();
}

void EditSession::rebaselineExportedSignature(const EditState& exported) {
  setExportedBaseline(exported);
  refreshDirtyState();
}

bool EditSession::growMovie(double newDuration) {
  EditTimelinePort& timeline = *_ports.timeline;
  const double old = timeline.duration();
  if (!std::isfinite(newDuration) || !std::isfinite(old) || !(newDuration > old)) return false;
  if (!_segments.empty() && std::fabs(_segments.back().end - old) < kerfline::kEdgeEpsilon) {
    _segments.back().end = newDuration;
  }
  timeline.setDuration(newDuration);
  timeline.setEdit(_segments, _names, _fadeIns, _fadeOuts, _selected);
  if (!_dirty) setExportedBaseline(editState());
  return true;
}

// ---- Edit state ------------------------------------------------------------

EditState EditSession::editState() const {
  EditState s;
  s.segments = _segments;
  s.names = _names;
  s.fadeIns = _fadeIns;
  s.fadeOuts = _fadeOuts;
  s.selected = static_cast<std::int32_t>(_selected);
  s.exposure = _exposure;
  return s;
}

void EditSession::applyEditState(const EditState& state) {
  _segments = state.segments;
  _names = state.names;
  _fadeIns = state.fadeIns;
  _fadeOuts = state.fadeOuts;
  _selected = state.selected;
  _exposure = state.exposure;
  _ports.overlay->setExposureAmount(0);
  _ports.overlay->applyExposurePreview();
}

void EditSession::applyEditState(EditState&& state) {
  _segments = std::move(state.segments);
  _names = std::move(state.names);
  _fadeIns = std::move(state.fadeIns);
  _fadeOuts = std::move(state.fadeOuts);
  _selected = state.selected;
  _exposure = state.exposure;
  _ports.overlay->setExposureAmount(0);
  _ports.overlay->applyExposurePreview();
}

void EditSession::setExposure(double stops) {
  _exposure = stops;
  _ports.overlay->setExposureAmount(0);
  _ports.overlay->applyExposurePreview();
}

void EditSession::refreshDirtyState() {
  _dirty = !kerfline::SameSignature(_segments, _names, _fadeIns, _fadeOuts, _exposure, _exportedEdit);
}

void EditSession::syncSegments() {
  _ports.timeline->setEdit(_segments, _names, _fadeIns, _fadeOuts, _selected);
  const double t = _ports.player->currentTime();
  _ports.overlay->setBlackAmount(mg::FadeBlackAmount(t, _segments, _fadeIns, _fadeOuts));
  _ports.timeline->refreshEditorUIAtSeconds(t);
}

bool EditSession::validSelection() const {
  return _selected >= 0 && static_cast<std::uint64_t>(_selected) < _segments.size();
}

// ---- Split and remove --------------------------------------------------

void EditSession::split() {
  if (isBusy()) return;
  splitAtTime(_ports.player->currentTime());
}

void EditSession::splitAtTime(double x) {
  if (isBusy() || _segments.empty()) return;
  disarm();
  EditState s = editState();
  kerfline::NormalizeEdit(s);
  std::size_t i = 0;
  for (; i < s.segments.size(); ++i) {
    const TimeSpan& seg = s.segments[i];
    if (seg.start + kerfline::kSplitMargin < x && x < seg.end - kerfline::kSplitMargin) break;
  }
  if (i == s.segments.size()) return;

  const double fadeOut = s.fadeOuts[i];
  const double oldEnd = s.segments[i].end;
  s.segments[i].end = x;
  s.segments.insert(s.segments.begin() + static_cast<std::ptrdiff_t>(i) + 1, TimeSpan{x, oldEnd});
  s.names.insert(s.names.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::string());
  s.fadeIns.insert(s.fadeIns.begin() + static_cast<std::ptrdiff_t>(i) + 1, 0.0);
  s.fadeOuts.insert(s.fadeOuts.begin() + static_cast<std::ptrdiff_t>(i) + 1, fadeOut);
  s.fadeOuts[i] = 0;
  s.selected = static_cast<std::int32_t>(i + 1);
  kerfline::NormalizeEdit(s);

  pushUndo(kActionSplit);
  applyEditState(std::move(s));
  refreshDirtyState();
  syncSegments();
  setStatus("Split at " + mg::Clock(x));
}

void EditSession::splitContext() {
  if (isBusy()) return;
  _ports.player->seek(_contextTime);
  splitAtTime(_contextTime);
}

void EditSession::removeSelected() {
  if (isBusy()) return;
  if (_segments.size() < 2 || !validSelection()) return;
  disarm();
  pushUndo(kActionRemove);

  EditState s = editState();
  kerfline::NormalizeEdit(s);
  const auto k = static_cast<std::ptrdiff_t>(s.selected);
  s.segments.erase(s.segments.begin() + k);
  s.names.erase(s.names.begin() + k);
  s.fadeIns.erase(s.fadeIns.begin() + k);
  s.fadeOuts.erase(s.fadeOuts.begin() + k);
  kerfline::NormalizeEdit(s);

  applyEditState(std::move(s));
  refreshDirtyState();
  syncSegments();
  if (_selected >= 0) _ports.player->seek(_segments[static_cast<std::size_t>(_selected)].start);
  setStatus("Segment removed");
}

// ---- Roll and trim -----------------------------------------------------

void EditSession::rollJunction(std::int64_t i, double x, std::int64_t phase) {
  if (isBusy() || i < 0 || static_cast<std::uint64_t>(i) + 1 >= _segments.size()) return;
  _selected = i;
  _armedHandle = i;
  _armedLeading = false;

  const double limit = _ports.timeline->duration();
  const double clamped = kerfline::ClampRollTime(_segments, i, x, limit);
  const double cut = _segments[static_cast<std::size_t>(i)].end;

  if (phase == 0) {
    _trimSnapshot = snapshotWithAction(kActionRollCut);
    _armedEditPushed = false;
    _ports.player->pause();
    _ports.player->seek(cut);
    return;
  }
  const std::string clips = Num(i + 1) + "\u2013" + Num(i + 2);
  if (phase == 1) {
    // The edit itself stays as it is during a drag; the timeline draws the
    // preview and the player shows the frame at the would-be cut.
    _ports.player->seek(clamped);
    setStatus("Roll cut " + clips + " preview \u2014 " + mg::Clock(clamped));
    return;
  }

  if (std::fabs(cut - clamped) < kerfline::kEdgeEpsilon) return;
  if (!_armedEditPushed) {
    SnapshotRef prepared = std::move(_trimSnapshot);
    if (prepared) {
      pushPreparedUndo(std::move(prepared));
    } else {
      pushUndo(kActionRollCut);
    }
    _trimSnapshot = nullptr;
    _armedEditPushed = true;
  }
  const kerfline::RollResult r = kerfline::RollCut(_segments, i, clamped, limit);
  if (!r.changed) return;
  mg::ClampFades(_segments, _fadeIns, _fadeOuts);
  refreshDirtyState();
  syncSegments();
  _ports.player->seek(r.time);
  setStatus("Rolled cut " + clips + " to " + mg::Clock(r.time) + " \u2014 arrows 5 s, , . frame, Esc ends");
}

void EditSession::trimSegment(std::int64_t k, bool leading, double x, std::int64_t /*phase*/) {
  if (isBusy() || k < 0 || static_cast<std::uint64_t>(k) >= _segments.size()) return;
  _selected = k;
  const auto idx = static_cast<std::size_t>(k);
  TimeSpan& seg = _segments[idx];
  double lo, hi;
  if (leading) {
    lo = idx > 0 ? _segments[idx - 1].end : 0.0;
    hi = seg.end - kerfline::kMinimumClip;
  } else {
    lo = seg.start + kerfline::kMinimumClip;
    hi = idx + 1 < _segments.size() ? _segments[idx + 1].start : _ports.timeline->duration();
  }
  double& edge = leading ? seg.start : seg.end;
  // With no room between the bounds (a clip already shorter than the minimum
  // against its neighbour or the movie's edge) or no usable time, the edge
  // stays: clamping would move it outside the clip's source material.
  double target = edge;
  if (lo <= hi && !std::isnan(x)) target = x < lo ? lo : (x > hi ? hi : x);
  if (std::fabs(edge - target) < kerfline::kEdgeEpsilon) {
    _trimSnapshot = nullptr;
    return;
  }
  SnapshotRef prepared = std::move(_trimSnapshot);
  if (prepared) {
    pushPreparedUndo(std::move(prepared));
  } else {
    pushUndo(kActionTrim);
  }
  _trimSnapshot = nullptr;
  edge = target;

  mg::ClampFades(_segments, _fadeIns, _fadeOuts);
  refreshDirtyState();
  syncSegments();
  _ports.player->seek(target);
  setStatus(std::string("Trimmed clip ") + (leading ? "start" : "end") + " to " + mg::Clock(target));
}

void EditSession::trimStartContext() {
  if (isBusy()) return;
  disarm();
  trimSegment(_selected, true, _contextTime, 2);
}

void EditSession::trimEndContext() {
  if (isBusy()) return;
  disarm();
  trimSegment(_selected, false, _contextTime, 2);
}

// ---- Fades -----------------------------------------------------------------

bool EditSession::fadeToggleAvailable(bool fadeIn) const {
  if (!validSelection()) return false;
  const auto k = static_cast<std::size_t>(_selected);
  const double f = FadeAt(fadeIn ? _fadeIns : _fadeOuts, k);
  const double other = FadeAt(fadeIn ? _fadeOuts : _fadeIns, k);
  return f > 0 || kerfline::FadeRoom(_segments[k], other) >= kerfline::kMinimumFade;
}

void EditSession::toggleFadeIn() {
  toggleFade(true);
}
void EditSession::toggleFadeOut() {
  toggleFade(false);
}

void EditSession::toggleFade(bool fadeIn) {
  if (isBusy() || !validSelection()) return;
  if (!fadeToggleAvailable(fadeIn)) {
    setStatus("This clip is too short to fade");
    return;
  }
  EditState s = editState();
  pushUndo(fadeIn ? kActionFadeIn : kActionFadeOut);
  if (!kerfline::ToggleFade(s, fadeIn)) return;
  applyEditState(std::move(s));
  refreshDirtyState();
  syncSegments();
  const double x =
      validSelection() ? FadeAt(fadeIn ? _fadeIns : _fadeOuts, static_cast<std::size_t>(_selected)) : 0;
  const char* kind = fadeIn ? "Fade in" : "Fade out";
  if (x > 0) {
    setStatus(std::string(kind) + " " + kerfline::FormatFixed1(x) +
              " s \u2014 renders on export (re-encode)");
  } else {
    setStatus(std::string(kind) + " removed");
  }
}

// ---- Context menu ----------------------------------------------------------

std::optional<ClipMenu> EditSession::timelineMenuForSegment(std::int64_t k, double t) {
  // An index past the last segment is refused like a negative one: there is
  // no clip to build the menu for.
  if (k < 0 || static_cast<std::uint64_t>(k) >= _segments.size()) return std::nullopt;
  _selected = k;
  _contextTime = t;
  syncSegments();

  const auto idx = static_cast<std::size_t>(k);
  const TimeSpan& seg = _segments[idx];
  const double fadeIn = FadeAt(_fadeIns, idx);
  const double fadeOut = FadeAt(_fadeOuts, idx);

  ClipMenu menu;
  menu.title = "Clip";
  auto item = [&menu](std::string title, ClipMenuAction action, bool enabled) {
    menu.items.push_back(ClipMenuItem{false, std::move(title), action, enabled});
  };
  auto separator = [&menu] {
    menu.items.push_back(ClipMenuItem{true, {}, ClipMenuAction::SplitContext, false});
  };

  item("Split Here", ClipMenuAction::SplitContext,
       seg.start + kerfline::kSplitMargin < t && t < seg.end - kerfline::kSplitMargin);
  separator();
  item("Trim Clip Start to Here", ClipMenuAction::TrimStartContext, true);
  item("Trim Clip End to Here", ClipMenuAction::TrimEndContext, true);
  separator();
  item(fadeIn == 0 ? "Fade In (1 s)" : "Remove Fade In", ClipMenuAction::ToggleFadeIn,
       fadeIn > 0 || kerfline::FadeRoom(seg, fadeOut) >= kerfline::kMinimumFade);
  item(fadeOut == 0 ? "Fade Out (1 s)" : "Remove Fade Out", ClipMenuAction::ToggleFadeOut,
       fadeOut > 0 || kerfline::FadeRoom(seg, fadeIn) >= kerfline::kMinimumFade);
  separator();
  item("Rename", ClipMenuAction::BeginRename, true);
  item("Remove", ClipMenuAction::RemoveSelected, _segments.size() >= 2);
  separator();
  item(_history.undoTitle(), ClipMenuAction::UndoEdit, _history.canUndo());
  item(_history.redoTitle(), ClipMenuAction::RedoEdit, _history.canRedo());
  return menu;
}

std::optional<ClipMenu> EditSession::keyboardTimelineMenu() {
  if (isBusy() || !validSelection()) return std::nullopt;
  const TimeSpan& seg = _segments[static_cast<std::size_t>(_selected)];
  double t = _ports.player->currentTime();
  if (!(t >= seg.start)) t = seg.start;  // also for not-a-number
  if (t > seg.end) t = seg.end;
  return timelineMenuForSegment(_selected, t);
}

void EditSession::perform(ClipMenuAction action) {
  switch (action) {
    case ClipMenuAction::SplitContext:
      splitContext();
      break;
    case ClipMenuAction::TrimStartContext:
      trimStartContext();
      break;
    case ClipMenuAction::TrimEndContext:
      trimEndContext();
      break;
    case ClipMenuAction::ToggleFadeIn:
      toggleFadeIn();
      break;
    case ClipMenuAction::ToggleFadeOut:
      toggleFadeOut();
      break;
    case ClipMenuAction::BeginRename:
      beginRename();
      break;
    case ClipMenuAction::RemoveSelected:
      removeSelected();
      break;
    case ClipMenuAction::UndoEdit:
      undoEdit();
      break;
    case ClipMenuAction::RedoEdit:
      redoEdit();
      break;
  }
}

// ---- Rename ----------------------------------------------------------------

void EditSession::removeRenameField() {
  if (!_renaming) return;
  // Cleared first: removing a field may make the toolkit end its editing,
  // which must find no rename left to finish.
  _renaming = false;
  _ports.renameField->removeField();
}

void EditSession::beginRename() {
  if (isBusy() || !validSelection()) return;
  disarm();
  removeRenameField();
  const auto k = static_cast<std::size_t>(_selected);
  const std::string text = mg::String(k < _names.size() ? _names[k] : std::string());
  kf::Rect frame = _ports.timeline->rectForSegment(_selected).insetBy(7, 19);
  frame.height = 24;
  _renaming = true;
  _ports.renameField->showField(text, "Clip " + Num(_selected + 1), frame);
}

void EditSession::finishRenameMoving(std::int64_t step, bool save) {
  if (!_renaming) return;
  if (save && _selected >= 0 && static_cast<std::uint64_t>(_selected) < _names.size()) {
    std::string name = kerfline::TrimWhitespace(_ports.renameField->text());
    auto& stored = _names[static_cast<std::size_t>(_selected)];
    if (name != stored) {
      pushUndo(kActionRename);
      stored = std::move(name);
      refreshDirtyState();
      syncSegments();
    }
  }
  removeRenameField();
  if (step != 0 && !_segments.empty()) {
    const auto n = static_cast<std::int64_t>(_segments.size());
    _selected = ((_selected + step) % n + n) % n;
    beginRename();
    // A refused rename (an export began meanwhile) leaves no field to type
    // into; the keyboard goes back to the timeline.
    if (!_renaming) _ports.renameField->focusTimeline();
  } else {
    _ports.renameField->focusTimeline();
  }
}

bool EditSession::doCommandBySelector(RenameFieldCommand command) {
  switch (command) {
    case RenameFieldCommand::CancelOperation:
      finishRenameMoving(0, false);
      return true;
    case RenameFieldCommand::InsertTab:
      finishRenameMoving(1, true);
      return true;
    case RenameFieldCommand::InsertBacktab:
      finishRenameMoving(-1, true);
      return true;
    case RenameFieldCommand::Other:
      return false;
  }
  return false;
}

// ---- Undo and redo ---------------------------------------------------------

SnapshotRef EditSession::snapshotWithAction(const std::string& actionName) const {
  auto s = std::make_shared<MGSegmentSnapshot>();
  s->segments = _segments;
  s->names = _names;
  s->fadeIns = _fadeIns;
  s->fadeOuts = _fadeOuts;
  s->selected = _selected;
  s->playhead = _ports.player->currentTime();
  s->exposure = _exposure;
  s->actionName = actionName;
  return s;
}

void EditSession::pushUndo(const std::string& actionName) {
  pushPreparedUndo(snapshotWithAction(actionName));
}

void EditSession::pushPreparedUndo(SnapshotRef snapshot) {
  if (!snapshot) return;
  _history.push(std::move(snapshot));
  // Another edit now lies between the armed roll and its next nudge: that
  // nudge records its own step, and a snapshot prepared before this edit
  // would undo it too.
  _armedEditPushed = false;
  _trimSnapshot = nullptr;
  updateUndoMenus();
}

void EditSession::updateUndoMenus() {
  _ports.undoMenu->setUndoItem(_history.undoTitle(), _history.canUndo());
  _ports.undoMenu->setRedoItem(_history.redoTitle(), _history.canRedo());
}

void EditSession::restoreSnapshot(const MGSegmentSnapshot& s) {
  // Restored as stored, without normalisation.
  _segments = s.segments;
  _names = s.names;
  _fadeIns = s.fadeIns;
  _fadeOuts = s.fadeOuts;
  _selected = s.selected;
  _exposure = s.exposure;
  _ports.overlay->applyExposurePreview();
  syncSegments();
  _ports.player->seek(s.playhead);
  refreshDirtyState();
}

void EditSession::undoEdit() {
  if (isBusy() || !_history.canUndo()) return;
  disarm();
  const SnapshotRef s = _history.popUndo();
  _history.appendRedo(snapshotWithAction(s->actionName));
  restoreSnapshot(*s);
  setStatus("Undo " + kerfline::LowerAscii(s->actionName));
  updateUndoMenus();
}

void EditSession::redoEdit() {
  if (isBusy() || !_history.canRedo()) return;
  disarm();
  const SnapshotRef s = _history.popRedo();
  _history.appendUndo(snapshotWithAction(s->actionName));
  restoreSnapshot(*s);
  setStatus("Redo " + kerfline::LowerAscii(s->actionName));
  updateUndoMenus();
}

// ---- Keyboard-armed junction -------------------------------------------

void EditSession::disarm() {
  _armedHandle = -1;
  _armedEditPushed = false;
  _trimSnapshot = nullptr;
}

bool EditSession::nudgeArmedJunction(double delta) {
  if (_armedHandle < 0 || static_cast<std::uint64_t>(_armedHandle) >= _segments.size()) return false;
  const TimeSpan& seg = _segments[static_cast<std::size_t>(_armedHandle)];
  const double boundary = _armedLeading ? seg.start : seg.end;
  rollJunction(_armedHandle, boundary + delta, 2);
  return true;
}

bool EditSession::cancelArmedJunction(bool timelineDragActive) {
  if (timelineDragActive || _armedHandle < 0) return false;
  disarm();
  setStatus("Ready");
  return true;
}

double EditSession::frameStep() const {
  return _frameDuration > 0 ? _frameDuration : 1.0 / 30;
}

}  // namespace kf
