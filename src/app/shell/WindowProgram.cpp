// The window program: everything `kerfline MOVIE` needs beyond the command
// line (the toolkit, the player, the window). It is built as a module of its
// own that the program loads only when a window is wanted, so that `--help`,
// `--version` and `--export` start without loading the toolkit and the player
// (and the ~100 libraries behind them).
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QMessageBox>
#include <QPalette>
#include <QStyleFactory>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/shell/MGAppDelegate.h"
#include "app/shell/MGMediaServices.h"
#include "app/shell/MGOpenRequests.h"
#include "app/shell/MGQtSettingsStore.h"
#include "app/shell/MGTestScript.h"
#include "app/rules/RecentlyUsed.h"
#include "app/shell/CommandLine.h"
#include "app/shell/WindowProgram.h"
#include "app/shell/StartupArguments.h"
#include "playback/session/MovieURL.h"
#include "platform/desktop/LauncherEntry.h"
#include "platform/desktop/OpenRequests.h"
#include "platform/ffmpeg/FfmpegAudioReader.h"
#include "platform/mpv/MpvPlayer.h"
#include "platform/qt/QtScheduler.h"

#if KERFLINE_HAVE_MPV_VIEW
#include "platform/mpv/MpvVideoView.h"
#endif

namespace {

void ApplyDarkAppearance(QApplication& app) {
  app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette p;
  const QColor window(22, 21, 16), base(30, 28, 22), text(237, 235, 226), dim(154, 148, 138);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, base);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::ToolTipBase, base);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, dim);
  p.setColor(QPalette::Highlight, QColor(226, 91, 69));
  p.setColor(QPalette::HighlightedText, text);
  p.setColor(QPalette::Disabled, QPalette::Text, dim);
  p.setColor(QPalette::Disabled, QPalette::ButtonText, dim);
  app.setPalette(p);
}

// The window's (and the About box's) icon: the installed theme's, else the
// program's own copy. Finding and setting it takes 30-40 ms of the main
// thread (the icon theme's plugins, image readers, every size sent to the
// display server). It is set once the OpenGL driver has loaded (while the
// driver loads on its thread, the dynamic loader would make it wait: it
// loads one library at a time) and, when the program starts on a movie,
// after that movie's first picture is on the screen, so that the picture
// does not wait for it. Only the first call sets it.
void SetWindowIcon() {
  static bool set = false;
  if (set) return;
  set = true;
  QIcon icon = QIcon::fromTheme(QStringLiteral("com.marrowgate.Kerfline"));
#if KERFLINE_HAVE_ICON_RESOURCE
  if (icon.isNull())
    for (int size : {16, 24, 32, 48, 64, 128, 256, 512})
      icon.addFile(QStringLiteral(":/icons/%1x%1/com.marrowgate.Kerfline.png").arg(size), QSize(size, size));
#endif
  QApplication::setWindowIcon(icon);
}

// While the toolkit starts, a fatal message (no display server, no platform
// plugin) ends the program with a plain message and status 1 instead of an
// abort.
void ToolkitStartupMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  std::fprintf(stderr, "kerfline: %s\n", message.toLocal8Bit().constData());
  if (type == QtFatalMsg) std::_Exit(kf::kExitFailure);
}

}  // namespace

extern "C" KERFLINE_WINDOW_EXPORT int kerfline_window_main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const kf::CommandLine line = kf::ParseCommandLine(args);

  // The toolkit sees only its own options: a movie named "-platform" after
  // "--" stays a movie.
  std::vector<std::string> toolkitArgs{argc > 0 ? argv[0] : "kerfline"};
  toolkitArgs.insert(toolkitArgs.end(), line.toolkitOptions.begin(), line.toolkitOptions.end());
  std::vector<char*> toolkitArgv;
  for (std::string& a : toolkitArgs) toolkitArgv.push_back(a.data());
  toolkitArgv.push_back(nullptr);
  int toolkitArgc = static_cast<int>(toolkitArgs.size());

  QtMessageHandler previousHandler = qInstallMessageHandler(ToolkitStartupMessage);
  QApplication app(toolkitArgc, toolkitArgv.data());
  qInstallMessageHandler(previousHandler);
#if KERFLINE_HAVE_MPV_VIEW
  // The OpenGL driver loads and starts on a thread of its own from now on,
  // while the rest of the program starts (see MpvVideoView::startOpenGL).
  // With a movie to open, the icon waits for its first picture instead.
  const bool movieNamed = !line.movies.empty();
  auto openGL = kf::mpv::MpvVideoView::startOpenGL(movieNamed ? std::function<void()>() : SetWindowIcon);
