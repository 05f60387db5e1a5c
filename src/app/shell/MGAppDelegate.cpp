#include "app/shell/MGAppDelegate.h"

#include <chrono>
#include <future>

#include "app/rules/RecentlyUsed.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSettings>

#include <cmath>

#include "app/rules/FolderRules.h"
#include "app/rules/MovieMemory.h"
#include "app/rules/RecentList.h"
#include "app/rules/WindowFit.h"
#include "edit/TimeMap.h"
#include "app/shell/MGExportSessions.h"
#include "export/controller/ExportController.h"

namespace {

constexpr double kTransportHideSeconds = 1.8;
constexpr double kFootprintInterval = 1.0;

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

kf::KeyPress KeyPressFromEvent(const QKeyEvent& e) {
  kf::KeyPress k;
  const Qt::KeyboardModifiers m = e.modifiers();
  k.command = m & Qt::ControlModifier;
  k.option = m & Qt::AltModifier;
  k.control = m & Qt::MetaModifier;
  k.shift = m & Qt::ShiftModifier;
  const int key = e.key();
  switch (key) {
    case Qt::Key_Up: k.character = kf::keys::kUp; break;
    case Qt::Key_Down: k.character = kf::keys::kDown; break;
    case Qt::Key_Left: k.character = kf::keys::kLeft; break;
    case Qt::Key_Right: k.character = kf::keys::kRight; break;
    case Qt::Key_F2: k.character = kf::keys::kF2; break;
    case Qt::Key_F10: k.character = kf::keys::kF10; break;
    case Qt::Key_F11: k.character = kf::keys::kF11; break;
    case Qt::Key_Home: k.character = kf::keys::kHome; break;
    case Qt::Key_End: k.character = kf::keys::kEnd; break;
    case Qt::Key_Escape: k.character = kf::keys::kEscape; break;
    case Qt::Key_Space: k.character = kf::keys::kSpace; break;
    // The key that deletes backwards, and the forward delete key.
    case Qt::Key_Backspace:
    case Qt::Key_Delete: k.character = kf::keys::kDelete; break;
    default:
      if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        k.character = static_cast<char32_t>(k.shift ? key : key - Qt::Key_A + 'a');
      } else if (key > 0x20 && key < 0x7f) {
        k.character = static_cast<char32_t>(key);
      }
      break;
  }
  return k;
}

}  // namespace

// Source preparation behind the open flow's port.
class MGAppDelegate::Preparation final : public kf::MoviePreparationPort {
 public:
  explicit Preparation(Preparer prepare) : prepare_(std::move(prepare)) {}
  kf::CancelPreparation prepareMovie(const kf::MovieURL& url,
                                     std::function<void(kf::PreparedMovie)> completion) override {
    return prepare_(url, std::move(completion));
  }

 private:
  Preparer prepare_;
};

