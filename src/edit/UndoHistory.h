// Undo and redo history of the edit: two stacks of whole-edit snapshots.
//
// Each snapshot is a complete copy of the edit plus the player position when
// it was taken and the lower-case name of the edit it precedes ("split",
// "remove", "roll cut", "trim", "fade in", "fade out", "rename", "exposure").
// Snapshots are shared read-only once made: pushing never copies them and
// nothing modifies them afterwards. Main thread only (not synchronised).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "edit/EditState.h"

namespace kerfline {

struct MGSegmentSnapshot {
  std::vector<TimeSpan> segments;
  std::vector<std::string> names;
  std::vector<double> fadeIns;
  std::vector<double> fadeOuts;
  std::int64_t selected = 0;
  double playhead = 0;  // source seconds
  double exposure = 0;
  std::string actionName;
};

using SnapshotRef = std::shared_ptr<const MGSegmentSnapshot>;

// Lower-cases ASCII letters only (action names are ASCII; no locale).
std::string LowerAscii(std::string text);

class UndoHistory {
 public:
  // The undo stack never holds more than this many steps.
  static constexpr std::size_t kLimit = 50;

  // Records a step for an edit about to be made: appends, drops the oldest
  // step beyond kLimit, and empties the redo stack. A null snapshot is ignored.
  void push(SnapshotRef snapshot);

  // Removes and returns the newest undo (redo) step, or null when the stack is
  // empty.
  SnapshotRef popUndo();
  SnapshotRef popRedo();

  // Appends without trimming or touching the other stack (used while undoing
  // and redoing, which only move steps between the stacks).
  void appendUndo(SnapshotRef snapshot);
  void appendRedo(SnapshotRef snapshot);

  void clear();

  bool canUndo() const { return !undo_.empty(); }
  bool canRedo() const { return !redo_.empty(); }
  // "Undo" / "Redo", or followed by a space and the newest step's lower-cased
  // action name ("Undo roll cut").
  std::string undoTitle() const;
  std::string redoTitle() const;

  // Oldest first; the next step to undo (redo) is last.
  const std::vector<SnapshotRef>& undoStack() const { return undo_; }
  const std::vector<SnapshotRef>& redoStack() const { return redo_; }

 private:
  std::vector<SnapshotRef> undo_;
  std::vector<SnapshotRef> redo_;
};

}  // namespace kerfline