#endif
  QApplication::setApplicationVersion(QString::fromStdString(kf::ProgramVersion()));
  // Names the installed desktop entry: the window's icon and the launcher's
  // identity on Wayland and in launcher-entry signals.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.marrowgate.Kerfline"));
  QApplication::setApplicationName(QStringLiteral("Kerfline"));
  QApplication::setOrganizationName(QStringLiteral("Marrowgate"));
  // libmpv refuses a numeric locale other than "C"; QApplication has just
  // set it from the environment.
  std::setlocale(LC_NUMERIC, "C");

  const std::string cwd = QDir::currentPath().toStdString();
  const auto startup = kf::StartupURLFromArguments(line.movies, cwd, [](const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
  });
  // A window of this program with no movie open takes the movie; then this
  // process has nothing more to do.
  if (startup && kf::desktop::OfferToRunningInstance(*startup)) return kf::kExitSuccess;

  kf::QtScheduler scheduler;
  // The movie named on the command line is prepared and probed from now on,
  // while the player starts and the window is built.
  MGAppDelegate::Preparer prepare = MGMakeMoviePreparer(scheduler);
  if (startup)
    if (auto url = kf::ParseMovieURL(*startup)) prepare = MGPrepareAhead(std::move(prepare), *url);
  ApplyDarkAppearance(app);
#if KERFLINE_HAVE_MPV_VIEW
  if (!openGL && !movieNamed) SetWindowIcon();
#else
  SetWindowIcon();
#endif

  kf::mpv::MpvOptions options;
#if KERFLINE_HAVE_MPV_VIEW
  options.vo = "libmpv";
  // The picture is drawn with OpenGL: let libmpv decode on the graphics
  // hardware where it knows that to be reliable (the processor otherwise).
  options.hwdec = "auto-safe";
#endif
  // Sound goes to the first of these systems that answers. libmpv's own list
  // ends with SDL, which on Linux only wraps the same systems and, on a
  // machine without sound, takes a quarter of a second to give up; libmpv
  // opens the sound output before it shows the first picture of a movie.
  options.ao = "pipewire,pulse,alsa,jack";
  auto created = kf::mpv::MpvPlayer::create(scheduler, options);
  if (!created.ok()) {
    QMessageBox::critical(nullptr, QStringLiteral("Kerfline"),
                          QString::fromStdString("The media player could not be started: " + created.error().message));
    return kf::kExitFailure;
  }
  std::shared_ptr<kf::mpv::MpvPlayer> player = created.value();

#if KERFLINE_HAVE_MPV_VIEW
  // The view takes the OpenGL context begun above (waited for only when the
  // picture is first needed), and tells the player which renderer shows the
  // exposure preview.
  auto* videoView = new kf::mpv::MpvVideoView(player, nullptr, false, std::move(openGL));
  QWidget* pictureView = videoView;
  if (movieNamed) {
    videoView->afterFirstPicture(SetWindowIcon);
    // A movie that does not open, or has no picture, shows none.
    constexpr double kIconAtTheLatest = 2.0;
    scheduler.postAfter(kIconAtTheLatest, SetWindowIcon);
  }
#else
  QWidget* pictureView = new QWidget;
  pictureView->setAutoFillBackground(true);
  QPalette black = pictureView->palette();
  black.setColor(QPalette::Window, Qt::black);
  pictureView->setPalette(black);
#endif

  MGQtSettingsStore settings;
  MGAppDelegate::Services services;
  services.scheduler = &scheduler;
  services.player = player.get();
  services.pictureView = pictureView;
#if KERFLINE_HAVE_MPV_VIEW
  services.pictureDarkening = [videoView](double amount) { videoView->setDarkening(amount); };
#endif
  services.settings = &settings;
  services.frameAutosaveName = QStringLiteral("KerflineMainWindow");
  services.recentlyUsedFile = kf::RecentlyUsedFilePath();
  kf::desktop::LauncherEntry launcher;
  services.launcherProgress = [&launcher](std::optional<double> fraction) { launcher.setProgress(fraction); };
  services.openAudio = &kf::ff::OpenFirstAudioTrackOfAsset;
  services.prepare = std::move(prepare);


  services.exportSessions = MGMakeExportSessions();


  int rc = 0;
  {
    MGAppDelegate delegate(std::move(services));
    // Which decoder runs shows as the media line's tooltip.
    player->setDecoderObserver([&delegate, p = player.get()] {
      if (!delegate.window()) return;
      QString tip;
      if (p->videoDecoderActive())
        tip = p->hardwareDecoder().empty()
                  ? QStringLiteral("Decoding on the processor")
                  : QStringLiteral("Decoding on the graphics hardware (%1)").arg(QString::fromStdString(p->hardwareDecoder()));
      delegate.window()->mediaInfo->setToolTip(tip);
    });
    if (startup) delegate.setStartupURL(*startup);
    // Later open requests from the desktop may come to this window.
    kf::desktop::OpenRequestService openRequests(
        [&delegate](const std::string& address) { return MGAcceptOpenRequest(delegate, address); });
    openRequests.start();
    delegate.applicationDidFinishLaunching();
    if (const char* script = std::getenv("KERFLINE_SCRIPT")) MGRunTestScript(delegate, script);
    rc = app.exec();
  }
  return rc;
}
