// The application delegate as the export's document and view: the export
// commands of the File menu, the window's progress display (status line,
// progress bar, window title), the dialogs, and open requests from the
// desktop.
#include <QApplication>
#include <QFileInfo>

#include "app/shell/MGAppDelegate.h"
#include "app/shell/MGExportSessions.h"
#include "export/files/FileOps.h"
#include "playback/session/MovieURL.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

void MGAppDelegate::useAssetForExport() { exportSessions_->use(session_->asset(), services_.exportSessions); }

void MGAppDelegate::openURL(const std::string& address) {
  // What a killed export or save in place left beside the movie goes first.
  if (auto url = kf::ParseMovieURL(address); url && url->isFile()) kf::RemoveStaleTemporariesBeside(url->text);
  session_->openURL(address);
}

// ---- Commands --------------------------------------------------------------

void MGAppDelegate::exportDocument() {
  useAssetForExport();
  exporter_->exportDocument();
}

void MGAppDelegate::exportToPath(const std::string& destination) {
  useAssetForExport();
  exporter_->exportToPath(destination);
}

void MGAppDelegate::saveInPlace() {
  useAssetForExport();
  exporter_->saveInPlace();
}

void MGAppDelegate::optimizeForEditing() {
  useAssetForExport();
  exporter_->optimizeForEditing();
}

void MGAppDelegate::showLastExport() { exporter_->showLastExport(); }

void MGAppDelegate::applicationOpenURLs(const std::vector<std::string>& urls) {
  if (urls.empty()) return;
  if (!session_->sourceURL()) {
    openURL(urls.front());
    return;
  }
  // An argument that begins with "-" would be read as an option: hand over
  // an absolute path (or the link) instead.
  std::string target = urls.front();
  if (!target.empty() && target.front() != '/' && target.find("://") == std::string::npos &&
      target.rfind("file:", 0) != 0)
    target = QFileInfo(Q(target)).absoluteFilePath().toStdString();
  if (kf::Status error = desktop_->startProgramInstance({target})) {
    showErrorAlert(*error);
    setStatus(error->message);
  }
}

// ---- ExportDocument --------------------------------------------------------

bool MGAppDelegate::hasMovie() const { return session_->asset() != nullptr && session_->sourceURL().has_value(); }

std::string MGAppDelegate::sourcePath() const {
  const auto& url = session_->sourceURL();
  return url ? url->path() : std::string();
}

double MGAppDelegate::movieDuration() const { return window_ ? window_->timeline->duration() : 0; }

std::vector<std::string> MGAppDelegate::sourceCodecs() const {
  std::vector<std::string> codecs;
  if (const auto& asset = session_->asset()) {
    for (const kf::media::TrackInfo& t : asset->tracks())
      if (t.mediaType == kf::media::MediaType::Video || t.mediaType == kf::media::MediaType::Audio)
        codecs.push_back(t.codec);
  }
  return codecs;
}
kerfline::EditState MGAppDelegate::editState() const { return edit_->editState(); }
bool MGAppDelegate::isDirty() const { return edit_->dirty(); }

void MGAppDelegate::markExported(const std::string& signature) {
  // The controller passes the signature of the edit as it is now.
  (void)signature;
  edit_->rebaselineExportedSignature();
}

void MGAppDelegate::pausePlayer() { transport_->pause(); }

void MGAppDelegate::reopen(const std::string& path) { openURL(path); }

void MGAppDelegate::performClose() {
  if (window_) window_->close();
}

// ---- ExportView ------------------------------------------------------------

void MGAppDelegate::showExportProgress(double fraction, bool indeterminate) {
  QProgressBar* bar = window_->progressBar;
  bar->show();
  if (indeterminate) {
    bar->setRange(0, 0);
  } else {
    bar->setRange(0, 1000);
    bar->setValue(static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)));
  }
  if (services_.launcherProgress) services_.launcherProgress(indeterminate ? 0.0 : fraction);
}

void MGAppDelegate::hideExportProgress() {
  QProgressBar* bar = window_->progressBar;
  bar->setRange(0, 1000);
  bar->hide();
  bar->setValue(0);
  if (services_.launcherProgress) services_.launcherProgress(std::nullopt);
}

// The dock badge of other desktops: the percentage leads the window title.
void MGAppDelegate::setDockBadge(const std::optional<std::string>& text) {
  exportBadge_ = text;
  applyWindowTitle();
}

void MGAppDelegate::setTransportEnabled(bool enabled) {
  for (QWidget* control : window_->transport->findChildren<QWidget*>()) control->setEnabled(enabled);
}

void MGAppDelegate::setExportMenuTitle(const std::string& title) {
  if (menu_) menu_->exportItem->setText(Q(title));
}

bool MGAppDelegate::isMainWindowKey() const { return window_ && window_->isActiveWindow(); }

void MGAppDelegate::requestAttention() {
  if (window_) QApplication::alert(window_, 0);
}

void MGAppDelegate::runSavePanel(const kf::SavePanelRequest& request,
                                 std::function<void(std::optional<std::string>)> completion) {
  if (qtDesktop_) qtDesktop_->setParent(window_);
  desktop_->runSavePanel(request, std::move(completion));
}

void MGAppDelegate::runFolderPanel(const std::string& startFolder, const std::string& prompt,
                                   std::function<void(std::optional<std::string>)> completion) {
  if (qtDesktop_) qtDesktop_->setParent(window_);
  desktop_->runFolderPanel(startFolder, prompt, std::move(completion));
}

void MGAppDelegate::revealInFileBrowser(const std::string& path) {
  if (qtDesktop_) qtDesktop_->setParent(window_);
  desktop_->revealInFileBrowser(path);
}
