// The composition root and document controller: builds the window and the
// controllers (edit session, player session, transport, key commands),
// implements their ports with the window's widgets and the toolkit, and
// guards closing and quitting.
//
// Ownership: owns the window, the controllers and the adapters; borrows the
// scheduler, the player and the settings store, which must outlive it.
// Threads: main thread only; completions of worker threads arrive through
// the scheduler.
#pragma once

#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analysis/ExposureController.h"
#include "app/rules/Footprint.h"
#include "app/rules/SettingsStore.h"
#include "app/shell/KeyCommands.h"
#include "app/shell/MGMainWindow.h"
#include "base/Scheduler.h"
#include "edit/EditSession.h"
#include "platform/MediaPorts.h"
#include "platform/ToolkitPorts.h"
#include "playback/recovery/PlaybackRecoveryController.h"
#include "playback/scrub/ScrubController.h"
#include "playback/session/PlayerSession.h"
#include "playback/session/Transport.h"

class QAction;
class QMenu;
class QMouseEvent;

class MGAppDelegate final : public QObject,
                            public kf::EditPlayerPort,
                            public kf::EditTimelinePort,
                            public kf::EditOverlayPort,
                            public kf::StatusLinePort,
                            public kf::UndoMenuPort,
                            public kf::RenameFieldPort,
                            public kf::PlayerSessionViewPort,
                            public kf::MovieListPort,
                            public kf::TransportViewPort,
                            public kf::KeyCommandTarget,
                            public kf::AlertPort,
                            public kf::OpenPanelPort {
 public:
  // Makes the media engine's asset for a prepared movie: a file path, or a
  // served URL with its loader.
  using AssetFactory = std::function<std::shared_ptr<kf::media::MediaAsset>(
      const std::string& filePath, const std::string& servedURL, std::shared_ptr<kf::MGRangeAssetLoader> loader)>;
  // Turns an address into a prepared movie (source preparation); the
  // completion runs once on the main thread.
  using Preparer = std::function<void(const kf::MovieURL& url, std::function<void(kf::PreparedMovie)> completion)>;

  struct Services {
    kf::Scheduler* scheduler = nullptr;
    kf::media::Player* player = nullptr;
    QWidget* pictureView = nullptr;  // taken over by the window
    kf::SettingsStore* settings = nullptr;
    Preparer prepare;
    // The toolkit's own memory of the window frame between launches
    // ("KerflineMainWindow"); empty: not remembered.
    QString frameAutosaveName;
    // The desktop's recently-used list that opened movies are added to
    // (kf::RecentlyUsedFilePath()); empty: none.
    std::string recentlyUsedFile;
  };

  explicit MGAppDelegate(Services services);
  ~MGAppDelegate() override;

  // The movie to open at launch (set by main before launching).
  void setStartupURL(std::string address) { startupURL_ = std::move(address); }
  // Builds the window, installs the key and pointer filters, starts the
  // footprint timer and opens the startup movie.
  void applicationDidFinishLaunching();

  void openURL(const std::string& address) { session_->openURL(address); }
  void openDocument();

  // Quit request: true when the program may end now.
  bool applicationShouldTerminate();
  // The close button: true when the window may close.
  bool windowShouldClose();

  MGMainWindow* window() const { return window_; }
  kf::EditSession& edit() { return *edit_; }
  kf::PlayerSession& session() { return *session_; }
  kf::Transport& transport() { return *transport_; }
  kf::KeyCommandController& keys() { return *keys_; }
  kf::ExposureController& exposure() { return *exposure_; }
  // Dispatches a key as the key filter does; true when consumed.
  bool handleKeyPress(const kf::KeyPress& key);

  // True while an export, a clip export or a lossless copy runs: asks the
  // export controller through the test set here (none yet: nothing runs).
  bool isExportRunning() const { return exportBusyTest_ && exportBusyTest_(); }
  void setExportBusyTest(std::function<bool()> test) { exportBusyTest_ = std::move(test); }

  // ---- Ports -----------------------------------------------------------
  // EditPlayerPort
  double currentTime() const override;
  void seek(double seconds) override;
  void pause() override;
  // EditTimelinePort
  void setEdit(const std::vector<kerfline::TimeSpan>& segments, const std::vector<std::string>& names,
               const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts,
               std::int64_t selected) override;
  double duration() const override;
  void setDuration(double seconds) override;
  kf::Rect rectForSegment(std::int64_t i) const override;
  void refreshEditorUIAtSeconds(double seconds) override;
  // EditOverlayPort and TransportViewPort
  void setBlackAmount(double amount) override;
  void setExposureAmount(double stops) override;
  void applyExposurePreview() override;
  // StatusLinePort
  void setStatus(const std::string& text) override;
  // UndoMenuPort
  void setUndoItem(const std::string& title, bool enabled) override;
  void setRedoItem(const std::string& title, bool enabled) override;
  // RenameFieldPort
  void showField(const std::string& text, const std::string& placeholder, const kf::Rect& frame) override;
  std::string text() const override;
  void removeField() override;
  void focusTimeline() override;
  // PlayerSessionViewPort
  void setWindowTitle(const std::string& title) override;
  void setMediaInfo(const std::string& text) override;
  void setEditorVisible(bool visible) override;
  void setOverlayEmptyState(bool empty) override;
  void setExposureToolTip(const std::string& toolTip) override;
  void saveGeometryForCurrentMovie() override;
  void restoreGeometryOrSizeForTrack(const std::optional<kf::media::TrackInfo>& videoTrack,
                                     const kf::MovieURL& url) override;
  // MovieListPort
  void noteRecentURL(const kf::MovieURL& url) override;
  std::string folderPositionSuffix(const kf::MovieURL& url) override;
  // TransportViewPort
  void setPlayhead(double sourceSeconds) override;
  void setPlayButtonPlaying(bool playing) override;
  void setClockText(const std::string& text) override;
  void redrawTimeline() override;
  void setVolumeSliderValue(double value) override;
  void setMuteButtonMuted(bool muted) override;
  void setMuteButtonToolTip(const std::string& toolTip) override;
  // KeyCommandTarget
  void stepFolderVideo(int direction) override;
  void redoEdit() override;
  void showKeyboardTimelineMenu() override;
  void togglePlayback() override;
  void split() override;
  void removeSelected() override;
  void toggleZoomSize() override;
  void toggleMute() override;
  void toggleFullScreen() override;
  // Exposure commands (the transport's buttons, "[" and "]", the menu).
  void exposureDarker() override;
  void exposureBrighter() override;
  void adjustVolumeBy(double delta) override;
  void jump(int direction, bool frames) override;
  void beginRename() override;
  void seekHome() override;
  void seekEnd() override;
  bool cancelTimelineInteraction() override;
  bool cancelArmedJunction() override;
  bool isFullScreen() const override;
  void exitFullScreen() override;
  // AlertPort
  int runModalAlert(const kf::AlertSpec& alert) override;
  void showErrorAlert(const kf::Error& error) override;
  // OpenPanelPort
  void runOpenPanel(const std::vector<std::string>& extensions,
                    std::function<void(std::optional<std::string> path)> completion) override;

  // The sun button and the menu items "Reset Exposure" and "Auto-Fix
  // Exposure".
  void resetExposure();
  void autoExposure();

  // Full screen and the auto-hiding transport.
  void notePointerMovement();
  void windowDidEnterFullScreen();
  void windowDidExitFullScreen();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Preparation;

  void buildWindow();
  void wireWindow();
  void showClipMenu(const kf::ClipMenu& menu, const QPoint& globalPos, bool atPointer);
  void sampleFootprint();

  Services services_;
  std::function<bool()> exportBusyTest_;
  std::string startupURL_;
  std::unique_ptr<Preparation> preparation_;

  QPointer<MGMainWindow> window_;
  std::unique_ptr<kf::EditSession> edit_;
  std::unique_ptr<kf::PlayerSession> session_;
  std::unique_ptr<kf::ScrubController> scrub_;
  std::unique_ptr<kf::Transport> transport_;
  std::unique_ptr<kf::PlaybackRecoveryController> recovery_;
  // Set while a scrub runs; the waveform extraction pauses while it holds.
  std::atomic<bool> waveformPaused_{false};
  std::unique_ptr<kf::KeyCommandController> keys_;
  std::unique_ptr<kf::ExposureController> exposure_;

  QPointer<MGRenameField> renameField_;
  QAction* undoAction_ = nullptr;
  QAction* redoAction_ = nullptr;
  std::string undoTitle_ = "Undo";
  std::string redoTitle_ = "Redo";

  kf::MGMFootprint footprint_;
  kf::ScopedTask footprintTimer_;
  kf::ScopedTask transportHideTimer_;
  kf::media::ObserverId timeObserver_ = 0;
  bool cursorHidden_ = false;
  bool terminating_ = false;
  bool editDiscarded_ = false;  // the user agreed to lose the edit on close
};
