// The menu bar of the real window: its items in order, validation before a
// menu shows and before a shortcut fires, the plain keys shown but left to
// the key table, and the export settings' ticks kept in the settings.
#include <QSignalSpy>

#include "WindowFixture.h"

namespace kf::test {
namespace {

QStringList Titles(QMenu* m) {
  QStringList out;
  for (QAction* a : m->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text().remove('&'));
  return out;
}

class MenuBarTest : public WindowFixture {
 protected:
  MenuBarTest() { launch(); }
};

TEST_F(MenuBarTest, MenusInOrderWithTheirKeys) {
  QStringList top;
  for (QAction* a : menu->bar->actions()) top << a->text().remove('&');
  EXPECT_EQ(top, (QStringList{"File", "Edit", "View", "Window", "Help"}));
  EXPECT_EQ(Titles(menu->fileMenu),
            (QStringList{"Open…", "Open Recent", "In This Folder", "Next Video in Folder\tCtrl+Alt+↓",
                         "Previous Video in Folder\tCtrl+Alt+↑", "-", "Save (Replace Original)", "Export As…",
                         "Show Last Export", "Optimize for Editing (Rebuild Index)", "Export Settings", "-",
                         "Quit Kerfline"}));
  EXPECT_EQ(Titles(menu->exportSettingsMenu),
            (QStringList{"One Joined Movie", "Separate Numbered Clips", "-", "Lossless (Stream Copy)",
                         "Frame-Accurate Re-encode", "Smart Render", "-", "Source Size", "1080p", "720p", "480p"}));
  EXPECT_EQ(Titles(menu->editMenu),
            (QStringList{"Undo", "Redo", "-", "Split at Playhead\tS", "Remove Selected Segment\tDelete",
                         "Rename Selected Clip\tF2", "Toggle Fade In", "Toggle Fade Out", "-", "Cut", "Copy", "Paste",
                         "Select All"}));
  EXPECT_EQ(Titles(menu->viewMenu), (QStringList{"Enter Full Screen\tF11", "-", "Auto-Fix Exposure",
                                                 "Exposure Brighter\t]", "Exposure Darker\t[", "Reset Exposure", "-",
                                                 "Mute\tM"}));
  EXPECT_EQ(Titles(menu->windowMenu), (QStringList{"Minimize", "Zoom"}));
  EXPECT_EQ(Titles(menu->helpMenu), (QStringList{"About Kerfline"}));
  EXPECT_EQ(item(MenuCommand::OpenDocument)->shortcut(), QKeySequence("Ctrl+O"));
  EXPECT_EQ(item(MenuCommand::SaveInPlace)->shortcut(), QKeySequence("Ctrl+S"));
  EXPECT_EQ(item(MenuCommand::ExportDocument)->shortcut(), QKeySequence("Ctrl+Shift+S"));
  EXPECT_EQ(item(MenuCommand::Quit)->shortcut(), QKeySequence("Ctrl+Q"));
  EXPECT_EQ(item(MenuCommand::RedoEdit)->shortcut(), QKeySequence("Ctrl+Shift+Z"));
  // Keys of the key table are shown only.
  for (MenuCommand c : {MenuCommand::Split, MenuCommand::RemoveSelected, MenuCommand::ExposureBrighter,
                        MenuCommand::ExposureDarker, MenuCommand::NextFolderVideo, MenuCommand::ToggleFullScreen})
    EXPECT_TRUE(item(c)->shortcut().isEmpty()) << item(c)->text().toStdString();
  // The content keeps its size under the bar.
  EXPECT_EQ(window->root->size(), QSize(980, 700));
  EXPECT_EQ(window->root->y(), menu->bar->height());
}

TEST_F(MenuBarTest, MenusAreValidatedWhenTheyOpen) {
  showMenu(menu->fileMenu);
  showMenu(menu->editMenu);
  showMenu(menu->viewMenu);
  EXPECT_TRUE(item(MenuCommand::OpenDocument)->isEnabled());
  for (MenuCommand c : {MenuCommand::ExportDocument, MenuCommand::SaveInPlace, MenuCommand::Split,
                        MenuCommand::ToggleMute, MenuCommand::ToggleFullScreen, MenuCommand::NextFolderVideo})
    EXPECT_FALSE(item(c)->isEnabled()) << item(c)->text().toStdString();

  open("/m/demo.mp4");
  showMenu(menu->editMenu);
  EXPECT_TRUE(item(MenuCommand::Split)->isEnabled());
  EXPECT_FALSE(item(MenuCommand::RemoveSelected)->isEnabled());
  player.time = 4;
  key(Qt::Key_S);
  ASSERT_EQ(delegate->edit().segments().size(), 2u) << "the bare key splits once";
  showMenu(menu->editMenu);
  EXPECT_TRUE(item(MenuCommand::RemoveSelected)->isEnabled());
  EXPECT_TRUE(item(MenuCommand::UndoEdit)->isEnabled());
  key(Qt::Key_Delete);
  EXPECT_EQ(delegate->edit().segments().size(), 1u) << "the bare key removes once";

  // Mute is ticked from the player.
  key(Qt::Key_M);
  showMenu(menu->viewMenu);
  EXPECT_TRUE(item(MenuCommand::ToggleMute)->isEnabled());
  EXPECT_TRUE(item(MenuCommand::ToggleMute)->isChecked());
  choose(MenuCommand::ToggleMute);
  EXPECT_FALSE(player.isMuted());

  // A fade item ticks after its command ran.
  choose(MenuCommand::ToggleFadeOut);
  showMenu(menu->editMenu);
  EXPECT_TRUE(item(MenuCommand::ToggleFadeOut)->isChecked());
  EXPECT_FALSE(item(MenuCommand::ToggleFadeIn)->isChecked());
}

TEST_F(MenuBarTest, ADisabledCommandNeverRunsFromItsKey) {
  open("/m/demo.mp4");
  player.time = 4;
  key(Qt::Key_S);
  QSignalSpy undo(item(MenuCommand::UndoEdit), &QAction::triggered);
  QSignalSpy save(item(MenuCommand::SaveInPlace), &QAction::triggered);
  desktop.saveAnswer = at("out.mp4");
  key(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);  // Export As…
  ASSERT_TRUE(delegate->isExportRunning());
  // The undo item was enabled by the last edit; the key finds it disabled.
  key(Qt::Key_Z, Qt::ControlModifier);
  key(Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(undo.count(), 0);
  EXPECT_EQ(save.count(), 0);
  EXPECT_EQ(delegate->edit().segments().size(), 2u);
  // The export item stays enabled and cancels.
  key(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
  scheduler.runPending();
  EXPECT_FALSE(delegate->isExportRunning());
  EXPECT_EQ(status(), "Export cancelled");
  key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(undo.count(), 1);
  EXPECT_EQ(delegate->edit().segments().size(), 1u);
}

TEST_F(MenuBarTest, ExportSettingsTickAndPersist) {
  auto ticked = [](const std::vector<QAction*>& items) {
    std::vector<bool> out;
    for (QAction* a : items) out.push_back(a->isChecked());
    return out;
  };
  EXPECT_EQ(ticked(menu->outputItems), (std::vector<bool>{true, false}));
  EXPECT_EQ(ticked(menu->modeItems), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(ticked(menu->sizeItems), (std::vector<bool>{true, false, false, false}));
  menu->modeItems[2]->trigger();  // smart render
  EXPECT_EQ(ticked(menu->modeItems), (std::vector<bool>{false, false, true}));
  EXPECT_EQ(settings.integerValue(kExportModeKey), 2);
  menu->sizeItems[2]->trigger();  // 720p: only the re-encode scales
  EXPECT_EQ(ticked(menu->modeItems), (std::vector<bool>{false, true, false}));
  EXPECT_EQ(ticked(menu->sizeItems), (std::vector<bool>{false, false, true, false}));
  EXPECT_EQ(settings.integerValue(kExportSizeKey), 2);
  EXPECT_EQ(settings.integerValue(kExportModeKey), 1);
  menu->modeItems[0]->trigger();  // lossless keeps 720p
  EXPECT_EQ(ticked(menu->modeItems), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(ticked(menu->sizeItems), (std::vector<bool>{false, false, true, false}));
  menu->outputItems[1]->trigger();
  EXPECT_EQ(settings.boolValue(kExportSeparateKey), true);

  // The next launch reads them back; a mode outside the table ticks nothing.
  settings.setValue(kExportModeKey, std::int64_t{5});
  delegate.reset();
  launch();
  EXPECT_EQ(ticked(menu->outputItems), (std::vector<bool>{false, true}));
  EXPECT_EQ(ticked(menu->modeItems), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(ticked(menu->sizeItems), (std::vector<bool>{false, false, true, false}));
}

}  // namespace
}  // namespace kf::test