MGAppDelegate::MGAppDelegate(Services services)
    : services_(std::move(services)),
      exportSettings_(services_.settings ? *services_.settings : fallbackSettings_),
      preparation_(std::make_unique<Preparation>(services_.prepare)) {
  edit_ = std::make_unique<kf::EditSession>(kf::EditPorts{
      this, this, this, this, this, this, [this] { return isExportRunning(); }});
  kf::PlayerSessionPorts sp;
  sp.scheduler = services_.scheduler;
  sp.player = services_.player;
  sp.preparation = preparation_.get();
  sp.alerts = this;
  sp.status = this;
  sp.view = this;
  sp.movies = this;
  sp.settings = services_.settings;
  sp.edit = edit_.get();
  sp.busy = [this] { return isExportRunning(); };
  sp.endScrub = [this] { transport_->endScrub(); };
  sp.startWaveform = [this](std::shared_ptr<kf::media::MediaAsset> asset, double duration) {
    waveform_->startWaveformForAsset(std::move(asset), duration);
  };
  sp.seek = [this](double t) { transport_->seek(t); };
  session_ = std::make_unique<kf::PlayerSession>(std::move(sp));
  kf::ScrubPorts scp;
  scp.scheduler = services_.scheduler;
  scp.player = services_.player;
  scp.editedLength = [this] { return kerfline::EditedDuration(edit_->segments()); };
  scp.disarmJunction = [this] { edit_->disarm(); };
  scp.frameDuration = [this] { return session_->frameDuration(); };
  scp.timelineDuration = [this] { return window_ ? window_->timeline->duration() : 0.0; };
  scp.trackWidth = [this] { return window_ ? window_->timeline->trackRect().width : 0.0; };
  scp.showPlayhead = [this](double t) {
    setPlayhead(t);
    redrawTimeline();
  };
  scp.seek = [this](double t) { transport_->seek(t); };
  scp.setWaveformPaused = [this](bool paused) {
    if (waveform_) waveform_->setPaused(paused);
  };
  scrub_ = std::make_unique<kf::ScrubController>(std::move(scp));
  kf::TransportPorts tp;
  tp.player = services_.player;
  tp.session = session_.get();
  tp.edit = edit_.get();
  tp.view = this;
  tp.settings = services_.settings;
  tp.clock = services_.scheduler;
  tp.openDocument = [this] { openDocument(); };
  tp.reconnectAfterLoss = [this] { recovery_->reconnectAfterLoss(); };
  tp.scrub = scrub_.get();
  transport_ = std::make_unique<kf::Transport>(std::move(tp));
  kf::PlaybackRecoveryPorts rp;
  rp.scheduler = services_.scheduler;
  rp.player = services_.player;
  rp.session = session_.get();
  rp.status = this;
  rp.preparation = preparation_.get();
  rp.playhead = [this] { return transport_->playhead(); };
  rp.refreshEditor = [this](double t) { transport_->refreshEditorUIAtSeconds(t); };
  rp.itemInstalled = [this] { applyExposurePreview(); };
  recovery_ = std::make_unique<kf::PlaybackRecoveryController>(std::move(rp));
  keys_ = std::make_unique<kf::KeyCommandController>(*this);
  kf::ExposurePorts ep;
  ep.scheduler = services_.scheduler;
  ep.edit = edit_.get();
  ep.status = this;
  ep.setToolTip = [this](const std::string& toolTip) { setExposureToolTip(toolTip); };
  ep.movieOpen = [this] { return session_->asset() != nullptr; };
  ep.busy = [this] { return isExportRunning(); };
  ep.showPreview = [this](double stops) {
    if (auto item = services_.player->currentItem()) item->setExposurePreview(stops);
  };
  // The player outlives the controller, which waits for its worker.
  ep.copyFrame = [player = services_.player] { return player->copyDisplayedFrame(); };
  ep.movieToken = [this] { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(session_->asset().get())); };
  exposure_ = std::make_unique<kf::ExposureController>(std::move(ep));
  if (services_.desktop) {
    desktop_ = services_.desktop;
  } else {
    qtDesktop_ = std::make_unique<MGQtDesktop>(nullptr);
    desktop_ = qtDesktop_.get();
  }
  exportSessions_ = std::make_unique<MGExportSessions>();
  exporter_ = std::make_unique<kf::ExportController>(*services_.scheduler, *this, *this, *this, exportSettings_,
                                                     *exportSessions_);
  exporter_->rememberOutputFoldersIn(services_.settings ? services_.settings : &fallbackSettings_);
  kf::WaveformPorts wp;
  wp.scheduler = services_.scheduler;
  wp.openReader = services_.openAudio;
  wp.setWaveform = [this](const std::vector<float>& peaks) {
    if (window_) window_->timeline->setWaveform(peaks);
  };
  wp.redraw = [this] {
    if (window_) window_->timeline->update();
  };
  waveform_ = std::make_unique<kf::WaveformExtractor>(std::move(wp));
}

// The edit session's player is the transport (its seek refreshes the clock).
double MGAppDelegate::currentTime() const { return transport_->currentTime(); }
void MGAppDelegate::seek(double seconds) { transport_->seek(seconds); }
void MGAppDelegate::pause() { transport_->pause(); }

MGAppDelegate::~MGAppDelegate() {
  // A use noted just before quitting still reaches the desktop's list,
  // unless its disk does not answer within a moment.
  auto written = std::make_shared<std::promise<void>>();
  std::future<void> drained = written->get_future();
  recentlyUsedWriter_->async([written] { written->set_value(); });
  constexpr auto kRecentlyUsedDrain = std::chrono::seconds(2);
  if (drained.wait_for(kRecentlyUsedDrain) != std::future_status::ready)
    (void)recentlyUsedWriter_.release();  // left to the end of the process, still waiting for its disk
  qApp->removeEventFilter(this);
  // Stops a running export before the window and the edit it reads go.
  exporter_.reset();
  footprintTimer_.reset();
  transportHideTimer_.reset();
  if (cursorHidden_) QApplication::restoreOverrideCursor();
  delete window_.data();
}

