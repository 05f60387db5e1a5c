// Edit operations, undo history and dirty tracking of the edit session,
// driven through recording ports as the window and the keys drive it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordingPorts.h"
#include "edit/EditState.h"
#include "edit/TimeMap.h"

using kerfline::TimeSpan;
using kftest::EditFixture;

namespace {

const std::string kDash = "\u2014";
const std::string kEnDash = "\u2013";

}  // namespace

TEST_F(EditFixture, NewMovieGetsTheInitialEditAndACleanBaseline) {
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 10}}));
  EXPECT_EQ(session.names(), (std::vector<std::string>{""}));
  EXPECT_EQ(session.fadeIns(), (std::vector<double>{0}));
  EXPECT_EQ(session.fadeOuts(), (std::vector<double>{0}));
  EXPECT_EQ(session.selected(), 0);
  EXPECT_EQ(session.exportedSignature(), "0|0:10::0:0;");
  EXPECT_FALSE(session.dirty());
  EXPECT_EQ(timeline.movieDuration, 10);
  EXPECT_EQ(timeline.segments, session.segments());
  EXPECT_EQ(timeline.selected, 0);
  EXPECT_EQ(timeline.refreshes, (std::vector<double>{0}));
  EXPECT_EQ(overlay.exposureAmounts, (std::vector<double>{0}));
  EXPECT_EQ(menu.undoTitle, "Undo");
  EXPECT_FALSE(menu.undoEnabled);
  EXPECT_EQ(menu.redoTitle, "Redo");
  EXPECT_FALSE(menu.redoEnabled);

  // A second movie replaces edit, history, arming and dirt.
  session.splitAtTime(4);
  session.rollJunction(0, 5, 2);
  ASSERT_TRUE(session.dirty());
  ASSERT_GE(session.armedHandle(), 0);
  session.resetForNewMovie(20);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 20}}));
  EXPECT_EQ(UndoDepth(), 0u);
  EXPECT_EQ(RedoDepth(), 0u);
  EXPECT_EQ(menu.undoTitle, "Undo");
  EXPECT_FALSE(menu.undoEnabled);
  EXPECT_EQ(session.armedHandle(), -1);
  EXPECT_FALSE(session.dirty());
  EXPECT_EQ(session.exportedSignature(), "0|0:20::0:0;");
}

TEST_F(EditFixture, SplitCarriesFadesAndNamesToTheRightHalves) {
  kerfline::EditState s = session.editState();
  s.names = {"Intro"};
  s.fadeIns = {1};
  s.fadeOuts = {1};
  session.applyEditState(s);
  player.time = 2;

  session.splitAtTime(5);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 5}, {5, 10}}));
  EXPECT_EQ(session.names(), (std::vector<std::string>{"Intro", ""}));
  EXPECT_EQ(session.fadeIns(), (std::vector<double>{1, 0}));
  EXPECT_EQ(session.fadeOuts(), (std::vector<double>{0, 1}));
  EXPECT_EQ(session.selected(), 1);
  EXPECT_EQ(status.last(), "Split at 00:05.000");
  EXPECT_EQ(timeline.segments, session.segments());
  EXPECT_EQ(timeline.selected, 1);
  EXPECT_EQ(menu.undoTitle, "Undo split");
  EXPECT_TRUE(menu.undoEnabled);
  ASSERT_EQ(UndoDepth(), 1u);
  EXPECT_EQ(session.history().undoStack()[0]->playhead, 2);

  // Undo puts the player back where it was when the split was made.
  player.time = 7;
  session.undoEdit();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 10}}));
  EXPECT_EQ(session.fadeOuts(), (std::vector<double>{1}));
  EXPECT_EQ(session.selected(), 0);
  EXPECT_EQ(player.seeks.back(), 2);
  EXPECT_EQ(status.last(), "Undo split");
  EXPECT_EQ(menu.undoTitle, "Undo");
  EXPECT_FALSE(menu.undoEnabled);
  EXPECT_EQ(menu.redoTitle, "Redo split");
  EXPECT_TRUE(menu.redoEnabled);

  session.redoEdit();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 5}, {5, 10}}));
  EXPECT_EQ(session.selected(), 1);
  EXPECT_EQ(player.seeks.back(), 7);  // where the player was when undo ran
  EXPECT_EQ(status.last(), "Redo split");
  EXPECT_EQ(menu.undoTitle, "Undo split");
  EXPECT_EQ(menu.redoTitle, "Redo");
  EXPECT_FALSE(menu.redoEnabled);
}

