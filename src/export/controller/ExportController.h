// The export controller: "Export As…" and everything that writes output —
// the byte-for-byte copy of an untouched movie, the joined export session,
// the separate-clips export with two workers, save in place and optimize —
// with their progress, cancellation, results and the deferred close or quit.
//
// Threads: every public method runs on the main thread. Workers (the copy,
// the two clip workers, the sessions' own threads) hand their results back
// through the Scheduler; a result that arrives after the controller is gone
// is dropped. Shared with workers: the copy's cancel flag and progress
// counters, the clip counters (atomics), the clip sessions (clipMutex_) and
// the first clip error (firstErrorMutex_). No lock is held while a
// completion runs.
//
// Lifetime: destroying the controller cancels whatever runs and waits for
// its workers to end.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Error.h"
#include "base/Scheduler.h"
#include "edit/EditState.h"
#include "export/files/FileOps.h"
#include "export/plan/ExportPlan.h"
#include "export/plan/ExportSessionPort.h"
#include "app/rules/SettingsStore.h"
#include "export/settings/ExportSettings.h"
#include "platform/ToolkitPorts.h"

namespace kf {

// Error codes of the "Kerfline" domain used here.
inline constexpr std::int64_t kExportFailedCode = 3;
inline constexpr std::int64_t kClipNotPreparedCode = 4;
inline constexpr std::int64_t kClipFailedCode = 5;
inline constexpr std::int64_t kClipPresetCode = 6;
inline constexpr std::int64_t kPresetUnavailableCode = 7;

// Settings key of the folder the latest export wrote into, kept so that the
// next launch can remove what a killed export left there.
inline constexpr const char* kLastExportFolderKey = "lastExportFolder";

// Removes the stale temporary files (see RemoveStaleTemporaries) in the
// folder recorded under kLastExportFolderKey. Returns how many were removed.
int SweepLastExportFolder(const SettingsStore& store);

// The open movie and its edit, as the export sees them. Main thread.
class ExportDocument {
 public:
  virtual ~ExportDocument() = default;
  virtual bool hasMovie() const = 0;
  virtual std::string sourcePath() const = 0;
  // The movie's duration held by the timeline, seconds.
  virtual double movieDuration() const = 0;
  // FFmpeg's short names of the codecs of the movie's picture and sound
  // tracks ("h264", "aac", ...); empty when not known. They decide the
  // extension of proposed names (OutputContainer.h).
  virtual std::vector<std::string> sourceCodecs() const = 0;
  virtual kerfline::EditState editState() const = 0;
  virtual bool isDirty() const = 0;
  // Records the signature of the exported edit and refreshes the dirty flag.
  virtual void markExported(const std::string& signature) = 0;
  virtual void pausePlayer() = 0;
  // Opens the movie at `path` afresh (after a save in place).
  virtual void reopen(const std::string& path) = 0;
  // The deferred window close and application termination.
  virtual void performClose() = 0;
  virtual void replyToTerminate(bool terminate) = 0;
};

struct SavePanelRequest {
  std::string folder;        // where the panel starts
  std::string proposedName;
  // The one allowed type, by extension ("mp4", "webm", ...); empty: any movie.
  std::string allowedExtension;
};

// The window's parts the export drives. Main thread.
class ExportView {
 public:
  virtual ~ExportView() = default;
  virtual void setStatus(const std::string& text) = 0;
  virtual void showExportProgress(double fraction, bool indeterminate) = 0;
  virtual void hideExportProgress() = 0;
  // nullopt removes the badge.
  virtual void setDockBadge(const std::optional<std::string>& text) = 0;
  // Enables or disables every control of the transport bar.
  virtual void setTransportEnabled(bool enabled) = 0;
  virtual void setExportMenuTitle(const std::string& title) = 0;
  virtual bool isMainWindowKey() const = 0;
  virtual void requestAttention() = 0;
  // Sheets; the completion runs once on the main thread with the chosen path
  // or nullopt when cancelled.
  virtual void runSavePanel(const SavePanelRequest& request,
                            std::function<void(std::optional<std::string>)> completion) = 0;
  virtual void runFolderPanel(const std::string& startFolder, const std::string& prompt,
                              std::function<void(std::optional<std::string>)> completion) = 0;
  // Shows the file or folder selected in the file browser.
  virtual void revealInFileBrowser(const std::string& path) = 0;
};

class ExportController {
 public:
  ExportController(Scheduler& scheduler, ExportDocument& document, ExportView& view, AlertPort& alerts,
                   const ExportSettings& settings, ExportSessionFactory& sessions);
  ~ExportController();
  ExportController(const ExportController&) = delete;
  ExportController& operator=(const ExportController&) = delete;

