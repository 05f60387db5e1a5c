// The delegate wired to the window, with a scripted player, in virtual time:
// opening shows the movie's lines and the editor; keys cut the movie; the
// rename field takes the keys it needs.
#include <gtest/gtest.h>

#include <QMenu>
#include <QMessageBox>
#include <QPaintEvent>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "QtTestApp.h"
#include "ScriptedMedia.h"
#include "app/shell/MGAppDelegate.h"
#include "export/controller/ExportController.h"

namespace kf::test {
namespace {

class AppDelegateTest : public ::testing::Test {
 protected:
  AppDelegateTest() {
    TestApp();
    MGAppDelegate::Services s;
    s.scheduler = &scheduler;
    s.player = &player;
    s.pictureView = new QWidget;
    s.settings = &settings;
    s.pictureDarkening = [this](double amount) { darkenings.push_back(amount); };
    s.prepare = InstantPreparer(scheduler);
    delegate = std::make_unique<MGAppDelegate>(std::move(s));
    delegate->applicationDidFinishLaunching();
    window = delegate->window();
    QApplication::setActiveWindow(window);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
  }

  void open(const std::string& path) {
    delegate->openURL(path);
    scheduler.runPending();
    player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
    scheduler.runPending();
  }

  void key(Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : window;
    QTest::keyClick(target, k, m);
  }

