// The application delegate's menu bar: building it, the one validation
// method, the commands' dispatch, the recent and folder submenus, the About
// box and the export settings items.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>

#include "app/rules/FolderRules.h"
#include "app/rules/RecentList.h"
#include "app/rules/RecentlyUsed.h"
#include "app/shell/MGAppDelegate.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

constexpr const char* kRepresentedProperty = "kfRepresented";

}  // namespace

using kf::MenuCommand;

void MGAppDelegate::buildMenu() {
  menu_ = std::make_unique<MGMenuBar>(window_);
  menu_->validate = [this](QAction* a) { validateMenuItem(a); };
  menu_->perform = [this](MenuCommand c, QAction* a) { performMenuCommand(c, a); };
  menu_->menuNeedsUpdate = [this](QMenu* m) { menuNeedsUpdate(m); };
  window_->setMenuBar(menu_->bar);
  undoAction_ = menu_->undoItem;
  redoAction_ = menu_->redoItem;
  setUndoItem(undoTitle_, edit_->history().canUndo());
  setRedoItem(redoTitle_, edit_->history().canRedo());
  exportSettings_.load();
  updateExportSettingsMenu();
  rebuildRecentMenu();
  for (QAction* a : menu_->commandItems()) validateMenuItem(a);
}

kf::MenuCommandState MGAppDelegate::menuCommandState(bool withFolder) const {
  kf::MenuCommandState s;
  s.movieOpen = session_->asset() != nullptr;
  s.exporting = isExportRunning();
  s.renaming = renameField_ != nullptr;
  s.fullScreen = isFullScreen();
  s.canUndo = edit_->history().canUndo();
  s.canRedo = edit_->history().canRedo();
  const auto& last = exporter_->lastExportPath();
  s.lastExportExists = last && QFileInfo::exists(Q(*last));
  s.muted = services_.player->isMuted();
  s.segments = edit_->segments();
  s.fadeIns = edit_->fadeIns();
  s.fadeOuts = edit_->fadeOuts();
  s.selected = edit_->selected();
  s.exposure = edit_->exposure();
  if (const auto& asset = session_->asset()) {
    for (const auto& t : asset->tracks())
      if (t.mediaType == kf::media::MediaType::Video) {
        s.videoCodec = t.codec;
        break;
      }
  }
  const auto& source = session_->sourceURL();
  if (withFolder && source && source->isFile()) {
    const auto names = kf::FolderVideoNames(source->text);
    s.nextFolderVideoExists = kf::FolderStepTarget(names, source->lastPathComponent(), +1).has_value();
    s.previousFolderVideoExists = kf::FolderStepTarget(names, source->lastPathComponent(), -1).has_value();
  }
  return s;
}

bool MGAppDelegate::validateMenuItem(QAction* item) {
  if (!MGMenuBar::hasCommand(item)) return item->isEnabled();
  const MenuCommand command = MGMenuBar::commandOf(item);
  bool enabled = true;
  switch (command) {
    // The toolkit's own commands act on the focused text field or the window.
    case MenuCommand::Cut:
    case MenuCommand::Paste: {
      auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      enabled = field && !field->isReadOnly() && (command == MenuCommand::Paste || field->hasSelectedText());
      break;
    }
    case MenuCommand::Copy: {
      auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      enabled = field && field->hasSelectedText();
      break;
    }
    case MenuCommand::SelectAll: enabled = qobject_cast<QLineEdit*>(QApplication::focusWidget()) != nullptr; break;
    case MenuCommand::Minimize:
    case MenuCommand::Zoom: enabled = !isFullScreen(); break;
    default: {
      const bool withFolder =
          command == MenuCommand::NextFolderVideo || command == MenuCommand::PreviousFolderVideo;
      const kf::MenuCommandState state = menuCommandState(withFolder);
      const kf::MenuItemValidation v = command == MenuCommand::SetExportMode
                                           ? kf::ValidateExportModeItem(MGMenuBar::tagOf(item), state)
                                           : kf::ValidateMenuCommand(command, state);
      enabled = v.enabled;
      // The tick first: it shows on a disabled item too.
      if (v.checked) item->setChecked(*v.checked);
      break;
    }
  }
  if (command == MenuCommand::ToggleFullScreen) {
    const QString title = isFullScreen() ? QStringLiteral("Exit Full Screen") : QStringLiteral("Enter Full Screen");
    item->setText(title + QStringLiteral("\tF11"));
  }
  item->setEnabled(enabled);
  return enabled;
}

