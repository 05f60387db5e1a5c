// The whole program's path from the window: the real window and menu bar,
// the real player (libmpv, no video output), the real movie preparation and
// FFmpeg export sessions. Only the dialogs are answered by the test. A
// generated movie whose frames show their numbers is cut into three clips,
// the middle one is removed, and the exported movie must show exactly the
// kept frames.
#include <sys/stat.h>

#include "DecodedMovie.h"
#include "WindowFixture.h"
#include "app/shell/MGMediaServices.h"
#include "platform/ffmpeg/TestMovies.h"
#include "platform/mpv/MpvPlayer.h"
#include "support/PlaybackSupport.h"

namespace kf::test {
namespace {

namespace fs = std::filesystem;
namespace tm = kf::testmovies;

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

std::vector<int> FrameNumbers(const std::string& path) {
  auto frames = testing::DecodeVideo(path);
  EXPECT_TRUE(frames.ok()) << path << ": " << (frames.ok() ? "" : frames.error().message);
  std::vector<int> out;
  if (frames.ok())
    for (const auto& f : *frames) out.push_back(f.number);
  return out;
}

class WindowEndToEndTest : public WindowFixture {
 protected:
  void SetUp() override {
    auto created = mpv::MpvPlayer::create(scheduler);
    ASSERT_TRUE(created.ok()) << created.error().message;
    mpvPlayer = *created;
    MGAppDelegate::Services s;
    s.scheduler = &scheduler;
    s.player = mpvPlayer.get();
    s.pictureView = new QWidget;
    s.settings = &settings;
    s.desktop = &desktop;
    s.quit = [this] { ++quits; };
    s.prepare = MGMakeMoviePreparer(scheduler);
    s.exportSessions = MGMakeExportSessions();
    delegate = std::make_unique<MGAppDelegate>(std::move(s));
    delegate->applicationDidFinishLaunching();
    window = delegate->window();
    menu = delegate->menuBar();
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    // 3 s at 30 frames a second: frames 0 to 89.
    const std::string generated = tm::ensure(tm::MovieSpec{});
    source = (dir / "take.mp4").string();
    fs::copy_file(generated, source);
  }
  void TearDown() override {
    delegate.reset();
    mpvPlayer.reset();
  }

  void openSource() {
    delegate->openURL(source);
    ASSERT_TRUE(scheduler.runUntil(
        [&] { return delegate->session().asset() && delegate->edit().segments().size() == 1 && window->timeline->isVisible(); },
        30));
    delegate->transport().pause();
  }

  // Cuts at 1 s and 2 s with the S key at the playhead, then removes the
  // middle clip with the Delete key.
  void cutOutTheMiddle() {
    for (double t : {1.0, 2.0}) {
      ASSERT_TRUE(testsupport::SeekAndWait(*mpvPlayer, scheduler, t));
      ASSERT_NEAR(delegate->transport().currentTime(), t, 1e-6);
      key(Qt::Key_S);
    }
    ASSERT_EQ(delegate->edit().segments().size(), 3u);
    delegate->edit().setSelected(1);
    key(Qt::Key_Delete);
    ASSERT_EQ(delegate->edit().segments().size(), 2u);
    EXPECT_EQ(status(), "Segment removed");
  }

  void waitForTheExport() {
    ASSERT_TRUE(scheduler.runUntil([&] { return !delegate->isExportRunning(); }, 60));
  }

  std::shared_ptr<mpv::MpvPlayer> mpvPlayer;
  std::string source;
  const std::vector<int> kept = [] {
    auto v = Range(0, 30);
    auto tail = Range(60, 90);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
  }();
};

TEST_F(WindowEndToEndTest, ExportAsWritesExactlyTheKeptFrames) {
  openSource();
  cutOutTheMiddle();
  desktop.saveAnswer = at("take-cut.mp4");
  choose(MenuCommand::ExportDocument);
  ASSERT_EQ(desktop.saves.size(), 1u);
  EXPECT_EQ(desktop.saves[0].proposedName, "take-cut.mp4");
  EXPECT_TRUE(delegate->isExportRunning());
  waitForTheExport();
  EXPECT_EQ(status(), "Exported take-cut.mp4");
  EXPECT_FALSE(delegate->edit().dirty());
  EXPECT_EQ(FrameNumbers(at("take-cut.mp4")), kept);
  EXPECT_EQ(FrameNumbers(source), Range(0, 90)) << "the source is untouched";
}

TEST_F(WindowEndToEndTest, SeparateClipsHoldOneKeptRangeEach) {
  openSource();
  cutOutTheMiddle();
  menu->outputItems[1]->trigger();
  fs::create_directories(dir / "clips");
  desktop.folderAnswer = (dir / "clips").string();
  choose(MenuCommand::ExportDocument);
  waitForTheExport();
  EXPECT_EQ(status(), "Exported 2 clips");
  EXPECT_EQ(FrameNumbers((dir / "clips" / "clip-01.mp4").string()), Range(0, 30));
  EXPECT_EQ(FrameNumbers((dir / "clips" / "clip-02.mp4").string()), Range(60, 90));
}

TEST_F(WindowEndToEndTest, SaveReplaceOriginalPutsTheEditAtTheOriginalsPath) {
  ::chmod(source.c_str(), 0640);
  openSource();
  cutOutTheMiddle();
  QString message;
  AnswerNextAlert("Replace Original", &message);
  choose(MenuCommand::SaveInPlace);
  EXPECT_EQ(message, "Replace “take.mp4” with this edit?");
  waitForTheExport();
  // The rewritten movie opens afresh.
  ASSERT_TRUE(scheduler.runUntil(
      [&] { return delegate->edit().segments().size() == 1 && !delegate->edit().dirty(); }, 30));
  EXPECT_EQ(FrameNumbers(source), kept);
  struct stat st {};
  ASSERT_EQ(::stat(source.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"take.mp4"}) << "no temporary sibling left";
  EXPECT_NEAR(delegate->session().asset()->duration(), 2.0, 0.05);
}

}  // namespace
}  // namespace kf::test
