// Which menu commands are enabled, and which carry a check mark, for a given
// state of the window: the one rule behind every item of the menu bar that
// targets the application delegate. The delegate gathers a MenuCommandState
// each time a menu is about to show or a key shortcut is about to fire, and
// applies the answer to the item.
//
// Pure: no toolkit, no I/O; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "edit/EditState.h"

namespace kf {

// The commands of the menu bar that target the application delegate, and
// the toolkit's own commands (quit, clipboard, window) that pass through.
enum class MenuCommand {
  ShowAbout,
  OpenDocument,
  OpenRecent,
  ClearRecent,
  OpenFolderVideo,
  NextFolderVideo,
  PreviousFolderVideo,
  SaveInPlace,
  ExportDocument,
  ShowLastExport,
  OptimizeForEditing,
  SetExportOutput,
  SetExportMode,
  SetExportSize,
  Quit,
  UndoEdit,
  RedoEdit,
  Split,
  RemoveSelected,
  BeginRename,
  ToggleFadeIn,
  ToggleFadeOut,
  Cut,
  Copy,
  Paste,
  SelectAll,
  ToggleFullScreen,
  AutoExposure,
  ExposureBrighter,
  ExposureDarker,
  ResetExposure,
  ToggleMute,
  Minimize,
  Zoom,
};

struct MenuCommandState {
  bool movieOpen = false;  // an asset is open
  bool exporting = false;  // the export controller's busy test
  bool renaming = false;   // the rename field exists
  bool fullScreen = false;
  bool canUndo = false;
  bool canRedo = false;
  bool lastExportExists = false;  // a last export is set and exists on disk
  // Whether the next / previous folder step would land inside the folder's
  // movie list (FolderStepTarget has a value).
  bool nextFolderVideoExists = false;
  bool previousFolderVideoExists = false;
  bool muted = false;
  std::vector<kerfline::TimeSpan> segments;
  std::vector<double> fadeIns;
  std::vector<double> fadeOuts;
  std::int64_t selected = -1;
  double exposure = 0;
  // The open movie's picture codec ("h264", "hevc", ...; empty without a
  // movie or picture).
  std::string videoCodec;
};

struct MenuItemValidation {
  bool enabled = true;
  std::optional<bool> checked;  // nullopt: the command sets no check mark
};

// The first matching row of the validation table. Commands of the toolkit
// (quit, clipboard, window) and the always-available commands of the
// delegate come out enabled without a check mark; the export settings' check
// marks come from ExportSettings::isChecked.
MenuItemValidation ValidateMenuCommand(MenuCommand command, const MenuCommandState& state);

// One item of the export mode group (tag 0 lossless, 1 re-encode, 2 smart
// render): as the group, and "Smart Render" only for a movie whose picture
// it can copy and re-encode to match (H.264, HEVC) or one without picture
// (exports then refuse other codecs with a message naming the other modes).
MenuItemValidation ValidateExportModeItem(std::int64_t tag, const MenuCommandState& state);

}  // namespace kf