TEST_F(EditFixture, SplitTooCloseToAnEdgeDoesNothing) {
  const std::size_t statuses = status.texts.size();
  session.splitAtTime(0.04);
  session.splitAtTime(9.96);
  session.splitAtTime(10.5);
  EXPECT_EQ(session.segments().size(), 1u);
  EXPECT_EQ(UndoDepth(), 0u);
  EXPECT_EQ(status.texts.size(), statuses);
  session.splitAtTime(0.0401);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 0.0401}, {0.0401, 10}}));
}

TEST_F(EditFixture, SplitAtThePlayerAndAtTheContextTime) {
  player.time = 3;
  session.split();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 3}, {3, 10}}));
  ASSERT_TRUE(session.timelineMenuForSegment(1, 6.5));
  session.splitContext();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 3}, {3, 6.5}, {6.5, 10}}));
  EXPECT_EQ(player.seeks.back(), 6.5);
  EXPECT_EQ(session.selected(), 2);
  EXPECT_EQ(status.last(), "Split at 00:06.500");
}

TEST_F(EditFixture, RemoveSelectsTheFollowerOrTheNewLastAndSeeksToIt) {
  Install({{0, 3}, {3, 6}, {6, 10}}, 2);
  session.removeSelected();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 3}, {3, 6}}));
  EXPECT_EQ(session.selected(), 1);
  EXPECT_EQ(player.seeks.back(), 3);
  EXPECT_EQ(status.last(), "Segment removed");
  EXPECT_EQ(menu.undoTitle, "Undo remove");

  session.setSelected(0);
  session.removeSelected();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{3, 6}}));
  EXPECT_EQ(session.selected(), 0);
  EXPECT_EQ(player.seeks.back(), 3);

  // The last clip left stays.
  const std::size_t depth = UndoDepth();
  session.removeSelected();
  EXPECT_EQ(session.segments().size(), 1u);
  EXPECT_EQ(UndoDepth(), depth);

  session.undoEdit();
  session.undoEdit();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 3}, {3, 6}, {6, 10}}));
  EXPECT_EQ(session.selected(), 2);
}

TEST_F(EditFixture, RemoveRefusesAnInvalidSelection) {
  Install({{0, 3}, {3, 10}});
  session.setSelected(5);
  session.removeSelected();
  session.setSelected(-1);
  session.removeSelected();
  EXPECT_EQ(session.segments().size(), 2u);
  EXPECT_EQ(UndoDepth(), 0u);
}

TEST_F(EditFixture, RollDragPhasesPreviewThenCommitOneStep) {
  Install({{0, 4}, {6, 10}});
  player.time = 1.5;
  session.rollJunction(0, 5, 0);
  EXPECT_EQ(player.pauses, 1);
  EXPECT_EQ(player.seeks.back(), 4);  // parked at the cut as it was
  EXPECT_EQ(session.armedHandle(), 0);
  EXPECT_FALSE(session.armedLeading());
  EXPECT_TRUE(session.trimSnapshot());
  EXPECT_EQ(UndoDepth(), 0u);

  session.rollJunction(0, 9, 1);
  EXPECT_DOUBLE_EQ(player.seeks.back(), 7.9);
  EXPECT_EQ(status.last(), "Roll cut 1" + kEnDash + "2 preview " + kDash + " 00:07.900");
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 4}, {6, 10}}));  // preview only

  session.rollJunction(0, 7, 2);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 7}, {9, 10}}));
  EXPECT_EQ(player.seeks.back(), 7);
  EXPECT_EQ(status.last(),
            "Rolled cut 1" + kEnDash + "2 to 00:07.000 " + kDash + " arrows 5 s, , . frame, Esc ends");
  ASSERT_EQ(UndoDepth(), 1u);
  EXPECT_EQ(menu.undoTitle, "Undo roll cut");
  EXPECT_TRUE(session.armedEditPushed());
  EXPECT_FALSE(session.trimSnapshot());

  // The step returns to the edit and the playhead from before the drag.
  session.undoEdit();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 4}, {6, 10}}));
  EXPECT_EQ(player.seeks.back(), 1.5);
  EXPECT_EQ(session.armedHandle(), -1);
}