void MGAppDelegate::applicationDidFinishLaunching() {
  buildWindow();
  buildMenu();
  window_->show();
  window_->raise();
  window_->activateWindow();
  qApp->installEventFilter(this);
  sampleFootprint();
  // Hidden files of exports killed since the last run; the folder of the
  // movie opened now is swept by openURL.
  if (services_.settings) kf::SweepLastExportFolder(*services_.settings);
  footprintTimer_ = kf::ScopedTask(services_.scheduler, services_.scheduler->postRepeating(
                                                            kFootprintInterval, [this] { sampleFootprint(); }));
  if (!startupURL_.empty()) {
    const std::string url = std::move(startupURL_);
    startupURL_.clear();
    openURL(url);
  }
}

void MGAppDelegate::sampleFootprint() {
  if (window_) window_->footprintLabel->setText(Q(footprint_.sample()));
}

void MGAppDelegate::buildWindow() {
  window_ = new MGMainWindow(services_.pictureView);
  window_->setObjectName("KerflineMainWindow");
  setOverlayEmptyState(window_->overlay->emptyState());
  // Centre on the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect avail = screen->availableGeometry();
    window_->move(avail.center() - QPoint(window_->width() / 2, window_->height() / 2));
  }
  if (!services_.frameAutosaveName.isEmpty()) {
    QSettings frames;
    const QByteArray saved = frames.value(QStringLiteral("WindowFrames/") + services_.frameAutosaveName).toByteArray();
    if (!saved.isEmpty()) window_->restoreGeometry(saved);
  }
  wireWindow();
  transport_->applyStoredAudioState();
  // The playback tick runs only while the movie plays or is scrubbed.
  transport_->watchPlayer();
}

void MGAppDelegate::wireWindow() {
  MGMainWindow* w = window_;
  w->root->dropHandler = [this](const QUrl& url) { openURL(url.toLocalFile().toStdString()); };
  w->overlay->singleClick = [this] { togglePlayback(); };
  w->overlay->doubleClick = [this] {
    togglePlayback();
    toggleFullScreen();
  };

  MGTimelineView* t = w->timeline;
  t->seekHandler = [this](double time, std::int64_t phase) { transport_->scrubTo(time, phase); };
  t->selectionHandler = [this](std::int64_t segment) { edit_->setSelected(segment); };
  t->trimHandler = [this](std::int64_t segment, bool, double time, std::int64_t phase) {
    edit_->rollJunction(segment, time, phase);
  };
  t->contextHandler = [this](std::int64_t segment, double time, const QMouseEvent& event) {
    if (isExportRunning() || isFullScreen()) return;
    auto menu = edit_->timelineMenuForSegment(segment, time);
    if (menu) showClipMenu(*menu, event.globalPosition().toPoint(), true);
  };
  t->renameHandler = [this](std::int64_t segment) {
    edit_->setSelected(segment);
    edit_->beginRename();
  };

  QObject::connect(w->stepBackwardButton, &QAbstractButton::clicked, this, [this] { transport_->stepBackward(); });
  QObject::connect(w->seekBackFiveButton, &QAbstractButton::clicked, this, [this] { transport_->seekBackFive(); });
  QObject::connect(w->playButton, &QAbstractButton::clicked, this, [this] { togglePlayback(); });
  QObject::connect(w->seekForwardFiveButton, &QAbstractButton::clicked, this,
                   [this] { transport_->seekForwardFive(); });
  QObject::connect(w->stepForwardButton, &QAbstractButton::clicked, this, [this] { transport_->stepForward(); });
  QObject::connect(w->exposureDarkerButton, &QAbstractButton::clicked, this, [this] { exposureDarker(); });
  QObject::connect(w->exposureBrighterButton, &QAbstractButton::clicked, this, [this] { exposureBrighter(); });
  QObject::connect(w->exposureButton, &QAbstractButton::clicked, this, [this] { resetExposure(); });
  QObject::connect(w->splitButton, &QAbstractButton::clicked, this, [this] { split(); });
  QObject::connect(w->removeButton, &QAbstractButton::clicked, this, [this] { removeSelected(); });
  QObject::connect(w->zoomButton, &QAbstractButton::clicked, this, [this] { toggleZoomSize(); });
  QObject::connect(w->muteButton, &QAbstractButton::clicked, this, [this] { toggleMute(); });
  QObject::connect(w->volumeSlider, &QSlider::valueChanged, this, [this](int v) {
    transport_->volumeChanged(static_cast<double>(v) / MGMainWindow::kVolumeSteps);
  });

  w->shouldClose = [this] { return windowShouldClose(); };
  w->willClose = [this] {
    footprintTimer_.reset();
    terminating_ = true;
  };
  w->fullScreenChanged = [this](bool fs) {
    if (fs)
      windowDidEnterFullScreen();
    else
      windowDidExitFullScreen();
  };

  // Closing the window has no menu item; the key closes it as the title
  // bar's button does.
  auto* close = new QAction(w);
  close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
  close->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(close, &QAction::triggered, w, [this] { window_->close(); });
  w->addAction(close);

  // Pointer movement is reported without a button held.
  for (QWidget* child : w->findChildren<QWidget*>()) child->setMouseTracking(true);
  w->setMouseTracking(true);
}

