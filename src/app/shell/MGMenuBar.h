// The menu bar of the main window, built in code: File, Edit, View, Window
// and Help, with their items in order, their shortcuts and the submenus
// "Open Recent", "In This Folder" and "Export Settings".
//
// Every item carries its MenuCommand (and a tag or a represented value where
// it has one). The bar knows nothing of the edit: it asks `validate` for
// every item of a menu right before that menu shows, and reports a chosen
// item through `perform`. Keys that the window's key table handles (S,
// Delete, [, ], F11 and the folder steps) are only shown beside their items
// and never registered as shortcuts, so they cannot fire twice.
//
// Main thread only. The bar is a child of the window and dies with it.
#pragma once

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

#include <functional>
#include <map>
#include <vector>

#include "app/shell/MenuValidation.h"

class MGMenuBar {
 public:
  explicit MGMenuBar(QWidget* window);

  QMenuBar* bar = nullptr;
  QMenu* fileMenu = nullptr;
  QMenu* editMenu = nullptr;
  QMenu* viewMenu = nullptr;
  QMenu* windowMenu = nullptr;
  QMenu* helpMenu = nullptr;
  QMenu* recentMenu = nullptr;
  QMenu* folderMenu = nullptr;
  QMenu* exportSettingsMenu = nullptr;

  QAction* exportItem = nullptr;
  QAction* undoItem = nullptr;
  QAction* redoItem = nullptr;
  QAction* fullScreenItem = nullptr;
  std::vector<QAction*> outputItems;  // tags 0, 1
  std::vector<QAction*> modeItems;    // tags 0, 1, 2 (lossless, re-encode, smart render)
  std::vector<QAction*> sizeItems;    // tags 0 .. 3

  // The first item of the bar with `command` (nullptr if none).
  QAction* item(kf::MenuCommand command) const;
  // Every item that carries a command, in menu order (submenus included).
  std::vector<QAction*> commandItems() const;

  static kf::MenuCommand commandOf(const QAction* action);
  static bool hasCommand(const QAction* action);
  static std::int64_t tagOf(const QAction* action);
  // Makes an item for `command` (used for the recent and folder entries).
  static QAction* makeItem(QMenu* menu, const QString& title, kf::MenuCommand command);

  // Set by the owner.
  std::function<void(QAction*)> validate;
  std::function<void(kf::MenuCommand, QAction*)> perform;
  // Fills a submenu right before it shows (the folder menu).
  std::function<void(QMenu*)> menuNeedsUpdate;

 private:
  QAction* add(QMenu* menu, const QString& title, kf::MenuCommand command, const QKeySequence& shortcut = {},
               const QString& shownKey = {});
  void watch(QMenu* menu);

  QWidget* window_;
  std::vector<QAction*> items_;
};