TEST_F(EditFixture, RollStopsAtTheLimits) {
  Install({{0, 4}, {6, 10}});
  session.rollJunction(0, 9, 2);
  EXPECT_DOUBLE_EQ(session.segments()[0].end, 7.9);
  EXPECT_DOUBLE_EQ(session.segments()[1].start, 9.9);

  Install({{0, 4}, {4, 10}});
  session.rollJunction(0, -1, 2);
  EXPECT_DOUBLE_EQ(session.segments()[0].end, 0.1);
  session.rollJunction(0, 20, 2);
  EXPECT_DOUBLE_EQ(session.segments()[0].end, 9.9);
  EXPECT_EQ(status.last(),
            "Rolled cut 1" + kEnDash + "2 to 00:09.900 " + kDash + " arrows 5 s, , . frame, Esc ends");

  // The movie's duration caps the cut even where the segment would allow more.
  Install({{0, 4}, {4, 10}});
  timeline.movieDuration = 8;
  session.rollJunction(0, 9.5, 2);
  EXPECT_EQ(session.segments()[0].end, 8);

  // No junction after the last clip, none before the first.
  const auto before = session.segments();
  session.rollJunction(1, 5, 2);
  session.rollJunction(-1, 5, 2);
  EXPECT_EQ(session.segments(), before);
}

TEST_F(EditFixture, DragThatEndsWhereItBeganThenNudgesMakeOneStep) {
  Install({{0, 4}, {4, 10}});
  session.rollJunction(0, 4, 0);
  session.rollJunction(0, 6, 1);
  session.rollJunction(0, 4, 2);
  EXPECT_EQ(UndoDepth(), 0u);
  EXPECT_EQ(RedoDepth(), 0u);
  EXPECT_TRUE(session.trimSnapshot());  // still waiting for a change
  EXPECT_EQ(session.armedHandle(), 0);

  EXPECT_TRUE(session.nudgeArmedJunction(5));
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 9}, {9, 10}}));
  ASSERT_EQ(UndoDepth(), 1u);
  EXPECT_EQ(session.history().undoStack()[0]->actionName, "roll cut");

  session.setFrameDuration(0.04);
  EXPECT_TRUE(session.nudgeArmedJunction(-session.frameStep()));
  EXPECT_TRUE(session.nudgeArmedJunction(-5));
  EXPECT_DOUBLE_EQ(session.segments()[0].end, 3.96);
  EXPECT_EQ(UndoDepth(), 1u);

  session.undoEdit();
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 4}, {4, 10}}));
  EXPECT_FALSE(session.nudgeArmedJunction(5));  // undo disarmed
}

TEST_F(EditFixture, NudgesUseTheFrameStepAndFallBackToOneThirtieth) {
  Install({{0, 4}, {4, 10}});
  EXPECT_FALSE(session.nudgeArmedJunction(1));
  session.rollJunction(0, 5, 2);
  session.setFrameDuration(0);
  EXPECT_DOUBLE_EQ(session.frameStep(), 1.0 / 30);
  EXPECT_TRUE(session.nudgeArmedJunction(session.frameStep()));
  EXPECT_DOUBLE_EQ(session.segments()[0].end, 5 + 1.0 / 30);
  // Pressed against a limit the key is still consumed and nothing moves.
  session.rollJunction(0, 9.9, 2);
  const auto before = session.segments();
  const std::size_t statuses = status.texts.size();
  EXPECT_TRUE(session.nudgeArmedJunction(5));
  EXPECT_EQ(session.segments(), before);
  EXPECT_EQ(status.texts.size(), statuses);
}

TEST_F(EditFixture, AnotherEditBetweenNudgesGetsItsOwnUndoStep) {
  Install({{0, 4}, {4, 10}});
  session.rollJunction(0, 5, 2);
  session.toggleFadeIn();  // selection is clip 1 after the roll
  session.nudgeArmedJunction(1);
  ASSERT_EQ(UndoDepth(), 3u);
  EXPECT_EQ(session.history().undoStack()[2]->actionName, "roll cut");
  session.undoEdit();  // only the nudge
  EXPECT_EQ(session.segments()[0].end, 5);
  EXPECT_EQ(session.fadeIns()[0], 1);
  session.undoEdit();
  EXPECT_EQ(session.fadeIns()[0], 0);
  EXPECT_EQ(session.segments()[0].end, 5);
}