// ---- Open --------------------------------------------------------------

void MGAppDelegate::openDocument() {
  runOpenPanel({"mp4", "m4v", "mov", "mkv", "webm", "avi", "ts", "mts"}, [this](std::optional<std::string> path) {
    if (path) openURL(*path);
  });
}

void MGAppDelegate::runOpenPanel(const std::vector<std::string>& extensions,
                                 std::function<void(std::optional<std::string>)> completion) {
  QStringList patterns;
  for (const auto& e : extensions) patterns << QStringLiteral("*.") + Q(e);
  const QString filter = QStringLiteral("Movies (%1);;All files (*)").arg(patterns.join(' '));
  const QString path = QFileDialog::getOpenFileName(window_, QString(), QString(), filter);
  completion(path.isEmpty() ? std::nullopt : std::optional<std::string>(path.toStdString()));
}

// ---- Alerts --------------------------------------------------------------

int MGAppDelegate::runModalAlert(const kf::AlertSpec& alert) {
  QMessageBox box(window_);
  box.setIcon(QMessageBox::Warning);
  box.setText(Q(alert.message));
  box.setInformativeText(Q(alert.informativeText));
  std::vector<QAbstractButton*> buttons;
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    buttons.push_back(box.addButton(Q(alert.buttons[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
  }
  if (!buttons.empty()) box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
  box.exec();
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) return static_cast<int>(i);
  return -1;
}

void MGAppDelegate::showErrorAlert(const kf::Error& error) {
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Kerfline"), Q(error.message), QMessageBox::Ok,
                              window_);
  if (!error.suggestion.empty()) box->setInformativeText(Q(error.suggestion));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

// ---- Edit ports ----------------------------------------------------------

void MGAppDelegate::setEdit(const std::vector<kerfline::TimeSpan>& segments, const std::vector<std::string>& names,
                            const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts,
                            std::int64_t selected) {
  MGTimelineView* t = window_->timeline;
  t->setSegments(segments);
  t->setNames(names);
  t->setFadeIns(fadeIns);
  t->setFadeOuts(fadeOuts);
  t->setSelected(selected);
}

double MGAppDelegate::duration() const { return window_->timeline->duration(); }
void MGAppDelegate::setDuration(double seconds) { window_->timeline->setDuration(seconds); }
kf::Rect MGAppDelegate::rectForSegment(std::int64_t i) const { return window_->timeline->rectForSegment(i); }
void MGAppDelegate::refreshEditorUIAtSeconds(double seconds) { transport_->refreshEditorUIAtSeconds(seconds); }
void MGAppDelegate::setBlackAmount(double amount) {
  window_->overlay->setBlackAmount(amount);
  if (services_.pictureDarkening) services_.pictureDarkening(window_->overlay->blackAmount());
}
void MGAppDelegate::setExposureAmount(double stops) { window_->overlay->setExposureAmount(stops); }
void MGAppDelegate::applyExposurePreview() { exposure_->applyExposurePreview(); }

void MGAppDelegate::setStatus(const std::string& text) {
  // An export's progress texts lead with the percentage and end with the
  // time left: keep both ends.
  window_->status->elideMode = isExportRunning() ? Qt::ElideMiddle : Qt::ElideLeft;
  window_->status->setText(Q(text));
  window_->status->update();
}

void MGAppDelegate::setUndoItem(const std::string& title, bool enabled) {
  undoTitle_ = title;
  if (undoAction_) {
    undoAction_->setText(Q(title));
    undoAction_->setEnabled(enabled);
  }
}

void MGAppDelegate::setRedoItem(const std::string& title, bool enabled) {
  redoTitle_ = title;
  if (redoAction_) {
    redoAction_->setText(Q(title));
    redoAction_->setEnabled(enabled);
  }
}

void MGAppDelegate::showField(const std::string& text, const std::string& placeholder, const kf::Rect& frame) {
  removeField();
  auto* field = new MGRenameField(window_->timeline);
  field->setText(Q(text));
  field->setPlaceholderText(Q(placeholder));
  field->setGeometry(static_cast<int>(std::lround(frame.x)), static_cast<int>(std::lround(frame.y)),
                     static_cast<int>(std::lround(frame.width)), static_cast<int>(std::lround(frame.height)));
  field->commandHandler = [this](MGRenameField::Command c) {
    switch (c) {
      case MGRenameField::Command::Return: edit_->saveRename(); break;
      case MGRenameField::Command::Cancel: edit_->doCommandBySelector(kf::RenameFieldCommand::CancelOperation); break;
      case MGRenameField::Command::Tab: edit_->doCommandBySelector(kf::RenameFieldCommand::InsertTab); break;
      case MGRenameField::Command::Backtab: edit_->doCommandBySelector(kf::RenameFieldCommand::InsertBacktab); break;
    }
  };
  field->show();
  field->setFocus(Qt::OtherFocusReason);
  field->selectAll();
  renameField_ = field;
}

std::string MGAppDelegate::text() const { return renameField_ ? renameField_->text().toStdString() : std::string(); }

void MGAppDelegate::removeField() {
  if (!renameField_) return;
  // The field may be inside its own key handling: delete it later.
  MGRenameField* field = renameField_;
  renameField_ = nullptr;
  field->commandHandler = nullptr;
  field->hide();
  field->deleteLater();
}

void MGAppDelegate::focusTimeline() { window_->timeline->setFocus(Qt::OtherFocusReason); }

// ---- Player session view -------------------------------------------------

void MGAppDelegate::setWindowTitle(const std::string& title) {
  windowTitle_ = title;
  applyWindowTitle();
}

// While an export runs the title leads with its progress ("42% — …").
void MGAppDelegate::applyWindowTitle() {
  if (!window_) return;
  const std::string title = exportBadge_ ? *exportBadge_ + " — " + windowTitle_ : windowTitle_;
  if (window_->windowTitle() != Q(title)) window_->setWindowTitle(Q(title));
}

void MGAppDelegate::setMediaInfo(const std::string& text) {
  window_->mediaInfo->setText(Q(text));
  window_->layoutFooter();
}

void MGAppDelegate::setEditorVisible(bool visible) { window_->setEditorVisible(visible); }

void MGAppDelegate::setOverlayEmptyState(bool empty) {
  window_->overlay->setEmptyState(empty);
  window_->overlay->update();
  // The picture draws its own fade: the overlay is needed only for the
  // poster, and a widget over the video would make every frame recompose it.
  // The picture may be a native window, drawn above every sibling widget:
  // it is shown only while a movie is open.
  if (services_.pictureDarkening) {
    window_->overlay->setVisible(empty);
    window_->playerView->setVisible(!empty);
  }
}

void MGAppDelegate::setExposureToolTip(const std::string& toolTip) { window_->exposureButton->setToolTip(Q(toolTip)); }

void MGAppDelegate::saveGeometryForCurrentMovie() {
  if (!window_ || !session_->sourceURL() || window_->isFullScreen() || !services_.settings) return;
  if (session_->sourceIdentityKey().empty()) return;
  const QRect g = window_->geometry();
  kf::StoreVideoFrame(*services_.settings, session_->sourceIdentityKey(),
                      kf::Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())});
}

