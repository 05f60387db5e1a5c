#include "export/settings/ExportSettings.h"

namespace kf {

void ExportSettings::load() {
  separate_ = store_.boolValue(kExportSeparateKey).value_or(false);
  mode_ = store_.integerValue(kExportModeKey).value_or(0);
  size_ = store_.integerValue(kExportSizeKey).value_or(0);
}

void ExportSettings::setExportOutput(std::int64_t tag) {
  separate_ = tag == 1;
  store_.setValue(kExportSeparateKey, separate_);
}

void ExportSettings::setExportMode(std::int64_t tag) {
  mode_ = tag;
  store_.setValue(kExportModeKey, mode_);
}

void ExportSettings::setExportSize(std::int64_t tag) {
  size_ = tag;
  if (tag > 0) mode_ = 1;
  store_.setValue(kExportSizeKey, size_);
  store_.setValue(kExportModeKey, mode_);
}

bool ExportSettings::isChecked(ExportSettingsGroup group, std::int64_t tag) const {
  switch (group) {
    case ExportSettingsGroup::Output: return tag == (separate_ ? 1 : 0);
    case ExportSettingsGroup::Mode: return tag == mode_;
    case ExportSettingsGroup::Size: return tag == size_;
  }
  return false;
}

}  // namespace kf
