#include "app/shell/MGMenuBar.h"

namespace {

constexpr const char* kCommandProperty = "kfMenuCommand";
constexpr const char* kTagProperty = "kfMenuTag";

}  // namespace

using kf::MenuCommand;

MGMenuBar::MGMenuBar(QWidget* window) : window_(window) {
  bar = new QMenuBar(window);
  bar->setNativeMenuBar(false);

  fileMenu = bar->addMenu(QStringLiteral("&File"));
  add(fileMenu, QStringLiteral("Open…"), MenuCommand::OpenDocument, QKeySequence(Qt::CTRL | Qt::Key_O));
  recentMenu = fileMenu->addMenu(QStringLiteral("Open Recent"));
  recentMenu->setObjectName(QStringLiteral("Open Recent"));
  folderMenu = fileMenu->addMenu(QStringLiteral("In This Folder"));
  folderMenu->setObjectName(QStringLiteral("In This Folder"));
  add(fileMenu, QStringLiteral("Next Video in Folder"), MenuCommand::NextFolderVideo, {},
      QStringLiteral("Ctrl+Alt+↓"));
  add(fileMenu, QStringLiteral("Previous Video in Folder"), MenuCommand::PreviousFolderVideo, {},
      QStringLiteral("Ctrl+Alt+↑"));
  fileMenu->addSeparator();
  add(fileMenu, QStringLiteral("Save (Replace Original)"), MenuCommand::SaveInPlace,
      QKeySequence(Qt::CTRL | Qt::Key_S));
  exportItem = add(fileMenu, QStringLiteral("Export As…"), MenuCommand::ExportDocument,
                   QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
  add(fileMenu, QStringLiteral("Show Last Export"), MenuCommand::ShowLastExport);
  add(fileMenu, QStringLiteral("Optimize for Editing (Rebuild Index)"), MenuCommand::OptimizeForEditing);
  exportSettingsMenu = fileMenu->addMenu(QStringLiteral("Export Settings"));
  exportSettingsMenu->setObjectName(QStringLiteral("Export Settings"));
  auto group = [this](const std::vector<QString>& titles, MenuCommand command, std::vector<QAction*>& out) {
    for (std::size_t tag = 0; tag < titles.size(); ++tag) {
      QAction* a = add(exportSettingsMenu, titles[tag], command);
      a->setCheckable(true);
      a->setProperty(kTagProperty, static_cast<qlonglong>(tag));
      out.push_back(a);
    }
  };
  group({QStringLiteral("One Joined Movie"), QStringLiteral("Separate Numbered Clips")}, MenuCommand::SetExportOutput,
        outputItems);
  exportSettingsMenu->addSeparator();
  group({QStringLiteral("Lossless (Stream Copy)"), QStringLiteral("Frame-Accurate Re-encode"),
         QStringLiteral("Smart Render")},
        MenuCommand::SetExportMode, modeItems);
  exportSettingsMenu->addSeparator();
  group({QStringLiteral("Source Size"), QStringLiteral("1080p"), QStringLiteral("720p"), QStringLiteral("480p")},
        MenuCommand::SetExportSize, sizeItems);
  fileMenu->addSeparator();
  add(fileMenu, QStringLiteral("Quit Kerfline"), MenuCommand::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q));

  editMenu = bar->addMenu(QStringLiteral("&Edit"));
  undoItem = add(editMenu, QStringLiteral("Undo"), MenuCommand::UndoEdit, QKeySequence(Qt::CTRL | Qt::Key_Z));
  redoItem = add(editMenu, QStringLiteral("Redo"), MenuCommand::RedoEdit,
                 QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
  editMenu->addSeparator();
  add(editMenu, QStringLiteral("Split at Playhead"), MenuCommand::Split, {}, QStringLiteral("S"));
  add(editMenu, QStringLiteral("Remove Selected Segment"), MenuCommand::RemoveSelected, {}, QStringLiteral("Delete"));
  add(editMenu, QStringLiteral("Rename Selected Clip"), MenuCommand::BeginRename, {}, QStringLiteral("F2"));
  QAction* fadeIn = add(editMenu, QStringLiteral("Toggle Fade In"), MenuCommand::ToggleFadeIn);
  QAction* fadeOut = add(editMenu, QStringLiteral("Toggle Fade Out"), MenuCommand::ToggleFadeOut);
  fadeIn->setCheckable(true);
  fadeOut->setCheckable(true);
  editMenu->addSeparator();
  add(editMenu, QStringLiteral("Cut"), MenuCommand::Cut, QKeySequence(Qt::CTRL | Qt::Key_X));
  add(editMenu, QStringLiteral("Copy"), MenuCommand::Copy, QKeySequence(Qt::CTRL | Qt::Key_C));
  add(editMenu, QStringLiteral("Paste"), MenuCommand::Paste, QKeySequence(Qt::CTRL | Qt::Key_V));
  add(editMenu, QStringLiteral("Select All"), MenuCommand::SelectAll, QKeySequence(Qt::CTRL | Qt::Key_A));

  viewMenu = bar->addMenu(QStringLiteral("&View"));
  fullScreenItem = add(viewMenu, QStringLiteral("Enter Full Screen"), MenuCommand::ToggleFullScreen, {},
                       QStringLiteral("F11"));
  viewMenu->addSeparator();
  add(viewMenu, QStringLiteral("Auto-Fix Exposure"), MenuCommand::AutoExposure);
  add(viewMenu, QStringLiteral("Exposure Brighter"), MenuCommand::ExposureBrighter, {}, QStringLiteral("]"));
  add(viewMenu, QStringLiteral("Exposure Darker"), MenuCommand::ExposureDarker, {}, QStringLiteral("["));
  add(viewMenu, QStringLiteral("Reset Exposure"), MenuCommand::ResetExposure);
  viewMenu->addSeparator();
  add(viewMenu, QStringLiteral("Mute"), MenuCommand::ToggleMute, {}, QStringLiteral("M"))->setCheckable(true);

  windowMenu = bar->addMenu(QStringLiteral("&Window"));
  add(windowMenu, QStringLiteral("Minimize"), MenuCommand::Minimize, QKeySequence(Qt::CTRL | Qt::Key_M));
  add(windowMenu, QStringLiteral("Zoom"), MenuCommand::Zoom);

  helpMenu = bar->addMenu(QStringLiteral("&Help"));
  add(helpMenu, QStringLiteral("About Kerfline"), MenuCommand::ShowAbout);

  for (QMenu* m : {fileMenu, recentMenu, folderMenu, exportSettingsMenu, editMenu, viewMenu, windowMenu, helpMenu}) {
    watch(m);
    // Disabled items of the dark theme are drawn dimmed, not etched.
    QPalette p = m->palette();
    p.setColor(QPalette::Disabled, QPalette::Light, Qt::transparent);
    m->setPalette(p);
  }
}

QAction* MGMenuBar::add(QMenu* menu, const QString& title, MenuCommand command, const QKeySequence& shortcut,
                        const QString& shownKey) {
  // A key shown after a tab is displayed as the item's shortcut without
  // being one: the key table handles it.
  QAction* a = makeItem(menu, shownKey.isEmpty() ? title : title + QLatin1Char('\t') + shownKey, command);
  if (!shortcut.isEmpty()) {
    a->setShortcut(shortcut);
    a->setShortcutContext(Qt::WindowShortcut);
    // The window holds the item as well, so that its shortcut works while
    // the bar is hidden (full screen).
    window_->addAction(a);
  }
  QObject::connect(a, &QAction::triggered, bar, [this, a, command] {
    if (perform) perform(command, a);
  });
  items_.push_back(a);
  return a;
}

QAction* MGMenuBar::makeItem(QMenu* menu, const QString& title, MenuCommand command) {
  QAction* a = menu->addAction(title);
  a->setProperty(kCommandProperty, static_cast<int>(command));
  return a;
}

void MGMenuBar::watch(QMenu* menu) {
  QObject::connect(menu, &QMenu::aboutToShow, bar, [this, menu] {
    if (menuNeedsUpdate) menuNeedsUpdate(menu);
    if (!validate) return;
    for (QAction* a : menu->actions())
      if (hasCommand(a)) validate(a);
  });
}

QAction* MGMenuBar::item(MenuCommand command) const {
  for (QAction* a : items_)
    if (commandOf(a) == command) return a;
  return nullptr;
}

std::vector<QAction*> MGMenuBar::commandItems() const { return items_; }

MenuCommand MGMenuBar::commandOf(const QAction* action) {
  return static_cast<MenuCommand>(action->property(kCommandProperty).toInt());
}

bool MGMenuBar::hasCommand(const QAction* action) { return action->property(kCommandProperty).isValid(); }

std::int64_t MGMenuBar::tagOf(const QAction* action) { return action->property(kTagProperty).toLongLong(); }