void MGAppDelegate::restoreGeometryOrSizeForTrack(const std::optional<kf::media::TrackInfo>& videoTrack,
                                                  const kf::MovieURL& url) {
  if (window_->isFullScreen()) return;
  if (services_.settings) {
    if (auto frame = kf::RestorableVideoFrame(*services_.settings, session_->sourceIdentityKey(), url.path())) {
      window_->setGeometry(static_cast<int>(frame->x), static_cast<int>(frame->y), static_cast<int>(frame->width),
                           static_cast<int>(frame->height));
      return;
    }
  }
  if (!videoTrack) return;
  QScreen* screen = window_->screen() ? window_->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const kf::Size shown = kf::media::displaySize(*videoTrack);
  const kf::Size points = kf::PictureSizeInPoints(shown, screen->devicePixelRatio());
  const QRect avail = screen->availableGeometry();
  auto size = kf::FittedContentSize(points, {double(avail.width()), double(avail.height())});
  if (!size) return;
  const int w = static_cast<int>(std::lround(size->width)), h = static_cast<int>(std::lround(size->height));
  window_->resize(std::max(w, window_->minimumWidth()), std::max(h, window_->minimumHeight()));
  window_->move(avail.center() - QPoint(window_->width() / 2, window_->height() / 2));
}

