// The clip context menu model and the in-place rename.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordingPorts.h"

using kerfline::TimeSpan;
using kf::ClipMenuAction;
using kf::RenameFieldCommand;
using kftest::EditFixture;

namespace {

// "Title:action:enabled" per item, "-" per separator.
std::vector<std::string> Describe(const kf::ClipMenu& menu) {
  std::vector<std::string> out;
  for (const kf::ClipMenuItem& item : menu.items) {
    if (item.separator) {
      out.push_back("-");
    } else {
      out.push_back(item.title + ":" + std::to_string(static_cast<int>(item.action)) + ":" +
                    (item.enabled ? "on" : "off"));
    }
  }
  return out;
}

}  // namespace

TEST_F(EditFixture, ClipMenuListsItsItemsInOrderWithTheirRules) {
  Install({{0, 5}, {5, 10}});
  player.time = 1;
  const std::size_t edits = timeline.edits;
  auto menu = session.timelineMenuForSegment(1, 7);
  ASSERT_TRUE(menu);
  EXPECT_EQ(session.selected(), 1);
  EXPECT_EQ(session.contextTime(), 7);
  EXPECT_EQ(timeline.edits, edits + 1);
  EXPECT_EQ(timeline.selected, 1);
  EXPECT_EQ(menu->title, "Clip");
  EXPECT_EQ(Describe(*menu),
            (std::vector<std::string>{"Split Here:0:on", "-", "Trim Clip Start to Here:1:on",
                                      "Trim Clip End to Here:2:on", "-", "Fade In (1 s):3:on",
                                      "Fade Out (1 s):4:on", "-", "Rename:5:on", "Remove:6:on", "-",
                                      "Undo:7:off", "Redo:8:off"}));

  // Near an edge no split; with fades their removal; with history its names.
  session.toggleFadeIn();
  session.toggleFadeOut();
  session.undoEdit();
  menu = session.timelineMenuForSegment(1, 5.04);
  ASSERT_TRUE(menu);
  EXPECT_EQ(Describe(*menu),
            (std::vector<std::string>{"Split Here:0:off", "-", "Trim Clip Start to Here:1:on",
                                      "Trim Clip End to Here:2:on", "-", "Remove Fade In:3:on",
                                      "Fade Out (1 s):4:on", "-", "Rename:5:on", "Remove:6:on", "-",
                                      "Undo fade in:7:on", "Redo fade out:8:on"}));
}

TEST_F(EditFixture, ClipMenuDisablesWhatTheClipCannotTake) {
  Install({{0, 1.03}});
  session.setSelected(0);
  session.toggleFadeOut();  // 1 s fade-out leaves 0.03 s for a fade-in
  auto menu = session.timelineMenuForSegment(0, 0.5);
  ASSERT_TRUE(menu);
  const auto items = Describe(*menu);
  EXPECT_EQ(items[5], "Fade In (1 s):3:off");
  EXPECT_EQ(items[6], "Remove Fade Out:4:on");
  EXPECT_EQ(items[9], "Remove:6:off");  // the only clip

  EXPECT_FALSE(session.timelineMenuForSegment(-1, 0.5));
  EXPECT_FALSE(session.timelineMenuForSegment(1, 0.5));  // no such clip
  EXPECT_EQ(session.selected(), 0);
}

TEST_F(EditFixture, ClipMenuCommandsRunTheOperations) {
  auto menu = session.timelineMenuForSegment(0, 4);
  ASSERT_TRUE(menu);
  session.perform(menu->items[0].action);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 4}, {4, 10}}));
  session.perform(ClipMenuAction::ToggleFadeOut);
  EXPECT_EQ(session.fadeOuts()[1], 1);
  session.perform(ClipMenuAction::UndoEdit);
  EXPECT_EQ(session.fadeOuts()[1], 0);
  session.perform(ClipMenuAction::RedoEdit);
  EXPECT_EQ(session.fadeOuts()[1], 1);
  session.perform(ClipMenuAction::RemoveSelected);
  EXPECT_EQ(session.segments(), (std::vector<TimeSpan>{{0, 4}}));
  session.perform(ClipMenuAction::BeginRename);
  EXPECT_TRUE(session.isRenaming());
}

TEST_F(EditFixture, KeyboardMenuUsesThePlayerTimeInsideTheSelectedClip) {
  Install({{0, 4}, {6, 10}}, 1);
  player.time = 2;  // before the clip: clamped to its start
  auto menu = session.keyboardTimelineMenu();
  ASSERT_TRUE(menu);
  EXPECT_EQ(session.contextTime(), 6);
  EXPECT_FALSE(menu->items[0].enabled);
  player.time = 8;
  menu = session.keyboardTimelineMenu();
  EXPECT_EQ(session.contextTime(), 8);
  EXPECT_TRUE(menu->items[0].enabled);
  player.time = 40;
  session.keyboardTimelineMenu();
  EXPECT_EQ(session.contextTime(), 10);
  session.setSelected(7);
  EXPECT_FALSE(session.keyboardTimelineMenu());
}