  std::vector<double> darkenings;  // what the picture view was asked to draw
  ManualScheduler scheduler;
  ScriptedPlayer player{scheduler};
  MemorySettingsStore settings;
  std::unique_ptr<MGAppDelegate> delegate;
  MGMainWindow* window = nullptr;
};

TEST_F(AppDelegateTest, OpenShowsTheMovie) {
  EXPECT_TRUE(window->overlay->emptyState());
  EXPECT_FALSE(window->timeline->isVisible());
  EXPECT_TRUE(window->footprintLabel->text().startsWith("RAM "));
  open("/m/demo.mp4");
  EXPECT_EQ(window->windowTitle(), "demo.mp4 — Kerfline");
  EXPECT_EQ(window->status->text(), "/m/demo.mp4");
  EXPECT_EQ(window->mediaInfo->text(), "1280×720 · 0.0 MB");
  EXPECT_FALSE(window->overlay->emptyState());
  EXPECT_TRUE(window->timeline->isVisible());
  EXPECT_TRUE(window->transport->isVisible());
  EXPECT_DOUBLE_EQ(window->timeline->duration(), 20);
  EXPECT_EQ(window->timeline->segments().size(), 1u);
  EXPECT_EQ(player.rate(), 1);
  EXPECT_EQ(settings.listValue(kRecentFilesKey)->size(), 1u);

  // The tick moves the clock and the play button.
  delegate->transport().tick(3.5);
  EXPECT_EQ(window->clock->text(), "Clip 1/1 · 00:03.500 / 00:20.000");
  EXPECT_EQ(window->playButton->text(), "Pause");
  EXPECT_EQ(window->playButton->symbol(), "pause.fill");
}

TEST_F(AppDelegateTest, KeysCutTheMovie) {
  open("/m/demo.mp4");
  key(Qt::Key_Space);
  EXPECT_EQ(player.rate(), 0);
  player.time = 4;
  key(Qt::Key_S);
  ASSERT_EQ(window->timeline->segments().size(), 2u);
  EXPECT_EQ(window->status->text(), "Split at 00:04.000");
  player.time = 12;
  key(Qt::Key_S);
  ASSERT_EQ(window->timeline->segments().size(), 3u);
  EXPECT_EQ(window->timeline->selected(), 2);
  key(Qt::Key_Backspace);
  EXPECT_EQ(window->timeline->segments().size(), 2u);
  EXPECT_EQ(window->status->text(), "Segment removed");
  EXPECT_TRUE(delegate->edit().dirty());

  key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(window->timeline->segments().size(), 3u) << "undo brings the clip back";
  key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(window->timeline->segments().size(), 2u);
  key(Qt::Key_Y, Qt::ControlModifier);  // nothing left to redo
  EXPECT_EQ(window->timeline->segments().size(), 2u);

  // Mute and volume keys.
  key(Qt::Key_M);
  EXPECT_TRUE(player.isMuted());
  EXPECT_EQ(window->muteButton->symbol(), "speaker.slash.fill");
  key(Qt::Key_Down);
  EXPECT_NEAR(player.volume(), 0.95, 1e-9);
  EXPECT_EQ(window->volumeSlider->value(), 950);
}

TEST_F(AppDelegateTest, RenameFieldTakesTypingAndTab) {
  open("/m/demo.mp4");
  player.time = 10;
  key(Qt::Key_S);
  delegate->edit().setSelected(0);
  key(Qt::Key_F2);
  auto* field = window->timeline->findChild<MGRenameField*>();
  ASSERT_TRUE(field);
  ASSERT_TRUE(field->hasFocus());
  EXPECT_EQ(field->placeholderText(), "Clip 1");
  QTest::keyClicks(field, "Intro s");
  EXPECT_EQ(window->timeline->segments().size(), 2u) << "typing s in the field does not split";
  QTest::keyClick(field, Qt::Key_Tab);
  QCoreApplication::processEvents();
  EXPECT_EQ(delegate->edit().names()[0], "Intro s");
  EXPECT_EQ(delegate->edit().selected(), 1);
  MGRenameField* next = nullptr;
  for (auto* f : window->timeline->findChildren<MGRenameField*>())
    if (f->isVisible()) next = f;
  ASSERT_TRUE(next);
  EXPECT_TRUE(next->hasFocus());
  QTest::keyClicks(next, "discarded");
  QTest::keyClick(next, Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_EQ(delegate->edit().names()[1], "");
  EXPECT_FALSE(delegate->edit().isRenaming());
}

// Answers the next modal alert with the button titled `answer`, recording
// its message.
void AnswerNextAlert(const QString& answer, QString* message) {
  QTimer::singleShot(0, [answer, message] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(box);
    *message = box->text();
    for (QAbstractButton* b : box->buttons())
      if (b->text() == answer) b->click();
  });
}

TEST_F(AppDelegateTest, PromptsGuardAnUnexportedEdit) {
  open("/m/demo.mp4");
  player.time = 4;
  key(Qt::Key_S);
  ASSERT_TRUE(delegate->edit().dirty());

  QString message;
  AnswerNextAlert("Cancel", &message);
  delegate->openURL("/m/other.mp4");
  scheduler.runPending();
  EXPECT_EQ(message, "Discard unexported edits?");
  EXPECT_EQ(window->windowTitle(), "demo.mp4 — Kerfline");
  EXPECT_EQ(window->status->text(), "Split at 00:04.000");
  EXPECT_EQ(window->timeline->segments().size(), 2u);

  AnswerNextAlert("Cancel", &message);
  EXPECT_FALSE(window->close());
  EXPECT_EQ(message, "Close without exporting your edits?");
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(delegate->edit().dirty());

  AnswerNextAlert("Cancel", &message);
  EXPECT_EQ(delegate->applicationShouldTerminate(), MGAppDelegate::TerminateReply::Cancel);
  EXPECT_EQ(message, "Quit without exporting your edits?");

  AnswerNextAlert("Close Without Exporting", &message);
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(delegate->applicationShouldTerminate(), MGAppDelegate::TerminateReply::Now)
      << "no second prompt after the close";
}

TEST_F(AppDelegateTest, ClipMenuListsItsCommandsAndRunsThem) {
  open("/m/demo.mp4");
  QStringList titles;
  std::vector<bool> enabled;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_TRUE(menu);
    QAction* splitHere = nullptr;
    for (QAction* a : menu->actions()) {
      titles << (a->isSeparator() ? QStringLiteral("-") : a->text());
      enabled.push_back(a->isEnabled());
      if (a->text() == "Split Here") splitHere = a;
    }
    ASSERT_TRUE(splitHere);
    splitHere->trigger();
    menu->close();
  });
  const QPointF at(100, 50);
  QMouseEvent press(QEvent::MouseButtonPress, at, window->timeline->mapToGlobal(at), Qt::RightButton,
                    Qt::RightButton, Qt::NoModifier);
  window->timeline->contextHandler(0, 6.5, press);
  EXPECT_EQ(titles, (QStringList{"Split Here", "-", "Trim Clip Start to Here", "Trim Clip End to Here", "-",
                                 "Fade In (1 s)", "Fade Out (1 s)", "-", "Rename", "Remove", "-", "Undo", "Redo"}));
  EXPECT_FALSE(enabled[9]) << "the only clip cannot be removed";
  EXPECT_FALSE(enabled[11]) << "nothing to undo yet";
  ASSERT_EQ(window->timeline->segments().size(), 2u);
  EXPECT_DOUBLE_EQ(window->timeline->segments()[0].end, 6.5);
  EXPECT_EQ(window->status->text(), "Split at 00:06.500");
}

