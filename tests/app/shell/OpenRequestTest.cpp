// Open requests from the desktop, on a real session bus (the suite runs
// inside `dbus-run-session`): this process is a running window (the real
// delegate and window over a scripted player) that serves requests as the
// program does; each request is a real `kerfline` process started as a
// file manager starts it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "LauncherSignalRecorder.h"
#include "QtTestApp.h"
#include "ScriptedMedia.h"
#include "app/rules/RecentlyUsed.h"
#include "app/shell/MGAppDelegate.h"
#include "app/shell/MGOpenRequests.h"
#include "platform/desktop/OpenRequests.h"
#include "platform/ffmpeg/TestMovies.h"
#include "support/ChildProcess.h"

namespace kf::test {
namespace {

namespace fs = std::filesystem;
namespace movies = kf::testmovies;

class OpenRequestTest : public ::testing::Test {
 protected:
  OpenRequestTest() {
    TestApp();
    MGAppDelegate::Services s;
    s.scheduler = &scheduler;
    s.player = &player;
    s.pictureView = new QWidget;
    s.settings = &settings;
    s.recentlyUsedFile = recentlyUsedPath();
    s.launcherProgress = [this](std::optional<double> f) { launcher.setProgress(f); };
    s.prepare = InstantPreparer(scheduler);
    delegate = std::make_unique<MGAppDelegate>(std::move(s));
    service = std::make_unique<desktop::OpenRequestService>(
        [this](const std::string& address) { return MGAcceptOpenRequest(*delegate, address); });
    delegate->applicationDidFinishLaunching();
    dir = fs::temp_directory_path() / ("kf-open-requests-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "larder");
  }
  ~OpenRequestTest() override {
    service.reset();
    delegate.reset();
    fs::remove_all(dir);
  }

  // Runs `kerfline args…` as the file manager would and keeps this window
  // answering until the process has ended.
  // `wait`: how long a process that opens its own window waits for its
  // movie before it reports and quits.
  kf::testing::ChildResult request(const std::vector<std::string>& args, int wait = 30) {
    kf::testing::ChildEnvironment env;
    env.set = {{"KERFLINE_SCRIPT", "0:quitwhenopen:" + std::to_string(wait)},
               {"XDG_CONFIG_HOME", (dir / "config").string()},
               {"XDG_DATA_HOME", (dir / "data").string()},
               {"KERFLINE_LARDER_REGISTRY", (dir / "larder").string()}};
    kf::testing::ChildProcess child(KERFLINE_PROGRAM, args, env);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (child.running() && std::chrono::steady_clock::now() < deadline) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      settle();
    }
    auto r = child.wait(0);
    settle();
    return r;
  }
  // The scripted player's item becomes ready as a real one would.
  void settle() {
    scheduler.runPending();
    if (auto* item = player.currentScripted(); item && item->status() == media::ItemStatus::Unknown) {
      item->setStatus(media::ItemStatus::ReadyToPlay);
      scheduler.runPending();
    }
  }
  std::string recentlyUsed() const { return kf::testing::ReadWholeFile(recentlyUsedPath()); }
  std::string recentlyUsedPath() const {
    return (fs::temp_directory_path() / ("kf-open-requests-" + std::to_string(::getpid())) / "data" /
            "recently-used.xbel")
        .string();
  }
  // Waits (answering the bus) until `n` launcher updates have arrived.
  bool waitForUpdates(const LauncherSignalRecorder& recorder, std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recorder.updates.size() < n && std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return recorder.updates.size() >= n;
  }

