#include "export/settings/ExportSettings.h"

#include <gtest/gtest.h>

#include "export/plan/ExportPlan.h"

namespace kf {
namespace {

using G = ExportSettingsGroup;

TEST(ExportSettingsTest, FirstLaunchChecksJoinedLosslessSourceSize) {
  MemorySettingsStore store;
  ExportSettings s(store);
  s.load();
  EXPECT_TRUE(s.isChecked(G::Output, 0));
  EXPECT_FALSE(s.isChecked(G::Output, 1));
  EXPECT_TRUE(s.isChecked(G::Mode, 0));
  EXPECT_TRUE(s.isChecked(G::Size, 0));
  EXPECT_FALSE(store.contains(kExportModeKey));
}

TEST(ExportSettingsTest, SizeSwitchesModeAndBothPersist) {
  MemorySettingsStore store;
  ExportSettings s(store);
  s.load();
  s.setExportSize(2);
  EXPECT_EQ(store.integerValue(kExportSizeKey), 2);
  EXPECT_EQ(store.integerValue(kExportModeKey), 1);
  EXPECT_TRUE(s.isChecked(G::Mode, 1));
  // Lossless afterwards keeps the size: both checked.
  s.setExportMode(0);
  EXPECT_TRUE(s.isChecked(G::Mode, 0));
  EXPECT_TRUE(s.isChecked(G::Size, 2));
  // Source size leaves the mode alone.
  s.setExportMode(1);
  s.setExportSize(0);
  EXPECT_EQ(s.exportMode(), 1);
  EXPECT_EQ(store.integerValue(kExportModeKey), 1);
  s.setExportOutput(1);
  EXPECT_EQ(store.boolValue(kExportSeparateKey), true);

  ExportSettings again(store);
  again.load();
  EXPECT_TRUE(again.exportSeparate());
  EXPECT_EQ(again.exportMode(), 1);
  EXPECT_EQ(again.exportSize(), 0);
}

TEST(ExportSettingsTest, SmartRenderIsTickedAndReadBack) {
  MemorySettingsStore store;
  ExportSettings s(store);
  s.load();
  s.setExportMode(kExportModeSmart);
  EXPECT_EQ(store.integerValue(kExportModeKey), 2);
  EXPECT_TRUE(s.isChecked(G::Mode, 2));
  EXPECT_FALSE(s.isChecked(G::Mode, 0));
  ExportSettings again(store);
  again.load();
  EXPECT_EQ(again.exportMode(), kExportModeSmart);
  // A size other than the source's needs the re-encode.
  again.setExportSize(kExportSize480p);
  EXPECT_EQ(again.exportMode(), kExportModeReencode);
}

TEST(ExportSettingsTest, StoredValueOutsideTheTableChecksNothing) {
  MemorySettingsStore store;
  store.setValue(kExportModeKey, std::int64_t{5});
  ExportSettings s(store);
  s.load();
  EXPECT_EQ(s.exportMode(), 5);
  EXPECT_FALSE(s.isChecked(G::Mode, 0));
  EXPECT_FALSE(s.isChecked(G::Mode, 1));
}

}  // namespace
}  // namespace kf