TEST_F(AppDelegateTest, FullScreenHidesTheTransportAfterStillness) {
  open("/m/demo.mp4");
  delegate->toggleFullScreen();
  QTRY_VERIFY(window->isFullScreen());
  QCoreApplication::processEvents();
  EXPECT_TRUE(window->transport->isVisible());
  scheduler.advance(1.7);
  EXPECT_TRUE(window->transport->isVisible());
  delegate->notePointerMovement();  // restarts the 1.8 s
  scheduler.advance(1.7);
  EXPECT_TRUE(window->transport->isVisible());
  scheduler.advance(0.1);
  EXPECT_FALSE(window->transport->isVisible());
  delegate->notePointerMovement();
  EXPECT_TRUE(window->transport->isVisible());
  key(Qt::Key_Escape);
  QTRY_VERIFY(!window->isFullScreen());
  QCoreApplication::processEvents();
  EXPECT_TRUE(window->timeline->isVisible());
  scheduler.advance(5);
  EXPECT_TRUE(window->transport->isVisible());
}

// Counts the paint events of the window's widgets, with their regions.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* window) {
    watch(window);
    for (QWidget* w : window->findChildren<QWidget*>()) watch(w);
  }
  void reset() { paints.clear(); }
  int count(QObject* w) const {
    int n = 0;
    for (auto& p : paints) n += p.widget == w;
    return n;
  }
  // Paints of widgets other than those listed; a paint of a widget below a
  // listed one, inside its area, belongs to the listed one (labels are not
  // opaque).
  std::string others(std::initializer_list<QWidget*> except) const {
    std::string out;
    for (auto& p : paints) {
      auto* widget = static_cast<QWidget*>(p.widget);
      bool excepted = false;
      for (QWidget* e : except) {
        if (e == widget) excepted = true;
        if (e != widget && (widget == e->parentWidget() || widget->isAncestorOf(e)) &&
            QRect(e->mapTo(widget, QPoint(0, 0)), e->size()).contains(p.region.boundingRect()))
          excepted = true;
      }
      if (!excepted && out.size() < 300) {
        const QRect r = p.region.boundingRect();
        out += std::string(p.widget->metaObject()->className()) + " " + p.widget->objectName().toStdString() + " " +
               std::to_string(r.width()) + "x" + std::to_string(r.height()) + "; ";
      }
    }
    return out;
  }
  struct Paint {
    QObject* widget;
    QRegion region;
  };
  std::vector<Paint> paints;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint) paints.push_back({o, static_cast<QPaintEvent*>(e)->region()});
    return false;
  }

 private:
  void watch(QWidget* w) { w->installEventFilter(this); }
};

// Lets the toolkit deliver what is queued (paints come after a short
// update-request delay).
void Settle() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents();
    QTest::qWait(20);
  }
}