  ManualScheduler scheduler;
  ScriptedPlayer player{scheduler};
  MemorySettingsStore settings;
  desktop::LauncherEntry launcher;
  std::unique_ptr<MGAppDelegate> delegate;
  std::unique_ptr<desktop::OpenRequestService> service;
  fs::path dir;
};

TEST_F(OpenRequestTest, AnEmptyWindowTakesTheMovieAndAnOpenOneLeavesItToANewProcess) {
  ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
  ASSERT_TRUE(service->start());
  ASSERT_TRUE(service->ownsName());
  const std::string source = movies::ensure(movies::named("h264"));
  const fs::path first = dir / "Été & co – first cut.mp4";
  const fs::path second = dir / "second movie.mp4";
  fs::copy_file(source, first);
  fs::copy_file(source, second);

  // No movie open here: the request, a link with escapes, is handed over
  // and the asking process ends at once without a window.
  const auto handed = request({FileURIFromPath(first.string())});
  EXPECT_EQ(handed.status, 0) << handed.err;
  EXPECT_EQ(handed.out.find("opened"), std::string::npos) << "it opened no window of its own: " << handed.out;
  ASSERT_TRUE(delegate->session().sourceURL());
  EXPECT_EQ(delegate->session().sourceURL()->text, first.string()) << "the name arrives unchanged";

  // Cut the movie here.
  delegate->edit().splitAtTime(5);
  delegate->edit().splitAtTime(10);
  const auto segments = delegate->edit().segments();
  ASSERT_EQ(segments.size(), 3u);
  const bool dirty = delegate->edit().dirty();
  EXPECT_TRUE(dirty);

  // With a movie open, the next request is refused: a second process opens
  // it, and this window keeps its movie and its edit.
  const auto own = request({second.string()});
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_NE(own.out.find("opened " + second.string() + "\nsegments 1\n"), std::string::npos) << own.out;
  EXPECT_EQ(delegate->session().sourceURL()->text, first.string());
  EXPECT_EQ(delegate->edit().segments(), segments);
  EXPECT_EQ(delegate->edit().dirty(), dirty);
  // The second process put its movie in the desktop's recently-used list.
  EXPECT_NE(recentlyUsed().find("href=\"" + FileURIFromPath(second.string()) + "\""), std::string::npos)
      << recentlyUsed();

  // A handoff link is refused the same way and reaches the new process
  // whole (no Larder here: its error shows there).
  const auto link = request({"kerfline://larder?domain=nowhere&item=a%20b"}, 1);
  EXPECT_EQ(link.status, 0) << link.err;
  EXPECT_NE(link.out.find("opened -\n"), std::string::npos) << link.out;
  EXPECT_NE(link.out.find("Larder"), std::string::npos) << link.out;
  EXPECT_EQ(delegate->edit().segments(), segments);

  // "Clear Menu" takes this program's uses out of the desktop's list (the
  // window here shares the list with the second process).
  EXPECT_NE(recentlyUsed().find("Kerfline"), std::string::npos);
  delegate->clearRecent();  // written off the main thread
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (recentlyUsed().find("Kerfline") != std::string::npos && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(recentlyUsed().find("Kerfline"), std::string::npos) << recentlyUsed();
}

TEST_F(OpenRequestTest, ExportProgressReachesTheLauncher) {
  LauncherSignalRecorder recorder;
  ASSERT_TRUE(recorder.listen());
  // The window's export progress, as the export controller reports it.
  delegate->showExportProgress(0.25, false);
  delegate->showExportProgress(0.2501, false);  // the same on the launcher: not sent again
  delegate->showExportProgress(0.5, false);
  delegate->hideExportProgress();
  ASSERT_TRUE(waitForUpdates(recorder, 3));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  ASSERT_EQ(recorder.updates.size(), 3u);
  for (const auto& u : recorder.updates) EXPECT_EQ(u.appUri, "application://com.marrowgate.Kerfline.desktop");
  EXPECT_EQ(recorder.updates[0].properties.value("progress").toDouble(), 0.25);
  EXPECT_TRUE(recorder.updates[0].properties.value("progress-visible").toBool());
  EXPECT_EQ(recorder.updates[1].properties.value("progress").toDouble(), 0.5);
  EXPECT_FALSE(recorder.updates[2].properties.value("progress-visible").toBool());
}

TEST_F(OpenRequestTest, WithoutARunningWindowTheRequestOpensItsOwn) {
  // Nothing serves the name: the process opens the movie itself.
  const std::string source = movies::ensure(movies::named("h264"));
  const auto r = request({source});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("opened " + source + "\n"), std::string::npos) << r.out;
  EXPECT_FALSE(delegate->session().sourceURL());
}

// The desktop's list is written off the main thread, in order: a list whose
// disk does not answer (here a FIFO that nobody writes to yet) holds up
// neither opening a movie nor closing the window, and the use reaches the
// list once the disk answers.
TEST_F(OpenRequestTest, ASlowRecentlyUsedListHoldsUpNeitherTheOpenNorTheQuit) {
  const std::string list = recentlyUsedPath();
  fs::create_directories(fs::path(list).parent_path());
  ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
  // Safety net: answers the FIFO after 20 s, so that a window that waits
  // for it fails this test instead of hanging it.
  std::mutex mu;
  std::condition_variable cv;
  bool answered = false;
  auto answer = [&] {
    std::lock_guard<std::mutex> lock(mu);
    if (answered) return;
    answered = true;
    const int fd = ::open(list.c_str(), O_WRONLY | O_CLOEXEC);  // meets the blocked reader
    if (fd >= 0) ::close(fd);
  };
  std::thread safety([&] {
    std::unique_lock<std::mutex> lock(mu);
    if (cv.wait_for(lock, std::chrono::seconds(20), [&] { return answered; })) return;
    lock.unlock();
    answer();
  });

  const std::string source = movies::ensure(movies::named("h264"));
  const fs::path movie = dir / "opened here.mp4";
  fs::copy_file(source, movie);
  delegate->openURL(movie.string());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!delegate->session().asset() && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    settle();
  }
  bool answeredBeforeOpen = false;
  {
    std::lock_guard<std::mutex> lock(mu);
    answeredBeforeOpen = answered;
  }
  EXPECT_TRUE(delegate->session().asset()) << "the movie did not open";
  EXPECT_FALSE(answeredBeforeOpen) << "the open waited for the list's disk";

  answer();
  cv.notify_all();
  safety.join();
  // The list replaces the FIFO once written (reading the FIFO would block).
  const auto written = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::is_regular_file(list) && std::chrono::steady_clock::now() < written)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(fs::is_regular_file(list));
  EXPECT_NE(recentlyUsed().find(FileURIFromPath(movie.string())), std::string::npos) << recentlyUsed();
}

}  // namespace
}  // namespace kf::test