void MGAppDelegate::performMenuCommand(MenuCommand command, QAction* item) {
  // A command whose state changed since its menu was shown does nothing.
  if (!validateMenuItem(item)) return;
  switch (command) {
    case MenuCommand::ShowAbout: showAbout(); break;
    case MenuCommand::OpenDocument: openDocument(); break;
    case MenuCommand::OpenRecent: openRecent(item); break;
    case MenuCommand::ClearRecent: clearRecent(); break;
    case MenuCommand::OpenFolderVideo: openFolderVideo(item); break;
    case MenuCommand::NextFolderVideo: stepFolderVideo(+1); break;
    case MenuCommand::PreviousFolderVideo: stepFolderVideo(-1); break;
    case MenuCommand::SaveInPlace: saveInPlace(); break;
    case MenuCommand::ExportDocument: exportDocument(); break;
    case MenuCommand::ShowLastExport: showLastExport(); break;
    case MenuCommand::OptimizeForEditing: optimizeForEditing(); break;
    case MenuCommand::SetExportOutput: setExportOutput(MGMenuBar::tagOf(item)); break;
    case MenuCommand::SetExportMode: setExportMode(MGMenuBar::tagOf(item)); break;
    case MenuCommand::SetExportSize: setExportSize(MGMenuBar::tagOf(item)); break;
    case MenuCommand::Quit: terminate(); break;
    case MenuCommand::UndoEdit: edit_->undoEdit(); break;
    case MenuCommand::RedoEdit: edit_->redoEdit(); break;
    case MenuCommand::Split: split(); break;
    case MenuCommand::RemoveSelected: removeSelected(); break;
    case MenuCommand::BeginRename: beginRename(); break;
    case MenuCommand::ToggleFadeIn: edit_->toggleFadeIn(); break;
    case MenuCommand::ToggleFadeOut: edit_->toggleFadeOut(); break;
    case MenuCommand::Cut:
    case MenuCommand::Copy:
    case MenuCommand::Paste:
    case MenuCommand::SelectAll:
      if (auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget())) {
        if (command == MenuCommand::Cut) field->cut();
        else if (command == MenuCommand::Copy) field->copy();
        else if (command == MenuCommand::Paste) field->paste();
        else field->selectAll();
      }
      break;
    case MenuCommand::ToggleFullScreen: toggleFullScreen(); break;
    case MenuCommand::AutoExposure: autoExposure(); break;
    case MenuCommand::ExposureBrighter: exposureBrighter(); break;
    case MenuCommand::ExposureDarker: exposureDarker(); break;
    case MenuCommand::ResetExposure: resetExposure(); break;
    case MenuCommand::ToggleMute: toggleMute(); break;
    case MenuCommand::Minimize: window_->showMinimized(); break;
    case MenuCommand::Zoom:
      if (window_->isMaximized())
        window_->showNormal();
      else
        window_->showMaximized();
      break;
  }
}

// ---- Recent movies -----------------------------------------------------------

void MGAppDelegate::rebuildRecentMenu() {
  if (!menu_) return;
  QMenu* m = menu_->recentMenu;
  m->clear();
  const auto paths = services_.settings ? kf::ReadRecentPaths(*services_.settings) : std::vector<std::string>{};
  if (paths.empty()) {
    m->addAction(QString::fromUtf8(kf::kNoRecentMoviesText))->setEnabled(false);
    return;
  }
  const std::string home = QDir::homePath().toStdString();
  for (std::size_t i = 0; i < paths.size() && i < kf::kRecentListLimit; ++i) {
    QAction* a = MGMenuBar::makeItem(m, Q(kf::RecentMenuTitle(i, paths[i], home)), MenuCommand::OpenRecent);
    a->setProperty(kRepresentedProperty, Q(paths[i]));
    a->setToolTip(Q(paths[i]));
    QObject::connect(a, &QAction::triggered, this, [this, a] { performMenuCommand(MenuCommand::OpenRecent, a); });
  }
  m->setToolTipsVisible(true);
  m->addSeparator();
  QAction* clear = MGMenuBar::makeItem(m, QString::fromUtf8(kf::kClearMenuText), MenuCommand::ClearRecent);
  QObject::connect(clear, &QAction::triggered, this,
                   [this, clear] { performMenuCommand(MenuCommand::ClearRecent, clear); });
}