  // "Export As…": cancels a running export, else asks for a destination.
  void exportDocument();
  // Writes one movie (byte copy or export session) to `destination`.
  void exportToPath(const std::string& destination);
  void exportClipsToDirectory(const std::string& folder);
  void saveInPlace();
  void optimizeForEditing();
  void showLastExport();

  // An export runs: the byte copy, an export session, or clips.
  bool isBusy() const { return copying_ || session_ != nullptr || clipExporting_; }
  // Asks whatever runs to stop (the close and quit prompts); its completion
  // follows later.
  void cancelRunningExport();
  // Close or quit once the running export has ended.
  void setCloseAfterExport() { closeAfterExport_ = true; }
  void setTerminateAfterExport() { terminateAfterExport_ = true; }

  const std::optional<std::string>& lastExportPath() const { return lastExportPath_; }

  // Records the folder of every output about to be written under
  // kLastExportFolderKey in `store` (null: nowhere). The store must outlive
  // the controller.
  void rememberOutputFoldersIn(SettingsStore* store) { folderMemory_ = store; }

  // Planning with the current settings and edit.
  bool hasEffects() const;
  bool isUntouched() const;
  // Whether exportToPath(destination) would copy the source byte for byte
  // (an untouched edit, lossless at source size, into the source's own
  // container) rather than start an export session.
  bool copiesBytesTo(const std::string& destination) const;
  ExportPreset effectivePreset() const;
  CompositionPlan compositionForSegments(const std::vector<TimeSpan>& segments, const std::vector<double>& fadesIn,
                                         const std::vector<double>& fadesOut, ExportPreset preset) const;

 private:
  struct Alive {};
  struct CopyProgressState {
    std::atomic<std::uint64_t> copied{0};
    std::atomic<std::uint64_t> total{0};
  };

  void presentError(const Error& error);
  // Asks `alert`; on its first button, exports to a hidden sibling of
  // `source` that replaces it once complete.
  void replaceAfterConfirming(const AlertSpec& alert, const std::string& source, bool optimize);
  // Starts the byte copy or the session that writes `output`'s temporary file.
  void startStaged(const StagedOutput& output);
  void startByteCopy(const StagedOutput& output);
  void copyTick(const std::shared_ptr<CopyProgressState>& state);
  void copyFinished(bool cancelled, const Status& error, const std::string& destination);
  void startSession(const StagedOutput& output);
  void sessionTick();
  void sessionFinished(const StagedOutput& output);
  void clipWorker();
  void runClip(std::size_t j);
  void clipTick();
  void clipsFinished();
  void recordClipError(const Error& error);
  void runDeferred();
  void markExported();
  void noteOutputFolder(const std::string& folder);
  // The extension that fits what an export with `preset` writes.
  std::string outputExtension(ExportPreset preset) const;

  Scheduler& scheduler_;
  ExportDocument& document_;
  ExportView& view_;
  AlertPort& alerts_;
  const ExportSettings& settings_;
  ExportSessionFactory& sessions_;
  SettingsStore* folderMemory_ = nullptr;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();

  ScopedTask exportTimer_;
  double exportStarted_ = 0;
  std::optional<std::string> lastExportPath_;
  bool closeAfterExport_ = false;
  bool terminateAfterExport_ = false;

  // Byte copy.
  bool copying_ = false;
  std::shared_ptr<std::atomic<bool>> copyCancelled_ = std::make_shared<std::atomic<bool>>(false);
  std::thread copyWorker_;

  // Joined export session.
  std::unique_ptr<ExportSessionPort> session_;
  std::optional<std::string> exportPath_;
  std::optional<std::string> replaceTarget_;
  bool optimizeExport_ = false;
  double sessionEditedDuration_ = 0;

  // Clips.
  bool clipExporting_ = false;
  std::atomic<bool> clipCancelled_{false};
  std::vector<std::string> clipPaths_;
  std::string clipFolder_;
  kerfline::EditState clipEdit_;  // the edit as it was when the clip export started
  std::string clipSource_;
  ExportPreset clipPreset_ = ExportPreset::Passthrough;
  std::atomic<std::size_t> nextClip_{0};
  std::atomic<int> clipCompleted_{0};
  std::atomic<int> clipFailures_{0};
  std::atomic<int> clipWorkersRunning_{0};
  std::vector<std::thread> clipWorkers_;
  std::mutex clipMutex_;  // guards clipSessions_ and the cancelling of its sessions
  std::vector<std::shared_ptr<ExportSessionPort>> clipSessions_;
  std::mutex firstErrorMutex_;  // guards clipFirstError_
  std::optional<Error> clipFirstError_;
};

}  // namespace kf
