#include "edit/UndoHistory.h"

#include <utility>

namespace kerfline {

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void UndoHistory::push(SnapshotRef snapshot) {
  if (!snapshot) return;
  undo_.push_back(std::move(snapshot));
  if (undo_.size() > kLimit) undo_.erase(undo_.begin());
  redo_.clear();
}

SnapshotRef UndoHistory::popUndo() {
  if (undo_.empty()) return nullptr;
  SnapshotRef s = std::move(undo_.back());
  undo_.pop_back();
  return s;
}

SnapshotRef UndoHistory::popRedo() {
  if (redo_.empty()) return nullptr;
  SnapshotRef s = std::move(redo_.back());
  redo_.pop_back();
  return s;
}

void UndoHistory::appendUndo(SnapshotRef snapshot) {
  if (snapshot) undo_.push_back(std::move(snapshot));
}

void UndoHistory::appendRedo(SnapshotRef snapshot) {
  if (snapshot) redo_.push_back(std::move(snapshot));
}

void UndoHistory::clear() {
  undo_.clear();
  redo_.clear();
}

std::string UndoHistory::undoTitle() const {
  return undo_.empty() ? std::string("Undo") : "Undo " + LowerAscii(undo_.back()->actionName);
}

std::string UndoHistory::redoTitle() const {
  return redo_.empty() ? std::string("Redo") : "Redo " + LowerAscii(redo_.back()->actionName);
}

}  // namespace kerfline