TEST_F(EditFixture, EscDisarmsUnlessADragIsActive) {
  Install({{0, 4}, {4, 10}});
  EXPECT_FALSE(session.cancelArmedJunction(false));
  session.rollJunction(0, 5, 2);
  EXPECT_FALSE(session.cancelArmedJunction(true));
  EXPECT_EQ(session.armedHandle(), 0);
  EXPECT_TRUE(session.cancelArmedJunction(false));
  EXPECT_EQ(session.armedHandle(), -1);
  EXPECT_FALSE(session.armedEditPushed());
  EXPECT_EQ(status.last(), "Ready");
  // A later nudge is a playhead move, and a new roll is a new step.
  EXPECT_FALSE(session.nudgeArmedJunction(1));
  session.rollJunction(0, 6, 2);
  EXPECT_EQ(UndoDepth(), 2u);
}

TEST_F(EditFixture, TrimClampsBetweenNeighboursAndTheMovie) {
  Install({{1, 4}, {6, 9}});
  session.trimSegment(0, true, -2, 2);
  EXPECT_EQ(session.segments()[0].start, 0);
  EXPECT_EQ(status.last(), "Trimmed clip start to 00:00.000");
  EXPECT_EQ(player.seeks.back(), 0);
  session.trimSegment(0, false, 7, 2);
  EXPECT_EQ(session.segments()[0].end, 6);
  EXPECT_EQ(status.last(), "Trimmed clip end to 00:06.000");
  session.trimSegment(1, true, 5, 2);  // a clip's start may not pass the previous end
  EXPECT_EQ(session.segments()[1].start, 6);
  EXPECT_EQ(session.selected(), 1);
  session.trimSegment(1, true, 8.95, 2);
  EXPECT_DOUBLE_EQ(session.segments()[1].start, 8.9);  // 0.1 s stays
  session.trimSegment(1, false, 50, 2);
  EXPECT_EQ(session.segments()[1].end, 10);  // the movie's end
  EXPECT_EQ(UndoDepth(), 4u);                // the clamped start trim that moved nothing recorded nothing
  EXPECT_EQ(menu.undoTitle, "Undo trim");

  // Trims clamp fades that no longer fit.
  Install({{0, 4}, {4, 10}});
  session.setSelected(0);
  session.toggleFadeIn();
  session.toggleFadeOut();
  session.trimSegment(0, false, 1.5, 2);
  EXPECT_EQ(session.fadeIns()[0], 1);
  EXPECT_DOUBLE_EQ(session.fadeOuts()[0], 0.5);
}

TEST_F(EditFixture, ContextTrimsDisarmAndUseTheContextTime) {
  Install({{0, 5}, {5, 10}});
  session.rollJunction(0, 4, 2);
  ASSERT_TRUE(session.timelineMenuForSegment(1, 7));
  session.trimStartContext();
  EXPECT_EQ(session.armedHandle(), -1);
  EXPECT_EQ(session.segments()[1].start, 7);
  ASSERT_TRUE(session.timelineMenuForSegment(0, 2));
  session.trimEndContext();
  EXPECT_EQ(session.segments()[0].end, 2);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 2}, {7, 10}}));
}

TEST_F(EditFixture, TrimOfAClipShorterThanTheMinimumLeavesItAlone) {
  Install({{0, 0.05}, {0.05, 10}});
  session.trimSegment(0, true, 0.02, 2);
  session.trimSegment(0, false, 0.03, 2);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 0.05}, {0.05, 10}}));
  EXPECT_EQ(UndoDepth(), 0u);
  session.trimSegment(1, true, std::nan(""), 2);
  EXPECT_EQ(session.segments()[1].start, 0.05);
}

