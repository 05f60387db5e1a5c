// The program's window, built as `kerfline` builds it (libmpv player with
// the render view, FFmpeg assets, the application delegate), measured from
// inside: processor time of the whole process (every thread, libmpv's
// included), resident memory, and pictures presented by the view.
//
//   kerfline_bench_window empty SECONDS          the window without a movie
//   kerfline_bench_window paused MOVIE SECONDS   a movie opened and paused
//   kerfline_bench_window playing MOVIE SECONDS  a movie playing
//
// Prints one line of key=value pairs: cpu (percent of one core over the
// measured seconds), rss_mb, fps (pictures presented per second), drops
// (libmpv's dropped frames, decoder and output, over the measured seconds),
// width and height (the picture's area: the reference is shown at the same
// size, since drawing the picture costs in proportion to it).
// scripts/bench.sh runs it next to the mpv program and prints the ratios.
#include <sys/resource.h>

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "app/shell/MGAppDelegate.h"
#include "app/shell/MGMediaServices.h"
#include "app/shell/MGQtSettingsStore.h"
#include "platform/mpv/MpvPlayer.h"
#include "platform/mpv/MpvVideoView.h"
#include "platform/qt/QtScheduler.h"
#include "playback/session/MovieURL.h"

namespace {

double ProcessorSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

double Drops(kf::mpv::MpvPlayer& player) {
  return std::atof(player.propertyString("frame-drop-count").c_str()) +
         std::atof(player.propertyString("decoder-frame-drop-count").c_str());
}

int Usage() {
  std::fprintf(stderr,
               "usage: kerfline_bench_window empty SECONDS | paused MOVIE SECONDS | playing MOVIE SECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  const bool withMovie = mode != "empty";
  if (withMovie && argc < 4) return Usage();
  const std::string movie = withMovie ? argv[2] : "";
  const double seconds = std::atof(argv[withMovie ? 3 : 2]);

  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("MarrowgateBench"));
  QApplication::setApplicationName(QStringLiteral("KerflineBench"));
  std::setlocale(LC_NUMERIC, "C");
  auto openGL = kf::mpv::MpvVideoView::startOpenGL();

  kf::QtScheduler scheduler;
  // As the program starts with a movie: it is prepared and probed from now
  // on, while the player starts and the window is built.
  MGAppDelegate::Preparer prepare = MGMakeMoviePreparer(scheduler);
  const std::string startup = withMovie ? std::filesystem::absolute(movie).lexically_normal().string() : "";
  if (withMovie)
    if (auto url = kf::ParseMovieURL(startup)) prepare = MGPrepareAhead(std::move(prepare), *url);
  kf::mpv::MpvOptions options;
  options.vo = "libmpv";
  options.ao = "null";
  auto created = kf::mpv::MpvPlayer::create(scheduler, options);
  if (!created.ok()) {
    std::fprintf(stderr, "the player could not start: %s\n", created.error().message.c_str());
    return 1;
  }
  auto player = created.value();
  auto* view = new kf::mpv::MpvVideoView(player, nullptr, false, std::move(openGL));
  MGQtSettingsStore settings;
  MGAppDelegate::Services services;
  services.scheduler = &scheduler;
  services.player = player.get();
  services.pictureView = view;
  services.settings = &settings;
  services.prepare = std::move(prepare);
  services.exportSessions = MGMakeExportSessions();
  services.pictureDarkening = [view](double amount) { view->setDarkening(amount); };

  MGAppDelegate delegate(std::move(services));
  if (withMovie) delegate.setStartupURL(startup);
  delegate.applicationDidFinishLaunching();

  // Measures from `start` for `seconds`, prints and quits.
  std::function<void()> measure = [&] {
    const double cpu0 = ProcessorSeconds(), wall0 = WallSeconds(), drops0 = Drops(*player);
    const auto frames0 = view->framesPresented();
    QTimer::singleShot(static_cast<int>(seconds * 1000), [&, cpu0, wall0, drops0, frames0] {
      const double wall = WallSeconds() - wall0;
      std::printf("cpu=%.2f rss_mb=%.1f fps=%.2f drops=%.0f gl=%d width=%d height=%d\n",
                  100.0 * (ProcessorSeconds() - cpu0) / wall, ResidentMegabytes(),
                  static_cast<double>(view->framesPresented() - frames0) / wall, Drops(*player) - drops0,
                  view->usesOpenGL() ? 1 : 0, view->width(), view->height());
      std::fflush(stdout);
      QApplication::quit();
    });
  };

  // Waits for the first picture, then runs `then`.
  std::function<void(std::function<void()>)> afterFirstFrame = [&](std::function<void()> then) {
    auto* poll = new QTimer(&app);
    poll->setInterval(2);
    QObject::connect(poll, &QTimer::timeout, [poll, then, view] {
      if (view->framesPresented() == 0) return;
      poll->stop();
      poll->deleteLater();
      then();
    });
    poll->start();
  };

  if (mode == "empty") {
    QTimer::singleShot(2000, measure);
  } else if (mode == "paused") {
    afterFirstFrame([&] {
      delegate.togglePlayback();
      QTimer::singleShot(1500, measure);
    });
  } else if (mode == "playing") {
    afterFirstFrame([&] { QTimer::singleShot(1500, measure); });
  } else {
    return Usage();
  }
  return app.exec();
}
