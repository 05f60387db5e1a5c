#include "app/shell/MGDesktop.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

void MGQtDesktop::runSavePanel(const kf::SavePanelRequest& request,
                               std::function<void(std::optional<std::string>)> completion) {
  QFileDialog dialog(parent_, QStringLiteral("Export As"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDirectory(Q(request.folder));
  dialog.selectFile(Q(request.proposedName));
  if (!request.allowedExtension.empty()) {
    const QString ext = Q(request.allowedExtension);
    const QString kind = ext == QLatin1String("mov")    ? QStringLiteral("QuickTime movie")
                         : ext == QLatin1String("mkv")  ? QStringLiteral("Matroska movie")
                         : ext == QLatin1String("webm") ? QStringLiteral("WebM movie")
                                                        : QStringLiteral("MPEG-4 movie");
    dialog.setNameFilters({kind + QStringLiteral(" (*.") + ext + QStringLiteral(")")});
    dialog.setDefaultSuffix(ext);
  } else {
    dialog.setNameFilters({QStringLiteral("Movies (*.mp4 *.m4v *.mov *.mkv *.webm *.avi *.ts *.mts)"),
                           QStringLiteral("All files (*)")});
  }
  dialog.setWindowModality(Qt::WindowModal);
  std::optional<std::string> chosen;
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    chosen = dialog.selectedFiles().front().toStdString();
  completion(std::move(chosen));
}

void MGQtDesktop::runFolderPanel(const std::string& startFolder, const std::string& prompt,
                                 std::function<void(std::optional<std::string>)> completion) {
  QFileDialog dialog(parent_, Q(prompt));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setDirectory(Q(startFolder));
  dialog.setLabelText(QFileDialog::Accept, Q(prompt));
  dialog.setWindowModality(Qt::WindowModal);
  std::optional<std::string> chosen;
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    chosen = dialog.selectedFiles().front().toStdString();
  completion(std::move(chosen));
}

void MGQtDesktop::revealInFileBrowser(const std::string& path) {
  const QString file = Q(path);
  const QUrl folder = QUrl::fromLocalFile(QFileInfo(file).absolutePath());
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    QDesktopServices::openUrl(folder);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
  // The file manager may have to start first: wait for its answer without
  // blocking the window, and open the folder if nobody answers.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), parent_.data());
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, folder] {
    if (QDBusPendingReply<>(*watcher).isError()) QDesktopServices::openUrl(folder);
    watcher->deleteLater();
  });
}

kf::Status MGQtDesktop::startProgramInstance(const std::vector<std::string>& arguments) {
  QStringList args;
  for (const auto& a : arguments) args << Q(a);
  QProcess process;
  process.setProgram(QCoreApplication::applicationFilePath());
  process.setArguments(args);
  if (process.startDetached()) return kf::Status();
  return kf::Error{"QProcess", static_cast<std::int64_t>(process.error()), process.errorString().toStdString()};
}