void MGAppDelegate::openRecent(QAction* item) {
  const QString path = item->property(kRepresentedProperty).toString();
  if (!path.isEmpty()) openURL(path.toStdString());
}

void MGAppDelegate::clearRecent() {
  if (services_.settings) kf::ClearRecentPaths(*services_.settings);
  // The desktop's list forgets this program's uses too.
  if (!services_.recentlyUsedFile.empty())
    recentlyUsedWriter_->async([file = services_.recentlyUsedFile] { (void)kf::ForgetRecentlyUsedFile(file); });
  rebuildRecentMenu();
}

// ---- In This Folder ------------------------------------------------------------

void MGAppDelegate::menuNeedsUpdate(QMenu* menu) {
  if (!menu_ || menu != menu_->folderMenu) return;
  menu->clear();
  const auto& source = session_->sourceURL();
  if (!source) {
    menu->addAction(QStringLiteral("No Video Open"))->setEnabled(false);
    return;
  }
  if (source->isFile()) {
    const std::string current = source->lastPathComponent();
    for (const std::string& name : kf::FolderVideoNames(source->text)) {
      QAction* a = MGMenuBar::makeItem(menu, Q(name), MenuCommand::OpenFolderVideo);
      a->setProperty(kRepresentedProperty, Q(name));
      a->setCheckable(true);
      a->setChecked(name == current);
      QObject::connect(a, &QAction::triggered, this,
                       [this, a] { performMenuCommand(MenuCommand::OpenFolderVideo, a); });
    }
  }
  if (menu->actions().isEmpty()) menu->addAction(QStringLiteral("No Videos in This Folder"))->setEnabled(false);
}

void MGAppDelegate::openFolderVideo(QAction* item) {
  const QString name = item->property(kRepresentedProperty).toString();
  const auto& source = session_->sourceURL();
  if (name.isEmpty() || !source || !source->isFile()) return;
  const std::string folder = source->text.substr(0, source->text.rfind('/'));
  openURL(folder + "/" + name.toStdString());
}

// ---- About ---------------------------------------------------------------------

void MGAppDelegate::showAbout() {
  const QString version = QCoreApplication::applicationVersion();
  auto* box = new QMessageBox(window_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(QStringLiteral("About Kerfline"));
  box->setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
  box->setText(version.isEmpty() ? QStringLiteral("Kerfline") : QStringLiteral("Kerfline  ") + version);
  box->setInformativeText(
      QStringLiteral("A fast native video cutter. One app — no runtime, no dependencies, no network.\n\n"
                     "Made by Marrowgate\nhttps://marrowgate.example"));
  box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

// ---- Export settings -------------------------------------------------------------

void MGAppDelegate::setExportOutput(std::int64_t tag) {
  exportSettings_.setExportOutput(tag);
  updateExportSettingsMenu();
}

void MGAppDelegate::setExportMode(std::int64_t tag) {
  exportSettings_.setExportMode(tag);
  updateExportSettingsMenu();
}

void MGAppDelegate::setExportSize(std::int64_t tag) {
  exportSettings_.setExportSize(tag);
  updateExportSettingsMenu();
}

void MGAppDelegate::updateExportSettingsMenu() {
  if (!menu_) return;
  auto tick = [this](const std::vector<QAction*>& items, kf::ExportSettingsGroup group) {
    for (QAction* a : items) a->setChecked(exportSettings_.isChecked(group, MGMenuBar::tagOf(a)));
  };
  tick(menu_->outputItems, kf::ExportSettingsGroup::Output);
  tick(menu_->modeItems, kf::ExportSettingsGroup::Mode);
  tick(menu_->sizeItems, kf::ExportSettingsGroup::Size);
}