TEST_F(EditFixture, FadeTogglesWithRoomAndRefusal) {
  Install({{0, 0.5}, {0.5, 1.53}, {1.53, 10}});
  session.setSelected(0);
  session.toggleFadeIn();
  EXPECT_EQ(session.fadeIns()[0], 0.5);
  EXPECT_EQ(status.last(), "Fade in 0.5 s " + kDash + " renders on export (re-encode)");
  EXPECT_EQ(menu.undoTitle, "Undo fade in");
  session.toggleFadeIn();
  EXPECT_EQ(session.fadeIns()[0], 0);
  EXPECT_EQ(status.last(), "Fade in removed");

  session.setSelected(1);
  session.toggleFadeOut();
  EXPECT_EQ(session.fadeOuts()[1], 1);
  EXPECT_EQ(status.last(), "Fade out 1.0 s " + kDash + " renders on export (re-encode)");
  const std::size_t depth = UndoDepth();
  session.toggleFadeIn();  // 1.03 s clip, 1 s fade-out: 0.03 s of room
  EXPECT_EQ(status.last(), "This clip is too short to fade");
  EXPECT_EQ(session.fadeIns()[1], 0);
  EXPECT_EQ(UndoDepth(), depth);
  EXPECT_FALSE(session.fadeToggleAvailable(true));
  EXPECT_TRUE(session.fadeToggleAvailable(false));
  session.toggleFadeOut();
  EXPECT_EQ(status.last(), "Fade out removed");

  // The fade preview follows the player after each change.
  session.setSelected(2);
  player.time = 2.03;
  session.toggleFadeIn();
  EXPECT_NEAR(overlay.blackAmounts.back(), 0.5, 1e-12);
  session.undoEdit();
  EXPECT_EQ(status.last(), "Undo fade in");
}

TEST_F(EditFixture, BusyRefusalsLeaveNoTrace) {
  Install({{0, 4}, {4, 10}});
  session.rollJunction(0, 5, 2);
  session.toggleFadeIn();
  session.undoEdit();             // one step to redo
  session.rollJunction(0, 5, 0);  // armed, a drag prepared but not changed
  ASSERT_EQ(session.armedHandle(), 0);
  ASSERT_TRUE(session.timelineMenuForSegment(1, 7));

  const kerfline::EditState before = session.editState();
  const std::size_t undo = UndoDepth(), redo = RedoDepth();
  const std::size_t statuses = status.texts.size(), seeks = player.seeks.size(), edits = timeline.edits;
  const std::string undoTitle = menu.undoTitle, redoTitle = menu.redoTitle;
  player.time = 3;
  busy = true;
  session.split();
  session.splitAtTime(2);
  session.splitContext();
  session.removeSelected();
  session.rollJunction(0, 7, 0);
  session.rollJunction(0, 7, 1);
  session.rollJunction(0, 7, 2);
  EXPECT_TRUE(session.nudgeArmedJunction(1));  // the key is consumed, nothing moves
  session.trimSegment(1, false, 8, 2);
  session.trimStartContext();
  session.trimEndContext();
  session.toggleFadeIn();
  session.toggleFadeOut();
  session.redoEdit();
  session.undoEdit();
  session.beginRename();
  EXPECT_FALSE(session.keyboardTimelineMenu());
  busy = false;

  EXPECT_EQ(session.editState(), before);
  EXPECT_EQ(UndoDepth(), undo);
  EXPECT_EQ(RedoDepth(), redo);
  EXPECT_EQ(status.texts.size(), statuses);
  EXPECT_EQ(player.seeks.size(), seeks);
  EXPECT_EQ(timeline.edits, edits);
  EXPECT_EQ(menu.undoTitle, undoTitle);
  EXPECT_EQ(menu.redoTitle, redoTitle);
  EXPECT_FALSE(field.shown);
  EXPECT_EQ(session.armedHandle(), 0);
  EXPECT_TRUE(session.trimSnapshot());
}

TEST_F(EditFixture, HistoryKeepsTheLastFiftySteps) {
  for (int i = 1; i <= 51; ++i) session.splitAtTime(i * 0.19);
  ASSERT_EQ(session.segments().size(), 52u);
  EXPECT_EQ(UndoDepth(), 50u);
  for (int i = 0; i < 50; ++i) session.undoEdit();
  EXPECT_EQ(UndoDepth(), 0u);
  EXPECT_EQ(RedoDepth(), 50u);
  EXPECT_FALSE(menu.undoEnabled);
  EXPECT_EQ(menu.undoTitle, "Undo");
  // The first split fell off the history: the 51st undo is refused.
  const std::size_t statuses = status.texts.size();
  session.undoEdit();
  EXPECT_EQ(status.texts.size(), statuses);
  EXPECT_EQ(session.segments().size(), 2u);
  EXPECT_EQ(session.segments()[0].end, 0.19);

  // An edit after undos empties redo.
  session.redoEdit();
  session.redoEdit();
  EXPECT_EQ(RedoDepth(), 48u);
  EXPECT_EQ(session.segments().size(), 4u);
  session.splitAtTime(9.5);
  EXPECT_EQ(RedoDepth(), 0u);
  EXPECT_EQ(menu.redoTitle, "Redo");
  EXPECT_FALSE(menu.redoEnabled);
  EXPECT_LE(UndoDepth() + RedoDepth(), 50u);
}

