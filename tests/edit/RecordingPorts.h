// Scripted stand-ins for the world around the edit session (player, timeline,
// overlay, status line, Edit menu, rename field) that record what the session
// tells them, so tests drive the session as the window and the keys do.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "edit/EditPorts.h"
#include "edit/EditSession.h"

namespace kftest {

struct RecordingPlayer : kf::EditPlayerPort {
  double time = 0;
  std::vector<double> seeks;
  int pauses = 0;
  double currentTime() const override { return time; }
  void seek(double seconds) override {
    seeks.push_back(seconds);
    time = seconds;
  }
  void pause() override { ++pauses; }
};

struct RecordingTimeline : kf::EditTimelinePort {
  std::vector<kerfline::TimeSpan> segments;
  std::vector<std::string> names;
  std::vector<double> fadeIns, fadeOuts;
  std::int64_t selected = -99;
  double movieDuration = 0;
  int edits = 0;
  std::vector<double> refreshes;
  void setEdit(const std::vector<kerfline::TimeSpan>& s, const std::vector<std::string>& n,
               const std::vector<double>& fi, const std::vector<double>& fo, std::int64_t sel) override {
    segments = s, names = n, fadeIns = fi, fadeOuts = fo, selected = sel;
    ++edits;
  }
  double duration() const override { return movieDuration; }
  void setDuration(double seconds) override { movieDuration = seconds; }
  // Clips 100 points wide side by side on a track 60 points high at y 10.
  kf::Rect rectForSegment(std::int64_t i) const override {
    return {static_cast<double>(i) * 100, 10, 100, 60};
  }
  void refreshEditorUIAtSeconds(double seconds) override { refreshes.push_back(seconds); }
};

struct RecordingOverlay : kf::EditOverlayPort {
  std::vector<double> blackAmounts;
  std::vector<double> exposureAmounts;
  int exposurePreviews = 0;
  void setBlackAmount(double a) override { blackAmounts.push_back(a); }
  void setExposureAmount(double s) override { exposureAmounts.push_back(s); }
  void applyExposurePreview() override { ++exposurePreviews; }
};

struct RecordingStatus : kf::StatusLinePort {
  std::vector<std::string> texts;
  void setStatus(const std::string& text) override { texts.push_back(text); }
  std::string last() const { return texts.empty() ? std::string() : texts.back(); }
};

struct RecordingUndoMenu : kf::UndoMenuPort {
  std::string undoTitle = "?", redoTitle = "?";
  bool undoEnabled = true, redoEnabled = true;
  void setUndoItem(const std::string& t, bool e) override { undoTitle = t, undoEnabled = e; }
  void setRedoItem(const std::string& t, bool e) override { redoTitle = t, redoEnabled = e; }
};

struct RecordingRenameField : kf::RenameFieldPort {
  bool shown = false;
  std::string typed;  // what the user has in the field
  std::string initialText, placeholder;
  kf::Rect frame;
  int shows = 0, removals = 0, timelineFocus = 0;
  void showField(const std::string& t, const std::string& p, const kf::Rect& f) override {
    shown = true, typed = t, initialText = t, placeholder = p, frame = f;
    ++shows;
  }
  std::string text() const override { return typed; }
  void removeField() override {
    shown = false;
    ++removals;
  }
  void focusTimeline() override { ++timelineFocus; }
};

// A session over a freshly opened 10-second movie.
class EditFixture : public ::testing::Test {
 protected:
  EditFixture() : session(Ports()) { session.resetForNewMovie(10); }

  kf::EditPorts Ports() {
    kf::EditPorts p;
    p.player = &player;
    p.timeline = &timeline;
    p.overlay = &overlay;
    p.status = &status;
    p.undoMenu = &menu;
    p.renameField = &field;
    p.busy = [this] { return busy; };
    return p;
  }

  // Replaces the edit without history, as if the clips had been made so.
  void Install(std::vector<kerfline::TimeSpan> segs, std::int32_t selected = 0) {
    kerfline::EditState s;
    s.segments = std::move(segs);
    s.selected = selected;
    kerfline::NormalizeEdit(s);
    session.applyEditState(s);
    session.refreshDirtyState();
    session.syncSegments();
  }

  std::size_t UndoDepth() const { return session.history().undoStack().size(); }
  std::size_t RedoDepth() const { return session.history().redoStack().size(); }

  bool busy = false;
  RecordingPlayer player;
  RecordingTimeline timeline;
  RecordingOverlay overlay;
  RecordingStatus status;
  RecordingUndoMenu menu;
  RecordingRenameField field;
  kf::EditSession session;
};

}  // namespace kftest
