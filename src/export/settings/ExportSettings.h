// The three persistent export choices (joined movie or numbered clips;
// lossless, re-encode or smart render (modes 0, 1, 2); output size) and the
// check marks of their menu items. Stored in the settings store under
// "exportSeparate", "exportMode" and "exportSize".
//
// Main thread only. Values outside the menu tables are kept as stored: their
// group then shows no check mark, and exports treat a mode outside the table
// or a size other than the source's as a re-encode.
#pragma once

#include <cstdint>

#include "app/rules/SettingsStore.h"

namespace kf {

enum class ExportSettingsGroup { Output, Mode, Size };

class ExportSettings {
 public:
  explicit ExportSettings(SettingsStore& store) : store_(store) {}

  // Reads the three values (absent keys read as false / 0).
  void load();

  bool exportSeparate() const { return separate_; }
  std::int64_t exportMode() const { return mode_; }
  std::int64_t exportSize() const { return size_; }

  // Menu actions, by the chosen item's tag.
  void setExportOutput(std::int64_t tag);
  void setExportMode(std::int64_t tag);
  // A size other than the source's switches the mode to re-encode; both
  // values are stored every time.
  void setExportSize(std::int64_t tag);

  // Whether the item with `tag` in `group` carries a check mark.
  bool isChecked(ExportSettingsGroup group, std::int64_t tag) const;

 private:
  SettingsStore& store_;
  bool separate_ = false;
  std::int64_t mode_ = 0;
  std::int64_t size_ = 0;
};

}  // namespace kf