// ---- Recent list and folder ------------------------------------------------

void MGAppDelegate::noteRecentURL(const kf::MovieURL& url) {
  if (url.isFile() && services_.settings) kf::StoreRecentPath(*services_.settings, url.text);
  rebuildRecentMenu();
  // The desktop's list too; a list that cannot be written is left as it is.
  if (url.isFile() && !services_.recentlyUsedFile.empty())
    recentlyUsedWriter_->async([file = services_.recentlyUsedFile, path = url.text] {
      (void)kf::NoteRecentlyUsedFile(file, path);
    });
}

std::string MGAppDelegate::folderPositionSuffix(const kf::MovieURL& url) {
  if (!url.isFile()) return {};
  return kf::FolderPositionSuffix(kf::FolderVideoNames(url.text), url.lastPathComponent());
}

void MGAppDelegate::stepFolderVideo(int direction) {
  const auto& source = session_->sourceURL();
  if (!source || !source->isFile()) {
    QApplication::beep();
    return;
  }
  const auto names = kf::FolderVideoNames(source->text);
  const auto target = kf::FolderStepTarget(names, source->lastPathComponent(), direction);
  if (!target) {
    QApplication::beep();
    setStatus(direction >= 1 ? kf::kLastVideoInFolderText : kf::kFirstVideoInFolderText);
    return;
  }
  const std::string folder = source->text.substr(0, source->text.rfind('/'));
  openURL(folder + "/" + names[*target]);
}

// ---- Transport view --------------------------------------------------------

void MGAppDelegate::setPlayhead(double sourceSeconds) { window_->timeline->setPlayhead(sourceSeconds); }

