// The QSettings-backed store keeps every kind of value across instances.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "QtTestApp.h"
#include "app/rules/MovieMemory.h"
#include "app/rules/RecentList.h"
#include "app/shell/MGQtSettingsStore.h"

namespace {

TEST(QtSettingsStoreTest, ValuesSurviveANewInstance) {
  TestApp();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString ini = dir.filePath("kerfline.ini");
  {
    MGQtSettingsStore store(ini);
    store.setValue(kf::kVolumeKey, 0.35);
    store.setValue(kf::kMutedKey, true);
    kf::StoreRecentPath(store, "/m/a.mp4");
    kf::StoreRecentPath(store, "/m/b ü.mp4");
    kf::StorePlayhead(store, "/m/a.mp4|100|5.000000", 12.7);
    store.setValue("gone", std::int64_t{3});
    store.remove("gone");
  }
  MGQtSettingsStore store(ini);
  EXPECT_DOUBLE_EQ(*store.doubleValue(kf::kVolumeKey), 0.35);
  EXPECT_EQ(store.boolValue(kf::kMutedKey), true);
  EXPECT_EQ(kf::ReadRecentPaths(store), (std::vector<std::string>{"/m/b ü.mp4", "/m/a.mp4"}));
  EXPECT_DOUBLE_EQ(*kf::RememberedPlayhead(store, "/m/a.mp4|100|5.000000", "/m/a.mp4", 20), 12.7);
  EXPECT_FALSE(store.contains("gone"));
  EXPECT_FALSE(store.contains("never"));
}

}  // namespace