// Moves virtual time on by `seconds` in steps of a tick, letting the toolkit
// paint after each.
void RunFor(ManualScheduler& scheduler, double seconds) {
  for (double t = 0; t < seconds; t += 1.0 / 30) {
    scheduler.advance(1.0 / 30);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
  Settle();
}

// At rest nothing runs: no tick, and no widget repaints (the footprint
// readout changes at most once a second). Playing, the tick runs but a value
// that did not change repaints nothing, and a moving playhead repaints only
// the strips it left and entered.
TEST_F(AppDelegateTest, AtRestNothingTicksOrRepaints) {
  window->footprintLabel->setObjectName("footprint");
  Settle();
  PaintCounter paints(window);
  auto quiet = [&] { return paints.others({window->footprintLabel}); };

  RunFor(scheduler, 4);
  EXPECT_EQ(player.timeObserverCalls, 0) << "the empty window ticks";
  EXPECT_EQ(quiet(), std::string()) << "the empty window repaints";
  EXPECT_LE(paints.count(window->footprintLabel), 4);

  open("/m/demo.mp4");
  ASSERT_EQ(player.rate(), 1);
  player.time = 0;
  RunFor(scheduler, 0.5);
  EXPECT_GE(player.timeObserverCalls, 10) << "playing, the tick runs";

  // Playing while the time stands still: nothing to repaint.
  paints.reset();
  RunFor(scheduler, 2);
  EXPECT_EQ(quiet(), std::string()) << "unchanged values repaint";

  // The playhead moves: the clock and two narrow strips of the timeline.
  paints.reset();
  player.time = 10;
  RunFor(scheduler, 0.1);
  EXPECT_EQ(paints.count(window->overlay), 0);
  EXPECT_GE(paints.count(window->clock), 1);
  ASSERT_GE(paints.count(window->timeline), 1);
  for (auto& p : paints.paints) {
    if (p.widget != window->timeline) continue;
    for (const QRect& r : p.region) EXPECT_LE(r.width(), 20) << "the timeline repaints more than the playhead";
  }
  EXPECT_EQ(paints.others({window->footprintLabel, window->clock, window->timeline}), std::string());

  // Paused: the tick stops with the player.
  key(Qt::Key_Space);
  ASSERT_EQ(player.rate(), 0);
  Settle();
  scheduler.runPending();
  Settle();
  const int ticks = player.timeObserverCalls;
  paints.reset();
  RunFor(scheduler, 4);
  EXPECT_EQ(player.timeObserverCalls, ticks) << "the paused window ticks";
  EXPECT_EQ(quiet(), std::string()) << "the paused window repaints";

  // Scrubbing ticks while the pointer is down, and stops with it.
  window->timeline->seekHandler(5, 0);
  RunFor(scheduler, 0.5);
  EXPECT_GT(player.timeObserverCalls, ticks);
  window->timeline->seekHandler(6, 2);
  scheduler.runPending();
  const int afterScrub = player.timeObserverCalls;
  RunFor(scheduler, 2);
  EXPECT_EQ(player.timeObserverCalls, afterScrub);
  EXPECT_EQ(window->clock->text(), "Clip 1/1 · 00:06.000 / 00:20.000");
}

// A scrub from the timeline holds the waveform's decoding until it settles.
TEST_F(AppDelegateTest, ScrubbingTheTimelinePausesTheWaveform) {
  open("/m/demo.mp4");
  EXPECT_FALSE(delegate->waveform().paused());
  window->timeline->seekHandler(5, 1);
  EXPECT_TRUE(delegate->transport().isScrubbing());
  EXPECT_TRUE(delegate->waveform().paused());
  window->timeline->seekHandler(6, 2);
  EXPECT_FALSE(delegate->transport().isScrubbing());
  EXPECT_FALSE(delegate->waveform().paused());
}

// The picture draws the fade itself: once a movie is open no widget lies
// over it (the overlay shows only the empty-state poster), the fade goes to
// the picture, and a click on the picture still plays and pauses.
TEST_F(AppDelegateTest, NoWidgetLiesOverTheOpenMovie) {
  EXPECT_TRUE(window->overlay->isVisible()) << "the poster";
  EXPECT_FALSE(window->playerView->isVisible()) << "the picture would cover the poster";
  open("/m/demo.mp4");
  EXPECT_FALSE(window->overlay->isVisible());
  EXPECT_TRUE(window->playerView->isVisible());
  delegate->edit().toggleFadeIn();  // 1 s at the start
  key(Qt::Key_Space);
  ASSERT_EQ(player.rate(), 0);
  delegate->transport().seek(0.5);
  ASSERT_FALSE(darkenings.empty());
  EXPECT_NEAR(darkenings.back(), 0.5, 0.01);
  const std::size_t shown = darkenings.size();
  delegate->transport().seek(0.5);
  delegate->setBlackAmount(0.5);
  EXPECT_NEAR(darkenings.back(), 0.5, 0.01);
  EXPECT_LE(darkenings.size(), shown + 2);

  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisible() || w == window->playerView || w->parentWidget() != window->root) continue;
    EXPECT_FALSE(w->geometry().intersects(window->playerView->geometry()))
        << w->metaObject()->className() << " lies over the picture";
  }

  QTest::mouseClick(window->playerView, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
  EXPECT_EQ(player.rate(), 1) << "a click on the picture plays";
}

