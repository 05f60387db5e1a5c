#include "app/rules/SettingsStore.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

TEST(SettingsStore, AbsentKeysReadAsNothing) {
  MemorySettingsStore store;
  EXPECT_FALSE(store.contains("volume"));
  EXPECT_EQ(store.boolValue("muted"), std::nullopt);
  EXPECT_EQ(store.integerValue("exportMode"), std::nullopt);
  EXPECT_EQ(store.doubleValue("volume"), std::nullopt);
  EXPECT_EQ(store.listValue("recentFiles"), std::nullopt);
  EXPECT_EQ(store.dictionaryValue("playheads"), std::nullopt);
}

TEST(SettingsStore, TypedValuesRoundTrip) {
  MemorySettingsStore store;
  store.setValue("volume", 0.35);
  store.setValue("muted", true);
  store.setValue("exportMode", std::int64_t{1});
  store.setValue("exportSeparate", false);
  EXPECT_EQ(store.doubleValue("volume"), 0.35);
  EXPECT_EQ(store.boolValue("muted"), true);
  EXPECT_EQ(store.integerValue("exportMode"), 1);
  EXPECT_EQ(store.boolValue("exportSeparate"), false);
  store.remove("volume");
  EXPECT_FALSE(store.contains("volume"));
  store.remove("volume");  // removing an absent key is harmless
}

TEST(SettingsStore, TextFromAnIniFileConvertsLikeItsValue) {
  MemorySettingsStore store;
  store.setValue("muted", std::string("true"));
  store.setValue("exportSeparate", std::string("False"));
  store.setValue("exportSize", std::string("2"));
  store.setValue("volume", std::string("0.5"));
  EXPECT_EQ(store.boolValue("muted"), true);
  EXPECT_EQ(store.boolValue("exportSeparate"), false);
  EXPECT_EQ(store.integerValue("exportSize"), 2);
  EXPECT_EQ(store.doubleValue("volume"), 0.5);
  // Numbers read as bools and integers read as doubles, and back.
  store.setValue("n", 2.0);
  EXPECT_EQ(store.boolValue("n"), true);
  EXPECT_EQ(store.integerValue("n"), 2);
  store.setValue("n", std::int64_t{0});
  EXPECT_EQ(store.boolValue("n"), false);
  EXPECT_EQ(store.doubleValue("n"), 0.0);
}

TEST(SettingsStore, UnusableValuesReadAsNothing) {
  MemorySettingsStore store;
  store.setValue("exportMode", std::string("fast"));
  EXPECT_EQ(store.integerValue("exportMode"), std::nullopt);
  store.setValue("exportMode", 1.5);
  EXPECT_EQ(store.integerValue("exportMode"), std::nullopt);
  store.setValue("volume", std::string("0.5x"));
  EXPECT_EQ(store.doubleValue("volume"), std::nullopt);
  store.setValue("volume", std::string("nan"));
  EXPECT_EQ(store.doubleValue("volume"), std::nullopt);
  store.setValue("muted", std::string("maybe"));
  EXPECT_EQ(store.boolValue("muted"), std::nullopt);
  store.setValue("muted", SettingsList{true});
  EXPECT_EQ(store.boolValue("muted"), std::nullopt);
  store.setValue("recentFiles", std::string("/x"));
  EXPECT_EQ(store.listValue("recentFiles"), std::nullopt);
  EXPECT_EQ(store.dictionaryValue("recentFiles"), std::nullopt);
}

}  // namespace
}  // namespace kf
