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
#include "analysis/WaveformExtractor.h"
#include "app/rules/Footprint.h"
#include "app/rules/SettingsStore.h"
#include "app/shell/KeyCommands.h"
#include "app/shell/MGDesktop.h"
#include "app/shell/MGMainWindow.h"
#include "app/shell/MGMenuBar.h"
#include "base/Scheduler.h"
#include "edit/EditSession.h"
#include "export/controller/ExportController.h"
#include "export/settings/ExportSettings.h"
#include "platform/MediaPorts.h"
#include "platform/ToolkitPorts.h"
#include "playback/recovery/PlaybackRecoveryController.h"
#include "playback/scrub/ScrubController.h"
#include "playback/session/PlayerSession.h"
#include "playback/session/Transport.h"
#include "source/MGSerialQueue.h"

class MGExportSessions;
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
                            public kf::OpenPanelPort,
                            public kf::ExportDocument,
                            public kf::ExportView {
 public:
  // Makes the media engine's asset for a prepared movie: a file path, or a
  // served URL with its loader.
  using AssetFactory = std::function<std::shared_ptr<kf::media::MediaAsset>(
      const std::string& filePath, const std::string& servedURL, std::shared_ptr<kf::MGRangeAssetLoader> loader)>;
  // Turns an address into a prepared movie (source preparation); the
  // completion runs once on the main thread. Returns how to abandon it.
  using Preparer =
      std::function<kf::CancelPreparation(const kf::MovieURL& url, std::function<void(kf::PreparedMovie)> completion)>;
  // Makes the export sessions that read the open movie's asset.
  using ExportSessionsForAsset =
      std::function<std::shared_ptr<kf::ExportSessionFactory>(const std::shared_ptr<kf::media::MediaAsset>& asset)>;

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
    // Export progress for the desktop's launcher (0…1; nullopt when no
    // export runs). May be empty.
    std::function<void(std::optional<double>)> launcherProgress;
    ExportSessionsForAsset exportSessions;
    // Dialogs, the file manager and second processes; null: the Qt ones.
    kf::DesktopPort* desktop = nullptr;
    // Ends the application's run loop; null: QCoreApplication::quit.
    std::function<void()> quit;
    // Darkens the picture view's own drawing (the fade preview, 0 .. 1).
    // When set, the overlay covers the picture only with the empty-state
    // poster and is hidden while a movie is open, so no widget lies over
    // the video; clicks on the picture reach the overlay's click handling.
    std::function<void(double amount)> pictureDarkening;
    // Opens a movie's first audio track for the timeline's waveform; empty:
    // no waveform.
    kf::AudioReaderOpener openAudio;
  };

  // The answer to a quit request: now, not at all, or later (once the
  // running export has ended).
  enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

  explicit MGAppDelegate(Services services);
  ~MGAppDelegate() override;

  // The movie to open at launch (set by main before launching).
  void setStartupURL(std::string address) { startupURL_ = std::move(address); }
  // Builds the window, installs the key and pointer filters, starts the
  // footprint timer and opens the startup movie.
  void applicationDidFinishLaunching();

  void openURL(const std::string& address);
  void openDocument();
  // Open requests from the desktop (files opened with the program, handoff
  // links): the first one is opened here while no movie is open, else in a
  // second process of the program, leaving this edit untouched.
  void applicationOpenURLs(const std::vector<std::string>& urls);

  // Quit request (the "Quit Kerfline" command and the session's end).
  TerminateReply applicationShouldTerminate();
  // "Quit Kerfline": asks, then ends the run loop now or after the export.
  void terminate();
  // Finishes a quit answered with Later.
  void replyToApplicationShouldTerminate(bool terminate);
  // The close button: true when the window may close.
  bool windowShouldClose();

  MGMainWindow* window() const { return window_; }
  kf::EditSession& edit() { return *edit_; }
  kf::PlayerSession& session() { return *session_; }
  kf::Transport& transport() { return *transport_; }
  kf::KeyCommandController& keys() { return *keys_; }
  kf::ExposureController& exposure() { return *exposure_; }
  kf::WaveformExtractor& waveform() { return *waveform_; }
  // Holds the waveform's decoding while a scrub runs (true) and releases it.
  void setWaveformPaused(bool paused) { waveform_->setPaused(paused); }
  // Dispatches a key as the key filter does; true when consumed.
  bool handleKeyPress(const kf::KeyPress& key);

  kf::ExportController& exporter() { return *exporter_; }
  const kf::ExportSettings& exportSettings() const { return exportSettings_; }
  MGMenuBar* menuBar() const { return menu_.get(); }
  // True while an export, a clip export or a lossless copy runs.
  bool isExportRunning() const { return exporter_ && exporter_->isBusy(); }

  // ---- Menus -------------------------------------------------------------
  // Builds the menu bar into the window, reads the export settings and
  // fills the recent menu.
  void buildMenu();
  // Enables, disables and ticks one item by the validation table; returns
  // whether it is enabled.
  bool validateMenuItem(QAction* item);
  // Runs the item's command (the menu bar's and the shortcuts' action).
  void performMenuCommand(kf::MenuCommand command, QAction* item);
  // The state the validation table reads.
  kf::MenuCommandState menuCommandState(bool withFolder) const;
  void rebuildRecentMenu();
  void clearRecent();
  void openRecent(QAction* item);
  // Fills the folder menu with the open movie's sibling movies.
  void menuNeedsUpdate(QMenu* menu);
  void openFolderVideo(QAction* item);
  void showAbout();
  void setExportOutput(std::int64_t tag);
  void setExportMode(std::int64_t tag);
  void setExportSize(std::int64_t tag);
  void updateExportSettingsMenu();

  // ---- Export commands ---------------------------------------------------
  void exportDocument();
  void exportToPath(const std::string& destination);
  void saveInPlace();
  void optimizeForEditing();
  void showLastExport();

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
  // ExportDocument
  bool hasMovie() const override;
  std::string sourcePath() const override;
  double movieDuration() const override;
  std::vector<std::string> sourceCodecs() const override;
  kerfline::EditState editState() const override;
  bool isDirty() const override;
  void markExported(const std::string& signature) override;
  void pausePlayer() override;
  void reopen(const std::string& path) override;
  void performClose() override;
  void replyToTerminate(bool terminate) override { replyToApplicationShouldTerminate(terminate); }
  // ExportView (setStatus above)
  void showExportProgress(double fraction, bool indeterminate) override;
  void hideExportProgress() override;
  void setDockBadge(const std::optional<std::string>& text) override;
  void setTransportEnabled(bool enabled) override;
  void setExportMenuTitle(const std::string& title) override;
  bool isMainWindowKey() const override;
  void requestAttention() override;
  void runSavePanel(const kf::SavePanelRequest& request,
                    std::function<void(std::optional<std::string>)> completion) override;
  void runFolderPanel(const std::string& startFolder, const std::string& prompt,
                      std::function<void(std::optional<std::string>)> completion) override;
  void revealInFileBrowser(const std::string& path) override;

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

  // Points the export sessions at the open movie's asset.
  void useAssetForExport();
  void applyWindowTitle();

  void buildWindow();
  void wireWindow();
  void showClipMenu(const kf::ClipMenu& menu, const QPoint& globalPos, bool atPointer);
  void sampleFootprint();

  Services services_;
  std::unique_ptr<MGQtDesktop> qtDesktop_;
  kf::DesktopPort* desktop_ = nullptr;
  kf::MemorySettingsStore fallbackSettings_;
  kf::ExportSettings exportSettings_;
  std::unique_ptr<MGExportSessions> exportSessions_;
  std::unique_ptr<kf::ExportController> exporter_;
  std::unique_ptr<MGMenuBar> menu_;
  std::string windowTitle_ = "Kerfline";
  std::optional<std::string> exportBadge_;
  std::string startupURL_;
  std::unique_ptr<Preparation> preparation_;

  QPointer<MGMainWindow> window_;
  std::unique_ptr<kf::EditSession> edit_;
  std::unique_ptr<kf::PlayerSession> session_;
  std::unique_ptr<kf::ScrubController> scrub_;
  std::unique_ptr<kf::Transport> transport_;
  std::unique_ptr<kf::PlaybackRecoveryController> recovery_;
  std::unique_ptr<kf::KeyCommandController> keys_;
  std::unique_ptr<kf::ExposureController> exposure_;
  std::unique_ptr<kf::WaveformExtractor> waveform_;

  QPointer<MGRenameField> renameField_;
  QAction* undoAction_ = nullptr;
  QAction* redoAction_ = nullptr;
  std::string undoTitle_ = "Undo";
  std::string redoTitle_ = "Redo";

  kf::MGMFootprint footprint_;
  kf::ScopedTask footprintTimer_;
  // Writes the desktop's recently-used list, in order, off the main thread:
  // each write ends with an fsync, which on a slow or network home folder
  // would hold up the window (and the first picture of the movie just
  // opened). It does not hold up quitting when that disk does not answer.
  std::unique_ptr<kf::MGSerialQueue> recentlyUsedWriter_ = std::make_unique<kf::MGSerialQueue>("recently-used list");
  kf::ScopedTask transportHideTimer_;
  bool cursorHidden_ = false;
  bool terminating_ = false;
  bool terminateLater_ = false;  // a quit waits for the export to end
  bool closeWithoutEditPrompt_ = false;  // a deferred close asks nothing more
  bool editDiscarded_ = false;  // the user agreed to lose the edit on close
};
