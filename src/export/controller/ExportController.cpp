#include "export/controller/ExportController.h"

#include <unistd.h>

#include <cmath>
#include <future>

#include "edit/TimeMap.h"
#include "export/files/FailureAdvice.h"
#include "export/files/FileOps.h"
#include "export/naming/ExportNaming.h"
#include "export/plan/OutputContainer.h"

namespace kf {
namespace {

constexpr const char* kExportAs = "Export As…";
constexpr const char* kCancelExport = "Cancel Export";

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

Error KerflineError(std::int64_t code, std::string message) {
  return Error{kKerflineErrorDomain, code, std::move(message)};
}

}  // namespace

int SweepLastExportFolder(const SettingsStore& store) {
  const std::optional<SettingsValue> value = store.value(kLastExportFolderKey);
  const std::string* folder = value ? std::get_if<std::string>(&*value) : nullptr;
  return folder && !folder->empty() ? RemoveStaleTemporaries(*folder) : 0;
}

ExportController::ExportController(Scheduler& scheduler, ExportDocument& document, ExportView& view,
                                   AlertPort& alerts, const ExportSettings& settings,
                                   ExportSessionFactory& sessions)
    : scheduler_(scheduler), document_(document), view_(view), alerts_(alerts), settings_(settings),
      sessions_(sessions) {}

ExportController::~ExportController() {
  alive_.reset();
  copyCancelled_->store(true);
  clipCancelled_.store(true);
  {
    std::lock_guard<std::mutex> lock(clipMutex_);
    for (auto& s : clipSessions_) s->cancelExport();
  }
  if (session_) session_->cancelExport();
  session_.reset();  // waits for the session's worker
  if (copyWorker_.joinable()) copyWorker_.join();
  for (auto& t : clipWorkers_)
    if (t.joinable()) t.join();
}

// ---- planning ---------------------------------------------------------------

bool ExportController::hasEffects() const { return HasEffects(document_.editState()); }

bool ExportController::isUntouched() const { return IsUntouched(document_.editState(), document_.movieDuration()); }

ExportPreset ExportController::effectivePreset() const {
  return EffectivePreset(settings_.exportMode(), settings_.exportSize(), hasEffects());
}

CompositionPlan ExportController::compositionForSegments(const std::vector<TimeSpan>& segments,
                                                         const std::vector<double>& fadesIn,
                                                         const std::vector<double>& fadesOut,
                                                         ExportPreset preset) const {
  CompositionRequest r;
  r.segments = segments;
  r.fadesIn = fadesIn;
  r.fadesOut = fadesOut;
  r.exposure = optimizeExport_ ? 0.0 : document_.editState().exposure;
  r.exportSize = settings_.exportSize();
  r.optimize = optimizeExport_;
  r.preset = preset;
  return PlanComposition(r);
}

// ---- the command ---------------------------------------------------------

void ExportController::presentError(const Error& error) {
  alerts_.showErrorAlert(error);
  view_.setStatus(error.message);
}

void ExportController::cancelRunningExport() {
  if (session_) {
    session_->cancelExport();
  } else if (clipExporting_) {
    clipCancelled_.store(true);
    std::lock_guard<std::mutex> lock(clipMutex_);
    for (auto& s : clipSessions_) s->cancelExport();
  } else if (copying_) {
    copyCancelled_->store(true);
  }
}

void ExportController::exportDocument() {
  if (session_) {
    session_->cancelExport();
    view_.setStatus("Cancelling export…");
    return;
  }
  if (clipExporting_) {
    cancelRunningExport();
    view_.setStatus("Cancelling clip exports…");
    return;
  }
  if (copying_) {
    copyCancelled_->store(true);
    view_.setStatus("Cancelling lossless copy…");
    return;
  }
  if (!document_.hasMovie() || document_.editState().segments.empty()) return;
  const std::string source = document_.sourcePath();
  std::weak_ptr<Alive> alive = alive_;
  if (settings_.exportSeparate()) {
    view_.runFolderPanel(FolderOf(source), "Export Clips", [this, alive](std::optional<std::string> folder) {
      if (alive.lock() && folder) exportClipsToDirectory(*folder);
    });
    return;
  }
  const bool copy = isUntouched() && settings_.exportMode() == 0 && settings_.exportSize() == 0;
  SavePanelRequest request;
  request.folder = FolderOf(source);
  const std::string extension = outputExtension(effectivePreset());
  request.proposedName = proposedExportName(lastPathComponent(source), copy, extension);
  if (!copy) request.allowedExtension = extension;
  view_.runSavePanel(request, [this, alive](std::optional<std::string> path) {
    if (alive.lock() && path) exportToPath(*path);
  });
}

void ExportController::exportToPath(const std::string& destination) {
  if (isBusy()) return;
  if (document_.hasMovie() && SameFile(destination, document_.sourcePath())) {
    saveInPlace();
    return;
  }
  // Whatever exists at the destination stays as it is until the new movie
  // is complete: it is written beside it and renamed over it at the end.
  Result<StagedOutput> staged = StageOutput(destination);
  if (!staged) {
    replaceTarget_.reset();
    optimizeExport_ = false;
    presentError(AdviseOnFailure(staged.error(), {document_.sourcePath(), destination, "", false}, FailedFile::Output));
    return;
  }
  noteOutputFolder(FolderOfPath(staged->finalPath));
  startStaged(*staged);
}

std::string ExportController::outputExtension(ExportPreset preset) const {
  return FittingExtension(OutputCodecs(preset, document_.sourceCodecs()), lastPathComponent(document_.sourcePath()));
}

bool ExportController::copiesBytesTo(const std::string& destination) const {
  // A byte copy only where the name says the source's own container: a
  // different extension asks for that container, which the session writes.
  return UsesByteCopy(optimizeExport_, replaceTarget_.has_value(), isUntouched(), settings_.exportMode(),
                      settings_.exportSize()) &&
         KeepsContainer(lastPathComponent(document_.sourcePath()), lastPathComponent(destination));
}

void ExportController::startStaged(const StagedOutput& output) {
  if (copiesBytesTo(output.finalPath))
    startByteCopy(output);
  else
    startSession(output);
}

// ---- byte copy -----------------------------------------------------------

void ExportController::startByteCopy(const StagedOutput& output) {
  copying_ = true;
  view_.setTransportEnabled(false);
  copyCancelled_ = std::make_shared<std::atomic<bool>>(false);
  view_.setExportMenuTitle(kCancelExport);
  view_.setDockBadge("…");
  view_.showExportProgress(0, false);
  view_.setStatus("Copying source without modification…");
  exportStarted_ = scheduler_.now();
  auto state = std::make_shared<CopyProgressState>();
  std::weak_ptr<Alive> alive = alive_;
  exportTimer_ = ScopedTask(&scheduler_, scheduler_.postRepeating(0.1, [this, alive, state] {
                              if (alive.lock()) copyTick(state);
                            }));
  if (copyWorker_.joinable()) copyWorker_.join();
  copyWorker_ = std::thread([this, alive, state, cancel = copyCancelled_, source = document_.sourcePath(), output] {
    CopyOutcome outcome = CopyFileBytes(source, output.tempPath, *cancel, [state](std::uint64_t c, std::uint64_t t) {
      state->copied.store(c);
      state->total.store(t);
    });
    if (!outcome.cancelled && !outcome.error) {
      if (Status s = CommitOutput(output)) {
        outcome.error = Error{s->domain, s->code, "Lossless copy failed: " + s->message};
        outcome.failedFile = FailedFile::Output;
      }
    }
    if (outcome.error)
      outcome.error = AdviseOnFailure(*outcome.error, {source, output.finalPath, output.tempPath, false},
                                      outcome.failedFile);
    if (outcome.cancelled || outcome.error) RemoveFileIfPresent(output.tempPath);
    scheduler_.post([this, alive, outcome, destination = output.finalPath] {
      if (alive.lock()) copyFinished(outcome.cancelled, outcome.error, destination);
    });
  });
}

void ExportController::copyTick(const std::shared_ptr<CopyProgressState>& state) {
  if (!copying_) return;
  const std::uint64_t copied = state->copied.load();
  const std::uint64_t total = state->total.load();
  const double p = CopyProgressFraction(copied, total);
  view_.setStatus(CopyProgressText(copied, total, scheduler_.now() - exportStarted_));
  view_.showExportProgress(p, false);
  view_.setDockBadge(PercentBadge(p));
}

void ExportController::copyFinished(bool cancelled, const Status& error, const std::string& destination) {
  exportTimer_.reset();
  copying_ = false;
  if (copyWorker_.joinable()) copyWorker_.join();
  view_.setTransportEnabled(true);
  view_.setExportMenuTitle(kExportAs);
  view_.setDockBadge(std::nullopt);
  view_.hideExportProgress();
  if (cancelled) {
    view_.setStatus("Lossless copy cancelled");
  } else if (error) {
    presentError(*error);
  } else {
    markExported();
    lastExportPath_ = destination;
    view_.setStatus("Copied " + lastPathComponent(destination) + " byte-for-byte");
    if (!view_.isMainWindowKey()) view_.requestAttention();
  }
  runDeferred();
}

// ---- joined export session ----------------------------------------------

void ExportController::startSession(const StagedOutput& output) {
  std::vector<TimeSpan> segments;
  std::vector<double> fadesIn, fadesOut;
  const kerfline::EditState edit = document_.editState();
  if (optimizeExport_) {
    segments = {{0, document_.movieDuration()}};
    fadesIn = {0};
    fadesOut = {0};
  } else {
    segments = edit.segments;
    fadesIn = edit.fadeIns;
    fadesOut = edit.fadeOuts;
  }
  const ExportPreset preset = optimizeExport_ ? ExportPreset::Passthrough : effectivePreset();
  ExportRequest request;
  request.plan = compositionForSegments(segments, fadesIn, fadesOut, preset);
  request.outputPath = output.tempPath;
  request.fileType = outputFileTypeForPath(output.finalPath);
  request.fileName = lastPathComponent(output.finalPath);
  session_ = sessions_.makeSession(request);
  if (!session_) {
    RemoveFileIfPresent(output.tempPath);
    const FailureFiles files{document_.sourcePath(), replaceTarget_.value_or(output.finalPath), output.tempPath,
                             replaceTarget_.has_value()};
    replaceTarget_.reset();
    optimizeExport_ = false;
    presentError(AdviseOnFailure(
        KerflineError(kPresetUnavailableCode, "The selected export preset is not available for this movie."), files));
    return;
  }
  sessionEditedDuration_ = kerfline::EditedDuration(edit.segments);
  exportPath_ = output.finalPath;
  view_.setTransportEnabled(false);
  exportStarted_ = scheduler_.now();
  view_.setExportMenuTitle(kCancelExport);
  view_.setStatus("Exporting 0%");
  view_.setDockBadge("0%");
  view_.showExportProgress(0, false);
  std::weak_ptr<Alive> alive = alive_;
  exportTimer_ = ScopedTask(&scheduler_, scheduler_.postRepeating(0.1, [this, alive] {
                              if (alive.lock()) sessionTick();
                            }));
  Scheduler& main = scheduler_;
  session_->exportAsynchronously([this, alive, &main, output] {
    main.post([this, alive, output] {
      if (alive.lock()) sessionFinished(output);
    });
  });
}

void ExportController::sessionTick() {
  if (!session_) return;
  const double p = session_->progress();
  view_.setStatus(SessionProgressText(p, scheduler_.now() - exportStarted_, sessionEditedDuration_));
  view_.showExportProgress(p, false);
  view_.setDockBadge(PercentBadge(p));
}

void ExportController::sessionFinished(const StagedOutput& output) {
  if (!session_) return;
  exportTimer_.reset();
  view_.setDockBadge(std::nullopt);
  view_.hideExportProgress();
  const ExportStatus status = session_->status();
  bool replaced = false;
  const FailureFiles files{document_.sourcePath(), replaceTarget_.value_or(output.finalPath), output.tempPath,
                           replaceTarget_.has_value()};
  if (status == ExportStatus::Cancelled) {
    RemoveFileIfPresent(output.tempPath);
    view_.setStatus("Export cancelled");
  } else if (status == ExportStatus::Completed) {
    Status swap;
    if (replaceTarget_) {
      document_.pausePlayer();
      swap = ReplaceFile(*replaceTarget_, output.tempPath);
    } else {
      swap = CommitOutput(output);
    }
    if (!swap) {
      markExported();
      if (replaceTarget_) {
        replaced = true;
        lastExportPath_ = *replaceTarget_;
        view_.setStatus(optimizeExport_ ? "Optimized movie and safely replaced the original"
                                        : "Saved and safely replaced the original");
      } else {
        lastExportPath_ = output.finalPath;
        view_.setStatus("Exported " + lastPathComponent(output.finalPath));
      }
      if (!view_.isMainWindowKey()) view_.requestAttention();
    } else {
      RemoveFileIfPresent(output.tempPath);
      presentError(AdviseOnFailure(*swap, files, replaceTarget_ ? FailedFile::Original : FailedFile::Output));
    }
  } else {
    RemoveFileIfPresent(output.tempPath);
    presentError(AdviseOnFailure(session_->error().value_or(KerflineError(kExportFailedCode, "Export failed.")), files));
  }
  session_.reset();
  view_.setTransportEnabled(true);
  exportPath_.reset();
  const std::optional<std::string> reopen = replaced ? replaceTarget_ : std::nullopt;
  replaceTarget_.reset();
  optimizeExport_ = false;
  view_.setExportMenuTitle(kExportAs);
  if (reopen) {
    std::weak_ptr<Alive> alive = alive_;
    scheduler_.post([this, alive, path = *reopen] {
      if (alive.lock()) document_.reopen(path);
    });
  }
  runDeferred();
}

// ---- save in place and optimize -------------------------------------------

void ExportController::saveInPlace() {
  if (!document_.hasMovie() || isBusy()) return;
  const kerfline::EditState edit = document_.editState();
  if (!document_.isDirty() && std::fabs(edit.exposure) < 0.001) {
    view_.setStatus("Nothing to save — this movie is unedited");
    return;
  }
  const std::string source = document_.sourcePath();
  AlertSpec alert;
  alert.message = "Replace “" + lastPathComponent(source) + "” with this edit?";
  alert.informativeText =
      "Kerfline writes a complete new movie beside the original, then swaps it in. A failure or cancellation "
      "leaves the original untouched.";
  alert.buttons = {"Replace Original", "Cancel"};
  replaceAfterConfirming(alert, source, false);
}

void ExportController::optimizeForEditing() {
  if (!document_.hasMovie() || isBusy()) return;
  const std::string source = document_.sourcePath();
  AlertSpec alert;
  alert.message = "Rebuild the index in “" + lastPathComponent(source) + "”?";
  alert.informativeText =
      "The entire movie is stream-copied without applying current cuts, fades, or exposure. The completed copy "
      "replaces the original only after it is safely written.";
  alert.buttons = {"Optimize and Replace", "Cancel"};
  replaceAfterConfirming(alert, source, true);
}

void ExportController::replaceAfterConfirming(const AlertSpec& alert, const std::string& source, bool optimize) {
  if (alerts_.runModalAlert(alert) != 0) return;
  // The new movie is written beside the file the source names (through a
  // symbolic link: beside its target), so the final rename stays on one
  // volume and the link survives.
  Result<StagedOutput> staged = StageOutput(source);
  if (!staged) {
    presentError(AdviseOnFailure(staged.error(), {source, source, "", true}, FailedFile::Original));
    return;
  }
  noteOutputFolder(FolderOfPath(staged->finalPath));
  replaceTarget_ = source;
  optimizeExport_ = optimize;
  startStaged(*staged);
}

void ExportController::showLastExport() {
  if (lastExportPath_ && ::access(lastExportPath_->c_str(), F_OK) == 0)
    view_.revealInFileBrowser(*lastExportPath_);
  else
    view_.setStatus("No completed export yet");
}

// ---- clips -----------------------------------------------------------------

void ExportController::exportClipsToDirectory(const std::string& folder) {
  if (clipExporting_ || isBusy()) return;
  const kerfline::EditState edit = document_.editState();
  const std::size_t n = edit.segments.size();
  if (n == 0) return;
  clipFolder_ = folder;
  noteOutputFolder(folder);
  clipPaths_.clear();
  const std::string extension = outputExtension(effectivePreset());
  for (const std::string& name : clipFileNames(edit.names, n, extension)) clipPaths_.push_back(JoinPath(folder, name));
  {
    std::lock_guard<std::mutex> lock(clipMutex_);
    clipSessions_.clear();
  }
  clipCompleted_.store(0);
  clipFailures_.store(0);
  {
    std::lock_guard<std::mutex> lock(firstErrorMutex_);
    clipFirstError_.reset();
  }
  clipExporting_ = true;
  clipCancelled_.store(false);
  view_.setTransportEnabled(false);
  exportStarted_ = scheduler_.now();
  view_.setExportMenuTitle(kCancelExport);
  view_.setDockBadge("0%");
  view_.showExportProgress(0, false);
  view_.setStatus("Exporting " + std::to_string(n) + " clips with two workers…");
  clipPreset_ = effectivePreset();
  clipEdit_ = edit;
  clipSource_ = document_.sourcePath();
  nextClip_.store(0);
  for (auto& t : clipWorkers_)
    if (t.joinable()) t.join();
  clipWorkers_.clear();
  clipWorkersRunning_.store(2);
  for (int w = 0; w < 2; ++w) clipWorkers_.emplace_back([this] { clipWorker(); });
  std::weak_ptr<Alive> alive = alive_;
  exportTimer_ = ScopedTask(&scheduler_, scheduler_.postRepeating(0.15, [this, alive] {
                              if (alive.lock()) clipTick();
                            }));
}

void ExportController::clipWorker() {
  // Clips start in segment order, at most two at a time (one per worker).
  for (std::size_t j = nextClip_.fetch_add(1); j < clipEdit_.segments.size(); j = nextClip_.fetch_add(1))
    runClip(j);
  if (clipWorkersRunning_.fetch_sub(1) == 1) {
    std::weak_ptr<Alive> alive = alive_;
    scheduler_.post([this, alive] {
      if (alive.lock()) clipsFinished();
    });
  }
}

void ExportController::recordClipError(const Error& error) {
  std::lock_guard<std::mutex> lock(firstErrorMutex_);
  if (!clipFirstError_) clipFirstError_ = error;
}

void ExportController::runClip(std::size_t j) {
  if (clipCancelled_.load()) return;
  const double fi = j < clipEdit_.fadeIns.size() ? clipEdit_.fadeIns[j] : 0.0;
  const double fo = j < clipEdit_.fadeOuts.size() ? clipEdit_.fadeOuts[j] : 0.0;
  CompositionRequest r;
  r.segments = {clipEdit_.segments[j]};
  r.fadesIn = {fi};
  r.fadesOut = {fo};
  r.exposure = clipEdit_.exposure;
  r.exportSize = settings_.exportSize();
  r.preset = clipPreset_;
  ExportRequest request;
  request.plan = PlanComposition(r);
  request.fileType = outputFileTypeForPath(clipPaths_[j]);
  request.fileName = lastPathComponent(clipPaths_[j]);
  // A clip named like the source in the source's folder would replace the
  // movie it is read from.
  if (SameFile(clipPaths_[j], clipSource_)) {
    clipFailures_.fetch_add(1);
    clipCompleted_.fetch_add(1);
    Error error = KerflineError(kClipFailedCode, "A clip would replace the source movie.");
    error.suggestion = "The clip “" + lastPathComponent(clipPaths_[j]) + "” has the name of the movie it is cut from. "
                       "Rename the clip, or export the clips to another folder.";
    recordClipError(error);
    return;
  }
  Result<StagedOutput> staged = StageOutput(clipPaths_[j]);
  if (!staged) {
    clipFailures_.fetch_add(1);
    clipCompleted_.fetch_add(1);
    recordClipError(AdviseOnFailure(staged.error(), {clipSource_, clipPaths_[j], "", false}, FailedFile::Output));
    return;
  }
  const FailureFiles files{clipSource_, clipPaths_[j], staged->tempPath, false};
  request.outputPath = staged->tempPath;
  std::shared_ptr<ExportSessionPort> session = sessions_.makeSession(request);
  if (!session) {
    RemoveFileIfPresent(staged->tempPath);
    clipFailures_.fetch_add(1);
    clipCompleted_.fetch_add(1);
    recordClipError(AdviseOnFailure(
        KerflineError(kClipPresetCode, "The selected export preset is not available for this clip."), files));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(clipMutex_);
    clipSessions_.push_back(session);
    // A cancel that came between the check above and here still reaches it.
    if (clipCancelled_.load()) session->cancelExport();
  }
  std::promise<void> ended;
  session->exportAsynchronously([&ended] { ended.set_value(); });
  ended.get_future().wait();
  ExportStatus status = session->status();
  std::optional<Error> failure;
  if (status == ExportStatus::Completed) {
    if (Status s = CommitOutput(*staged)) failure = AdviseOnFailure(*s, files, FailedFile::Output);
  } else if (status != ExportStatus::Cancelled) {
    failure = AdviseOnFailure(session->error().value_or(KerflineError(kClipFailedCode, "A clip export failed.")), files);
  }
  if (status != ExportStatus::Completed || failure) RemoveFileIfPresent(staged->tempPath);
  if (failure) {
    clipFailures_.fetch_add(1);
    recordClipError(*failure);
  }
  clipCompleted_.fetch_add(1);
}

void ExportController::clipTick() {
  if (!clipExporting_) return;
  double sum = 0;
  {
    std::lock_guard<std::mutex> lock(clipMutex_);
    for (auto& s : clipSessions_)
      if (s->status() == ExportStatus::Exporting) sum += s->progress();
  }
  const int done = clipCompleted_.load();
  const std::size_t n = clipPaths_.size();
  const double p = (sum + done) / static_cast<double>(std::max<std::size_t>(n, 1));
  view_.setStatus(ClipProgressText(p, done, n, scheduler_.now() - exportStarted_));
  view_.showExportProgress(p, false);
  view_.setDockBadge(PercentBadge(p));
}

void ExportController::clipsFinished() {
  exportTimer_.reset();
  for (auto& t : clipWorkers_)
    if (t.joinable()) t.join();
  clipWorkers_.clear();
  const bool cancelled = clipCancelled_.load();
  const int failures = clipFailures_.load();
  clipExporting_ = false;
  view_.setTransportEnabled(true);
  view_.setExportMenuTitle(kExportAs);
  view_.setDockBadge(std::nullopt);
  view_.hideExportProgress();
  if (cancelled) {
    view_.setStatus("Clip export cancelled");
  } else if (failures > 0) {
    std::string description = "Unknown export error";
    std::string suggestion;
    {
      std::lock_guard<std::mutex> lock(firstErrorMutex_);
      if (clipFirstError_) {
        description = clipFirstError_->message;
        suggestion = clipFirstError_->suggestion;
      }
    }
    Error summary = KerflineError(kClipPresetCode, std::to_string(failures) + " clip export failure" +
                                                       (failures == 1 ? "" : "s") + " — " + description);
    summary.suggestion = suggestion.empty()
                             ? "The clips that were written in “" + lastPathComponent(clipFolder_) + "” are complete."
                             : suggestion;
    presentError(summary);
  } else {
    markExported();
    lastExportPath_ = clipFolder_;
    view_.setStatus("Exported " + std::to_string(clipPaths_.size()) + " clips");
    if (!view_.isMainWindowKey()) view_.requestAttention();
  }
  runDeferred();
}

// ---- shared ------------------------------------------------------------------

void ExportController::noteOutputFolder(const std::string& folder) {
  if (folderMemory_ && !folder.empty()) folderMemory_->setValue(kLastExportFolderKey, folder);
}

void ExportController::markExported() { document_.markExported(kerfline::Signature(document_.editState())); }

void ExportController::runDeferred() {
  if (closeAfterExport_) {
    closeAfterExport_ = false;
    document_.performClose();
  }
  if (terminateAfterExport_) {
    terminateAfterExport_ = false;
    document_.replyToTerminate(true);
  }
}

}  // namespace kf