void MGAppDelegate::setPlayButtonPlaying(bool playing) {
  const QString title = playing ? QStringLiteral("Pause") : QStringLiteral("Play");
  if (window_->playButton->text() == title) return;
  window_->playButton->setTitle(title);
  window_->playButton->setSymbol(playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill"));
}

void MGAppDelegate::setClockText(const std::string& text) {
  const QString t = Q(text);
  if (window_->clock->text() == t) return;
  const int before = window_->clock->sizeHint().width();
  window_->clock->setText(t);
  if (window_->clock->sizeHint().width() != before) window_->layoutFooter();
}

void MGAppDelegate::redrawTimeline() { window_->timeline->redraw(); }

void MGAppDelegate::setVolumeSliderValue(double value) {
  QSignalBlocker block(window_->volumeSlider);
  window_->volumeSlider->setValue(static_cast<int>(std::lround(value * MGMainWindow::kVolumeSteps)));
}

void MGAppDelegate::setMuteButtonMuted(bool muted) {
  window_->muteButton->setSymbol(muted ? QStringLiteral("speaker.slash.fill") : QStringLiteral("speaker.wave.2.fill"));
}

void MGAppDelegate::setMuteButtonToolTip(const std::string& toolTip) { window_->muteButton->setToolTip(Q(toolTip)); }

// ---- Commands --------------------------------------------------------------

void MGAppDelegate::redoEdit() { edit_->redoEdit(); }

void MGAppDelegate::showKeyboardTimelineMenu() {
  if (isExportRunning() || isFullScreen()) return;
  auto menu = edit_->keyboardTimelineMenu();
  if (!menu) return;
  const kf::Rect r = window_->timeline->rectForSegment(edit_->selected());
  const QPoint at = window_->timeline->mapToGlobal(QPoint(static_cast<int>(r.midX()), static_cast<int>(r.maxY())));
  showClipMenu(*menu, at, false);
}

void MGAppDelegate::showClipMenu(const kf::ClipMenu& menu, const QPoint& globalPos, bool) {
  QMenu popup(window_->timeline);
  popup.setTitle(Q(menu.title));
  for (const auto& item : menu.items) {
    if (item.separator) {
      popup.addSeparator();
      continue;
    }
    QAction* a = popup.addAction(Q(item.title));
    a->setEnabled(item.enabled);
    const kf::ClipMenuAction action = item.action;
    QObject::connect(a, &QAction::triggered, this, [this, action] { edit_->perform(action); });
  }
  popup.exec(globalPos);
}

void MGAppDelegate::togglePlayback() { transport_->togglePlayback(); }
void MGAppDelegate::split() { edit_->split(); }
void MGAppDelegate::removeSelected() { edit_->removeSelected(); }

void MGAppDelegate::toggleZoomSize() {
  auto asset = session_->asset();
  if (!asset || window_->isFullScreen()) return;
  const auto videos = asset->tracksWithMediaType(kf::media::MediaType::Video);
  if (videos.empty()) return;
  QScreen* screen = window_->screen() ? window_->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const kf::Size points = kf::PictureSizeInPoints(kf::media::displaySize(videos.front()), screen->devicePixelRatio());
  const QRect avail = screen->availableGeometry();
  auto size = kf::ZoomedContentSize(points, {double(avail.width()), double(avail.height())}, window_->width());
  if (!size) return;
  window_->resize(static_cast<int>(std::lround(size->width)), static_cast<int>(std::lround(size->height)));
  window_->move(avail.center() - QPoint(window_->width() / 2, window_->height() / 2));
}

void MGAppDelegate::toggleMute() { transport_->toggleMute(); }

void MGAppDelegate::toggleFullScreen() {
  if (!session_->asset() || edit_->segments().empty()) return;
  if (window_->isFullScreen())
    window_->showNormal();
  else
    window_->showFullScreen();
}

void MGAppDelegate::exposureDarker() { exposure_->exposureDarker(); }
void MGAppDelegate::exposureBrighter() { exposure_->exposureBrighter(); }
void MGAppDelegate::resetExposure() { exposure_->resetExposure(); }
void MGAppDelegate::autoExposure() { exposure_->autoExposure(); }

void MGAppDelegate::adjustVolumeBy(double delta) { transport_->adjustVolumeBy(delta); }
void MGAppDelegate::jump(int direction, bool frames) { transport_->jump(direction, frames); }
void MGAppDelegate::beginRename() { edit_->beginRename(); }
void MGAppDelegate::seekHome() { transport_->seekToStart(); }
void MGAppDelegate::seekEnd() { transport_->seekToEnd(); }
bool MGAppDelegate::cancelTimelineInteraction() { return window_->timeline->cancelActiveInteraction(); }
bool MGAppDelegate::cancelArmedJunction() { return edit_->cancelArmedJunction(false); }
bool MGAppDelegate::isFullScreen() const { return window_ && window_->isFullScreen(); }
void MGAppDelegate::exitFullScreen() { window_->showNormal(); }

bool MGAppDelegate::handleKeyPress(const kf::KeyPress& key) {
  const bool renaming = renameField_ && renameField_->hasFocus();
  return keys_->handleKeyEvent(key, renaming);
}

// ---- Full screen -----------------------------------------------------------

void MGAppDelegate::notePointerMovement() {
  if (!isFullScreen()) return;
  window_->setTransportAutoHidden(false);
  if (cursorHidden_) {
    QApplication::restoreOverrideCursor();
    cursorHidden_ = false;
  }
  transportHideTimer_ = kf::ScopedTask(services_.scheduler,
                                       services_.scheduler->postAfter(kTransportHideSeconds, [this] {
                                         transportHideTimer_.release();
                                         if (!isFullScreen()) return;
                                         window_->setTransportAutoHidden(true);
                                         if (!cursorHidden_) {
                                           QApplication::setOverrideCursor(Qt::BlankCursor);
                                           cursorHidden_ = true;
                                         }
                                       }));
}

void MGAppDelegate::windowDidEnterFullScreen() { notePointerMovement(); }

void MGAppDelegate::windowDidExitFullScreen() {
  transportHideTimer_.reset();
  window_->setTransportAutoHidden(false);
  if (cursorHidden_) {
    QApplication::restoreOverrideCursor();
    cursorHidden_ = false;
  }
}

// ---- Close and quit --------------------------------------------------------

bool MGAppDelegate::windowShouldClose() {
  saveGeometryForCurrentMovie();
  if (!services_.frameAutosaveName.isEmpty() && !window_->isFullScreen()) {
    QSettings frames;
    frames.setValue(QStringLiteral("WindowFrames/") + services_.frameAutosaveName, window_->saveGeometry());
  }
  if (isExportRunning()) {
    const int answer = runModalAlert({"Cancel the export and close Kerfline?", "",
                                      {"Cancel Export and Close", "Keep Exporting"}});
    if (answer == 0 && isExportRunning()) {
      closeWithoutEditPrompt_ = true;
      exporter_->setCloseAfterExport();
      exporter_->cancelRunningExport();
    } else if (answer == 0) {
      // The export ended while the alert was up: close now.
      closeWithoutEditPrompt_ = true;
      return windowShouldClose();
    }
    return false;
  }
  if (closeWithoutEditPrompt_) {
    closeWithoutEditPrompt_ = false;
    editDiscarded_ = true;
    return true;
  }
  if (terminating_ || editDiscarded_) return true;
  if (edit_->dirty()) {
    const int answer = runModalAlert({"Close without exporting your edits?",
                                      "The source movie is unchanged, but this edit session will be lost.",
                                      {"Close Without Exporting", "Cancel"}});
    if (answer != 0) return false;
    editDiscarded_ = true;
  }
  return true;
}

MGAppDelegate::TerminateReply MGAppDelegate::applicationShouldTerminate() {
  if (isExportRunning()) {
    if (terminateLater_) return TerminateReply::Later;
    const int answer = runModalAlert({"Cancel the export and quit Kerfline?", "",
                                      {"Cancel Export and Quit", "Keep Exporting"}});
    if (answer != 0) return TerminateReply::Cancel;
    if (isExportRunning()) {
      terminateLater_ = true;
      exporter_->setTerminateAfterExport();
      exporter_->cancelRunningExport();
      return TerminateReply::Later;
    }
    // The export ended while the alert was up.
    return TerminateReply::Now;
  }
  if (editDiscarded_ || terminating_) return TerminateReply::Now;
  if (edit_->dirty()) {
    const int answer = runModalAlert({"Quit without exporting your edits?",
                                      "The source movie is unchanged, but this edit session will be lost.",
                                      {"Quit Without Exporting", "Cancel"}});
    if (answer != 0) return TerminateReply::Cancel;
    editDiscarded_ = true;
  }
  return TerminateReply::Now;
}

void MGAppDelegate::terminate() {
  switch (applicationShouldTerminate()) {
    case TerminateReply::Cancel:
    case TerminateReply::Later: return;
    case TerminateReply::Now: replyToApplicationShouldTerminate(true); return;
  }
}

void MGAppDelegate::replyToApplicationShouldTerminate(bool terminate) {
  terminateLater_ = false;
  if (!terminate || terminating_) return;
  saveGeometryForCurrentMovie();
  terminating_ = true;
  if (services_.quit)
    services_.quit();
  else
    QCoreApplication::quit();
}

// ---- Key and pointer filter ------------------------------------------------

bool MGAppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (!window_) return false;
  if (event->type() == QEvent::ShortcutOverride && menu_) {
    // The shortcut is about to be looked up: validate the items it could
    // fire, so that a disabled command never runs from its key.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && widget->window() == window_.data()) {
      const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
      for (QAction* a : menu_->commandItems())
        if (!a->shortcut().isEmpty() && a->shortcut() == pressed) validateMenuItem(a);
    }
    return false;
  }
  if (event->type() == QEvent::KeyPress) {
    // Only keys meant for the main window; dialogs and menus keep theirs.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != window_.data()) return false;
    if (QApplication::activePopupWidget() || QApplication::activeModalWidget()) return false;
    return handleKeyPress(KeyPressFromEvent(*static_cast<QKeyEvent*>(event)));
  }
  if (event->type() == QEvent::MouseMove) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && widget->window() == window_.data()) notePointerMovement();
  }
  if ((event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
      !window_->overlay->isVisible()) {
    // With the overlay hidden over an open movie, a click on the picture is
    // the overlay's click.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && (widget == window_->playerView || window_->playerView->isAncestorOf(widget))) {
      window_->overlay->handlePress(static_cast<QMouseEvent*>(event));
      return true;
    }
  }
  return false;
}