TEST_F(EditFixture, RenameOpensAFieldOverTheSelectedClip) {
  Install({{0, 4}, {4, 10}}, 1);
  session.rollJunction(0, 5, 2);
  session.setSelected(1);
  session.beginRename();
  ASSERT_TRUE(field.shown);
  EXPECT_TRUE(session.isRenaming());
  EXPECT_EQ(session.armedHandle(), -1);
  EXPECT_EQ(field.initialText, "");
  EXPECT_EQ(field.placeholder, "Clip 2");
  // Clip rect {100, 10, 100, 60} inset 7 and 19, then 24 high.
  EXPECT_EQ(field.frame, (kf::Rect{107, 29, 86, 24}));

  field.typed = "  Ending\n";
  session.saveRename();
  EXPECT_FALSE(field.shown);
  EXPECT_FALSE(session.isRenaming());
  EXPECT_EQ(session.names()[1], "Ending");
  EXPECT_EQ(timeline.names[1], "Ending");
  EXPECT_EQ(field.timelineFocus, 1);
  EXPECT_EQ(menu.undoTitle, "Undo rename");
  EXPECT_TRUE(session.dirty());

  // Reopening shows the stored name; an unchanged name records nothing.
  session.beginRename();
  EXPECT_EQ(field.initialText, "Ending");
  const std::size_t depth = UndoDepth();
  session.saveRename();
  EXPECT_EQ(UndoDepth(), depth);

  // Empty text brings back the default name.
  session.beginRename();
  field.typed = " \t";
  session.saveRename();
  EXPECT_EQ(session.names()[1], "");
  session.undoEdit();
  EXPECT_EQ(session.names()[1], "Ending");
  EXPECT_EQ(status.last(), "Undo rename");

  // Ending with no field open does nothing.
  const int focus = field.timelineFocus;
  session.saveRename();
  EXPECT_EQ(field.timelineFocus, focus);
}

TEST_F(EditFixture, TabAndShiftTabWalkTheClipsAndWrap) {
  Install({{0, 3}, {3, 6}, {6, 10}}, 2);
  session.beginRename();
  field.typed = "Three";
  EXPECT_TRUE(session.doCommandBySelector(RenameFieldCommand::InsertTab));
  EXPECT_EQ(session.names()[2], "Three");
  EXPECT_EQ(session.selected(), 0);
  ASSERT_TRUE(field.shown);
  EXPECT_EQ(field.placeholder, "Clip 1");
  EXPECT_EQ(field.frame.x, 7);

  field.typed = "One";
  EXPECT_TRUE(session.doCommandBySelector(RenameFieldCommand::InsertBacktab));
  EXPECT_EQ(session.names()[0], "One");
  EXPECT_EQ(session.selected(), 2);
  EXPECT_EQ(field.initialText, "Three");
  EXPECT_TRUE(session.doCommandBySelector(RenameFieldCommand::InsertBacktab));
  EXPECT_EQ(session.selected(), 1);
  EXPECT_EQ(field.timelineFocus, 0);  // the field kept the keyboard throughout

  field.typed = "discarded";
  EXPECT_TRUE(session.doCommandBySelector(RenameFieldCommand::CancelOperation));
  EXPECT_EQ(session.names(), (std::vector<std::string>{"One", "", "Three"}));
  EXPECT_FALSE(field.shown);
  EXPECT_EQ(field.timelineFocus, 1);
  EXPECT_EQ(UndoDepth(), 2u);

  EXPECT_FALSE(session.doCommandBySelector(RenameFieldCommand::Other));
  session.beginRename();
  EXPECT_FALSE(session.doCommandBySelector(RenameFieldCommand::Other));
  EXPECT_TRUE(field.shown);
}

TEST_F(EditFixture, RenameRefusalsAndEndingWhileBusy) {
  session.setSelected(3);
  session.beginRename();
  EXPECT_FALSE(field.shown);
  session.setSelected(0);

  // A second begin replaces the open field.
  session.beginRename();
  session.beginRename();
  EXPECT_EQ(field.shows, 2);
  EXPECT_EQ(field.removals, 1);

  // An export started meanwhile: the rename still ends and saves, but Tab
  // does not open another field and the keyboard goes back to the timeline.
  field.typed = "Take 1";
  busy = true;
  session.doCommandBySelector(RenameFieldCommand::InsertTab);
  busy = false;
  EXPECT_EQ(session.names()[0], "Take 1");
  EXPECT_FALSE(field.shown);
  EXPECT_FALSE(session.isRenaming());
  EXPECT_EQ(field.timelineFocus, 1);

  // Names that are not UTF-8 show as an empty field.
  kerfline::EditState s = session.editState();
  s.names[0] = "bad\xFF";
  session.applyEditState(s);
  session.beginRename();
  EXPECT_EQ(field.initialText, "");
  EXPECT_EQ(field.placeholder, "Clip 1");

  // Opening another movie drops the field unsaved.
  field.typed = "lost";
  session.resetForNewMovie(5);
  EXPECT_FALSE(field.shown);
  EXPECT_FALSE(session.isRenaming());
  EXPECT_EQ(session.names()[0], "");
}