// Hidden files of exports killed in an earlier run: at launch the window
// removes them from the folder the last export wrote into, and on open from
// beside the movie and beside the file a link to it names. Files of running
// writers and hidden files that are not the program's stay.
TEST(WindowLaunchTest, RemovesWhatKilledExportsLeftBehind) {
  TestApp();
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/kf-launch-sweep-XXXXXX";
  ASSERT_TRUE(::mkdtemp(tmpl));
  const fs::path dir = tmpl;
  for (const char* sub : {"exports", "movies", "store"}) fs::create_directory(dir / sub);
  const std::string uuid = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";
  auto hidden = [&](const char* sub, const char* base, const std::string& pid) {
    const std::string path = (dir / sub / ("." + std::string(base) + "." + uuid + "." + pid + ".kerfline-tmp.mp4")).string();
    std::ofstream(path) << "part";
    return path;
  };
  const std::string dead = "2147483646";  // past any pid_max: no such process
  const std::string staleExport = hidden("exports", "cut", dead);
  const std::string liveExport = hidden("exports", "clip-01", std::to_string(::getpid()));
  const std::string notOurs = (dir / "exports" / ".notes.kerfline-tmp.txt").string();
  std::ofstream(notOurs) << "notes";
  const std::string staleBesideLink = hidden("movies", "link", dead);
  const std::string staleBesideMovie = hidden("store", "real", dead);
  std::ofstream(dir / "store" / "real.mp4") << "movie";
  fs::create_symlink("../store/real.mp4", dir / "movies" / "link.mp4");
  const std::string staleElsewhere = hidden("exports/..", "elsewhere", dead);

  ManualScheduler scheduler;
  ScriptedPlayer player{scheduler};
  MemorySettingsStore settings;
  settings.setValue(kLastExportFolderKey, (dir / "exports").string());
  MGAppDelegate::Services s;
  s.scheduler = &scheduler;
  s.player = &player;
  s.pictureView = new QWidget;
  s.settings = &settings;
  s.prepare = InstantPreparer(scheduler);
  auto delegate = std::make_unique<MGAppDelegate>(std::move(s));
  delegate->setStartupURL((dir / "movies" / "link.mp4").string());
  delegate->applicationDidFinishLaunching();
  EXPECT_FALSE(fs::exists(staleExport));
  EXPECT_FALSE(fs::exists(staleBesideLink));
  EXPECT_FALSE(fs::exists(staleBesideMovie));
  EXPECT_TRUE(fs::exists(liveExport));
  EXPECT_TRUE(fs::exists(notOurs));
  EXPECT_TRUE(fs::exists(staleElsewhere));  // no export or movie there
  delegate.reset();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kf::test