TEST_F(EditFixture, DirtyFollowsTheSignatureBackToTheExportedEdit) {
  EXPECT_FALSE(session.dirty());
  session.splitAtTime(5);
  EXPECT_TRUE(session.dirty());
  session.setSelected(0);  // selecting is not an edit
  session.refreshDirtyState();
  EXPECT_TRUE(session.dirty());
  session.undoEdit();
  EXPECT_FALSE(session.dirty());
  session.redoEdit();
  EXPECT_TRUE(session.dirty());

  // Exported: the split edit is the new baseline.
  session.rebaselineExportedSignature();
  EXPECT_FALSE(session.dirty());
  session.toggleFadeIn();
  EXPECT_TRUE(session.dirty());
  session.undoEdit();
  EXPECT_FALSE(session.dirty());
  session.undoEdit();  // back before the split: differs from the export
  EXPECT_TRUE(session.dirty());
  session.redoEdit();
  EXPECT_FALSE(session.dirty());

  // Names with the signature's separators take the text comparison.
  session.beginRename();
  field.typed = "Act 1: Arrival; night";
  session.saveRename();
  EXPECT_TRUE(session.dirty());
  session.rebaselineExportedSignature();
  EXPECT_FALSE(session.dirty());
  session.undoEdit();
  EXPECT_TRUE(session.dirty());
  session.redoEdit();
  EXPECT_FALSE(session.dirty());
}

TEST_F(EditFixture, EditsMadeDuringAnExportStayUnexported) {
  const kerfline::EditState exported = session.editState();
  session.splitAtTime(5);  // e.g. a rename finished while the export ran
  session.rebaselineExportedSignature(exported);
  EXPECT_TRUE(session.dirty());
  EXPECT_EQ(session.exportedSignature(), "0|0:10::0:0;");
}

TEST_F(EditFixture, ExposureIsPartOfEverySnapshot) {
  kerfline::EditState s = session.editState();
  s.exposure = 0.5;
  session.pushUndo("exposure");
  session.applyEditState(s);
  session.refreshDirtyState();
  EXPECT_TRUE(session.dirty());
  EXPECT_EQ(session.exportedSignature(), "0|0:10::0:0;");
  const int previews = overlay.exposurePreviews;
  session.undoEdit();
  EXPECT_EQ(session.exposure(), 0);
  EXPECT_EQ(overlay.exposurePreviews, previews + 1);
  EXPECT_EQ(status.last(), "Undo exposure");
  EXPECT_FALSE(session.dirty());
  session.redoEdit();
  EXPECT_EQ(session.exposure(), 0.5);
  // Other edits keep the exposure in their steps.
  session.splitAtTime(5);
  session.undoEdit();
  EXPECT_EQ(session.exposure(), 0.5);
}

TEST_F(EditFixture, ApplyEditStateResetsTheExposureAmountOnly) {
  kerfline::EditState s = session.editState();
  s.segments = {{1, 2}};
  s.selected = 0;
  const int edits = timeline.edits;
  const bool dirty = session.dirty();
  session.applyEditState(s);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{1, 2}}));
  EXPECT_EQ(overlay.exposureAmounts.back(), 0);
  EXPECT_EQ(timeline.edits, edits);
  EXPECT_EQ(session.dirty(), dirty);
  EXPECT_EQ(UndoDepth(), 0u);
  // The live selection is 64-bit; the value copy narrows and restores it.
  s.selected = -1;
  session.applyEditState(s);
  EXPECT_EQ(session.selected(), -1);
}

TEST_F(EditFixture, GrowthExtendsTheLastClipAndKeepsACleanEditClean) {
  EXPECT_TRUE(session.growMovie(12));
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 12}}));
  EXPECT_EQ(timeline.movieDuration, 12);
  EXPECT_EQ(timeline.segments, session.segments());
  session.refreshDirtyState();
  EXPECT_FALSE(session.dirty());
  EXPECT_FALSE(session.growMovie(11));

  // A trimmed end stays; a dirty edit stays dirty.
  session.trimSegment(0, false, 8, 2);
  EXPECT_TRUE(session.growMovie(15));
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 8}}));
  session.refreshDirtyState();
  EXPECT_TRUE(session.dirty());
}
