// Export, quit and close, recent movies and folder stepping, driven through
// the real window's menu bar with scripted export sessions and dialogs, in
// virtual time.
#include <sys/stat.h>

#include <QProgressBar>

#include "WindowFixture.h"
#include "app/rules/MovieMemory.h"

namespace kf::test {
namespace {

namespace fs = std::filesystem;

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Files in the folder other than the ones named.
std::vector<std::string> Others(const fs::path& dir, std::set<std::string> known) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (!known.count(e.path().filename().string())) out.push_back(e.path().filename().string());
  return out;
}

QString VisibleErrorAlert(QWidget* window) {
  QString text;
  for (auto* box : window->findChildren<QMessageBox*>())
    if (box->isVisible()) text = box->text();
  return text;
}

class WindowExportTest : public WindowFixture {
 protected:
  WindowExportTest() { launch(); }

  // Opens demo.mp4 of the test folder and splits it at 4 s.
  std::string openAndSplit() {
    const std::string source = file("demo.mp4", "original movie");
    open(source);
    player.time = 4;
    key(Qt::Key_S);
    EXPECT_TRUE(delegate->edit().dirty());
    return source;
  }

  bool transportEnabled() const { return window->playButton->isEnabled(); }
};

TEST_F(WindowExportTest, ExportAsShowsProgressInStatusAndTitleAndCancels) {
  openAndSplit();
  desktop.saveAnswer = at("demo-cut.mp4");
  choose(MenuCommand::ExportDocument);
  ASSERT_EQ(desktop.saves.size(), 1u);
  EXPECT_EQ(desktop.saves[0].proposedName, "demo-cut.mp4");
  EXPECT_EQ(desktop.saves[0].folder, dir.string());
  EXPECT_EQ(desktop.saves[0].allowedExtension, "mp4");
  ASSERT_TRUE(delegate->isExportRunning());
  EXPECT_EQ(item(MenuCommand::ExportDocument)->text(), "Cancel Export");
  EXPECT_EQ(window->windowTitle(), "0% — demo.mp4 — Kerfline");
  EXPECT_EQ(status(), "Exporting 0%");
  EXPECT_TRUE(window->progressBar->isVisible());
  EXPECT_FALSE(transportEnabled());

  sessions.last()->progressValue = 0.42;
  scheduler.advance(0.1);
  EXPECT_EQ(window->windowTitle(), "42% — demo.mp4 — Kerfline");
  EXPECT_EQ(status().rfind("Exporting 42%", 0), 0u) << status();
  EXPECT_EQ(window->progressBar->value(), 420);
  EXPECT_EQ(window->status->elideMode, Qt::ElideMiddle) << "a long progress text keeps its percentage";

  // The same item cancels.
  choose(MenuCommand::ExportDocument);
  EXPECT_EQ(status(), "Cancelling export…");
  scheduler.runPending();
  EXPECT_FALSE(delegate->isExportRunning());
  EXPECT_EQ(status(), "Export cancelled");
  EXPECT_EQ(window->windowTitle(), "demo.mp4 — Kerfline");
  EXPECT_EQ(item(MenuCommand::ExportDocument)->text(), "Export As…");
  EXPECT_FALSE(window->progressBar->isVisible());
  EXPECT_TRUE(transportEnabled());
  EXPECT_EQ(Others(dir, {"demo.mp4"}), std::vector<std::string>{}) << "no partial output";
  EXPECT_TRUE(delegate->edit().dirty());
  player.time = 10;
  key(Qt::Key_S);
  EXPECT_EQ(window->status->elideMode, Qt::ElideLeft) << "other texts keep their end";
}

TEST_F(WindowExportTest, CompletedExportCleansTheEditAndCanBeShown) {
  openAndSplit();
  showMenu(menu->fileMenu);
  EXPECT_FALSE(item(MenuCommand::ShowLastExport)->isEnabled());
  desktop.saveAnswer = at("demo-cut.mp4");
  choose(MenuCommand::ExportDocument);
  sessions.last()->complete();
  scheduler.runPending();
  EXPECT_EQ(status(), "Exported demo-cut.mp4");
  EXPECT_EQ(Contents(at("demo-cut.mp4")), "edited movie");
  EXPECT_FALSE(delegate->edit().dirty());
  choose(MenuCommand::ShowLastExport);
  EXPECT_EQ(desktop.revealed, std::vector<std::string>{at("demo-cut.mp4")});
  // Deleted since: the item is disabled.
  fs::remove(at("demo-cut.mp4"));
  showMenu(menu->fileMenu);
  EXPECT_FALSE(item(MenuCommand::ShowLastExport)->isEnabled());
}

TEST_F(WindowExportTest, FailuresShowAlertsWithTheirTexts) {
  openAndSplit();
  desktop.saveAnswer = at("demo-cut.mp4");
  choose(MenuCommand::ExportDocument);
  sessions.last()->fail(Error{"FFmpeg", -28, "No space left on device"});
  scheduler.runPending();
  EXPECT_EQ(VisibleErrorAlert(window), "No space left on device");
  EXPECT_EQ(status(), "No space left on device");
  EXPECT_FALSE(fs::exists(at("demo-cut.mp4")));
  for (auto* box : window->findChildren<QMessageBox*>()) box->close();
  QCoreApplication::processEvents();

  // An untouched movie is copied byte for byte; a copy that cannot read its
  // source says why.
  delegate->edit().undoEdit();
  ASSERT_FALSE(delegate->edit().dirty());
  ::chmod(at("demo.mp4").c_str(), 0);
  if (::access(at("demo.mp4").c_str(), R_OK) == 0) GTEST_SKIP() << "running as a user that reads anything";
  desktop.saveAnswer = at("copy.mp4");
  choose(MenuCommand::ExportDocument);
  EXPECT_EQ(desktop.saves.back().proposedName, "demo-copy.mp4");
  EXPECT_EQ(desktop.saves.back().allowedExtension, "");
  ASSERT_TRUE(scheduler.runUntil([&] { return !delegate->isExportRunning(); }));
  EXPECT_EQ(VisibleErrorAlert(window), "Lossless copy failed: Permission denied");
  EXPECT_FALSE(fs::exists(at("copy.mp4")));
}

TEST_F(WindowExportTest, SeparateClipsGoToTheChosenFolder) {
  openAndSplit();
  menu->outputItems[1]->trigger();
  fs::create_directories(dir / "clips");
  desktop.folderAnswer = (dir / "clips").string();
  sessions.immediate = true;
  choose(MenuCommand::ExportDocument);
  EXPECT_EQ(desktop.folderStarts, std::vector<std::string>{dir.string() + "|Export Clips"});
  EXPECT_TRUE(desktop.saves.empty());
  ASSERT_TRUE(scheduler.runUntil([&] { return !delegate->isExportRunning(); }));
  EXPECT_EQ(status(), "Exported 2 clips");
  EXPECT_TRUE(fs::exists(dir / "clips" / "clip-01.mp4"));
  EXPECT_TRUE(fs::exists(dir / "clips" / "clip-02.mp4"));
  choose(MenuCommand::ShowLastExport);
  EXPECT_EQ(desktop.revealed, std::vector<std::string>{(dir / "clips").string()});
}

TEST_F(WindowExportTest, SaveInPlaceReplacesTheOriginalKeepingItsPermissions) {
  const std::string source = openAndSplit();
  ::chmod(source.c_str(), 0640);
  QString message;
  AnswerNextAlert("Replace Original", &message);
  choose(MenuCommand::SaveInPlace);
  EXPECT_EQ(message, "Replace “demo.mp4” with this edit?");
  ASSERT_TRUE(delegate->isExportRunning());
  EXPECT_EQ(Contents(source), "original movie") << "untouched until the new movie is complete";
  sessions.last()->complete();
  scheduler.runPending();
  // "Saved and safely replaced the original", then the movie opens afresh.
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  EXPECT_EQ(status(), source);
  EXPECT_EQ(delegate->edit().segments().size(), 1u);
  EXPECT_FALSE(delegate->edit().dirty());
  EXPECT_EQ(Contents(source), "edited movie");
  struct stat st {};
  ASSERT_EQ(::stat(source.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Others(dir, {"demo.mp4"}), std::vector<std::string>{}) << "no temporary sibling left";
}

// After a save in place that was cancelled or failed, the next ordinary
// export writes its own file and never the original.
TEST_F(WindowExportTest, AnExportAfterAnAbandonedSaveInPlaceLeavesTheOriginal) {
  const std::string source = openAndSplit();
  QString message;
  AnswerNextAlert("Replace Original", &message);
  choose(MenuCommand::SaveInPlace);
  choose(MenuCommand::ExportDocument);  // "Cancel Export"
  scheduler.runPending();
  EXPECT_EQ(status(), "Export cancelled");

  AnswerNextAlert("Replace Original", &message);
  choose(MenuCommand::SaveInPlace);
  sessions.last()->fail(Error{"FFmpeg", -5, "Input/output error"});
  scheduler.runPending();
  EXPECT_EQ(status(), "Input/output error");
  EXPECT_EQ(Contents(source), "original movie");

  desktop.saveAnswer = at("other.mp4");
  choose(MenuCommand::ExportDocument);
  sessions.last()->complete();
  scheduler.runPending();
  EXPECT_EQ(status(), "Exported other.mp4");
  EXPECT_EQ(Contents(source), "original movie");
  EXPECT_EQ(Contents(at("other.mp4")), "edited movie");
  EXPECT_EQ(Others(dir, {"demo.mp4", "other.mp4"}), std::vector<std::string>{});
}

TEST_F(WindowExportTest, OptimizeAsksFirst) {
  openAndSplit();
  QString message;
  AnswerNextAlert("Cancel", &message);
  choose(MenuCommand::OptimizeForEditing);
  EXPECT_EQ(message, "Rebuild the index in “demo.mp4”?");
  EXPECT_FALSE(delegate->isExportRunning());
  AnswerNextAlert("Optimize and Replace", &message);
  choose(MenuCommand::OptimizeForEditing);
  ASSERT_TRUE(delegate->isExportRunning());
  ASSERT_EQ(sessions.last()->request.plan.segments.size(), 1u) << "the whole movie, not the edit";
  EXPECT_EQ(sessions.last()->request.plan.segments[0].start, 0);
  EXPECT_EQ(sessions.last()->request.plan.segments[0].end, 20);
  sessions.last()->complete();
  scheduler.runPending();
  EXPECT_EQ(Contents(at("demo.mp4")), "edited movie");
  EXPECT_EQ(Others(dir, {"demo.mp4"}), std::vector<std::string>{});
}

TEST_F(WindowExportTest, CloseDuringAnExportWaitsForItsEndWithoutASecondPrompt) {
  openAndSplit();
  desktop.saveAnswer = at("demo-cut.mp4");
  choose(MenuCommand::ExportDocument);
  QString message;
  AnswerNextAlert("Keep Exporting", &message);
  EXPECT_FALSE(window->close());
  EXPECT_EQ(message, "Cancel the export and close Kerfline?");
  EXPECT_TRUE(delegate->isExportRunning());
  EXPECT_TRUE(window->isVisible());

  AnswerNextAlert("Cancel Export and Close", &message);
  message.clear();
  EXPECT_FALSE(window->close()) << "the close waits for the export";
  EXPECT_EQ(message, "Cancel the export and close Kerfline?");
  EXPECT_TRUE(window->isVisible());
  message.clear();
  scheduler.runPending();  // the cancelled session's completion
  EXPECT_FALSE(delegate->isExportRunning());
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(message.isEmpty()) << "asked again: " << message.toStdString();
  EXPECT_FALSE(fs::exists(at("demo-cut.mp4")));
}

TEST_F(WindowExportTest, QuitDuringAnExportEndsAfterIt) {
  openAndSplit();
  desktop.saveAnswer = at("demo-cut.mp4");
  choose(MenuCommand::ExportDocument);
  QString message;
  AnswerNextAlert("Keep Exporting", &message);
  EXPECT_EQ(delegate->applicationShouldTerminate(), MGAppDelegate::TerminateReply::Cancel);
  EXPECT_EQ(message, "Cancel the export and quit Kerfline?");
  EXPECT_TRUE(delegate->isExportRunning());

  AnswerNextAlert("Cancel Export and Quit", &message);
  choose(MenuCommand::Quit);
  EXPECT_EQ(quits, 0);
  scheduler.runPending();
  EXPECT_FALSE(delegate->isExportRunning());
  EXPECT_EQ(quits, 1);
}

TEST_F(WindowExportTest, QuitWithADirtyEditAsksOnce) {
  openAndSplit();
  QString message;
  AnswerNextAlert("Cancel", &message);
  choose(MenuCommand::Quit);
  EXPECT_EQ(message, "Quit without exporting your edits?");
  EXPECT_EQ(quits, 0);
  EXPECT_EQ(delegate->edit().segments().size(), 2u);
  AnswerNextAlert("Quit Without Exporting", &message);
  choose(MenuCommand::Quit);
  EXPECT_EQ(quits, 1);
}

// A close deferred behind the byte-for-byte copy completes when the copy
// ends, whether the cancel reached it or it had already finished.
TEST_F(WindowExportTest, CloseDeferredBehindAByteCopyCompletesWhenTheCopyEnds) {
  const std::string source = file("demo.mp4", std::string(8 << 20, 'x'));
  open(source);
  desktop.saveAnswer = at("demo-copy.mp4");
  choose(MenuCommand::ExportDocument);
  ASSERT_TRUE(delegate->isExportRunning());
  EXPECT_EQ(status(), "Copying source without modification…");
  QString message;
  AnswerNextAlert("Cancel Export and Close", &message);
  EXPECT_FALSE(window->close());
  EXPECT_TRUE(window->isVisible());
  ASSERT_TRUE(scheduler.runUntil([&] { return !delegate->isExportRunning(); }));
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(Contents(source).size(), 8u << 20);
}

TEST_F(WindowExportTest, OpenRequestsWhileAMovieIsOpenStartASecondProcess) {
  delegate->applicationOpenURLs({});
  const std::string a = file("a.mp4"), b = file("b.mp4");
  delegate->applicationOpenURLs({a, b});
  scheduler.runPending();
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  EXPECT_EQ(window->windowTitle(), "a.mp4 — Kerfline");
  EXPECT_TRUE(desktop.started.empty());
  player.time = 4;
  key(Qt::Key_S);
  delegate->applicationOpenURLs({b});
  scheduler.runPending();
  EXPECT_EQ(desktop.started, (std::vector<std::vector<std::string>>{{b}}));
  EXPECT_EQ(window->windowTitle(), "a.mp4 — Kerfline");
  EXPECT_EQ(delegate->edit().segments().size(), 2u);
  // A relative name that looks like an option is handed over as a path.
  delegate->applicationOpenURLs({"-x.mp4"});
  ASSERT_EQ(desktop.started.size(), 2u);
  EXPECT_EQ(desktop.started[1][0].front(), '/');
  desktop.startError = Error{"QProcess", 0, "Process failed to start"};
  delegate->applicationOpenURLs({b});
  EXPECT_EQ(status(), "Process failed to start");
}

TEST_F(WindowExportTest, RecentMoviesAndFolderStepping) {
  for (const char* n : {"ep10.mp4", "ep9.mp4", "Ep1.mov", "notes.txt", ".hidden.mp4"}) file(n);
  showMenu(menu->recentMenu);
  ASSERT_EQ(menu->recentMenu->actions().size(), 1);
  EXPECT_EQ(menu->recentMenu->actions()[0]->text(), "No Recent Movies");
  showMenu(menu->folderMenu);
  EXPECT_EQ(menu->folderMenu->actions()[0]->text(), "No Video Open");
  showMenu(menu->fileMenu);
  EXPECT_FALSE(item(MenuCommand::NextFolderVideo)->isEnabled());

  open(at("ep9.mp4"));
  EXPECT_EQ(status(), at("ep9.mp4") + " · 2 of 3 in folder (Ctrl+Alt+↑ Ctrl+Alt+↓)");
  showMenu(menu->folderMenu);
  QStringList names;
  QString ticked;
  for (QAction* a : menu->folderMenu->actions()) {
    names << a->text();
    if (a->isChecked()) ticked = a->text();
  }
  EXPECT_EQ(names, (QStringList{"Ep1.mov", "ep9.mp4", "ep10.mp4"}));
  EXPECT_EQ(ticked, "ep9.mp4");
  choose(MenuCommand::NextFolderVideo);
  scheduler.runPending();
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  EXPECT_EQ(window->windowTitle(), "ep10.mp4 — Kerfline");
  showMenu(menu->fileMenu);
  EXPECT_FALSE(item(MenuCommand::NextFolderVideo)->isEnabled()) << "the last video";
  EXPECT_TRUE(item(MenuCommand::PreviousFolderVideo)->isEnabled());

  showMenu(menu->folderMenu);
  menu->folderMenu->actions()[0]->trigger();
  scheduler.runPending();
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  EXPECT_EQ(window->windowTitle(), "Ep1.mov — Kerfline");

  showMenu(menu->recentMenu);
  QStringList recent;
  for (QAction* a : menu->recentMenu->actions()) recent << (a->isSeparator() ? QStringLiteral("-") : a->text());
  EXPECT_EQ(recent, (QStringList{QString::fromStdString("1  " + at("Ep1.mov")),
                                 QString::fromStdString("2  " + at("ep10.mp4")),
                                 QString::fromStdString("3  " + at("ep9.mp4")), "-", "Clear Menu"}));
  // A recent entry opens its movie.
  menu->recentMenu->actions()[2]->trigger();
  scheduler.runPending();
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  EXPECT_EQ(window->windowTitle(), "ep9.mp4 — Kerfline");

  // Eleven movies: ten entries, the tenth numbered 0.
  for (int i = 0; i < 11; ++i) open(file("m" + std::to_string(i) + ".mp4"));
  showMenu(menu->recentMenu);
  const auto actions = menu->recentMenu->actions();
  ASSERT_EQ(actions.size(), 12);
  EXPECT_EQ(actions[0]->text(), QString::fromStdString("1  " + at("m10.mp4")));
  EXPECT_EQ(actions[9]->text(), QString::fromStdString("0  " + at("m1.mp4")));
  actions[11]->trigger();  // Clear Menu
  showMenu(menu->recentMenu);
  EXPECT_EQ(menu->recentMenu->actions()[0]->text(), "No Recent Movies");
  EXPECT_FALSE(settings.contains(kRecentFilesKey));
}

TEST_F(WindowExportTest, WindowGeometryIsSavedOnCloseAndComesBack) {
  const std::string a = file("a.mp4");
  open(a);
  window->setGeometry(40, 50, 1000, 820);
  const std::string key = delegate->session().sourceIdentityKey();
  ASSERT_FALSE(key.empty());
  EXPECT_TRUE(window->close());
  auto frame = RestorableVideoFrame(settings, key, a);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 1000);
  EXPECT_EQ(frame->height, 820);

  delegate.reset();
  launch();
  open(a);
  EXPECT_EQ(window->size(), QSize(1000, 820));
}

}  // namespace
}  // namespace kf::test
