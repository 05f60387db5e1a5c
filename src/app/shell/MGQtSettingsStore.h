// The settings store over QSettings (organisation "Marrowgate", application
// "Kerfline"): values persist between launches in the user's configuration
// folder. Lists and dictionaries are stored as QVariantList and QVariantMap;
// values read back as text (as an INI file gives them) are converted by the
// typed reads of SettingsStore. Main thread only.
#pragma once

#include <QSettings>

#include "app/rules/SettingsStore.h"

class MGQtSettingsStore final : public kf::SettingsStore {
 public:
  MGQtSettingsStore();
  // A store in a file of its own (tests).
  explicit MGQtSettingsStore(const QString& iniPath);

  std::optional<kf::SettingsValue> value(std::string_view key) const override;
  void setValue(std::string_view key, kf::SettingsValue value) override;
  void remove(std::string_view key) override;

 private:
  mutable QSettings settings_;
};
