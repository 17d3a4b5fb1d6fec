#include "core/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/settings_store.h"

namespace qb {
namespace {

using ::testing::UnorderedElementsAre;

TEST(Settings, FreshStoreGivesTheDefaults) {
  IniSettingsStore store;
  const Settings s = LoadSettings(store, "/srv/host");
  EXPECT_EQ(s.CycleSeconds, 30);
  EXPECT_EQ(s.DebugLevel, 1);
  EXPECT_TRUE(s.chkTimer);
  EXPECT_TRUE(s.Presence);
  EXPECT_TRUE(s.chkDBLog);
  EXPECT_TRUE(s.chkChanges);
  EXPECT_EQ(s.Table, "T_Temps");
  EXPECT_EQ(s.Fields[0], "ROMAddress");
  EXPECT_EQ(s.Fields[1], "DTime");
  EXPECT_EQ(s.Fields[2], "Temp");
  EXPECT_EQ(s.IntType, "DS9097U");
  EXPECT_EQ(s.IntPort, "1");
  EXPECT_EQ(s.StartColor, 0xFFFFFF);
  EXPECT_EQ(s.ChartX, 590);
  EXPECT_EQ(s.ChartY1, 300);
  EXPECT_EQ(s.SigFigs, 3);
  EXPECT_FALSE(s.Range);
  EXPECT_TRUE(s.DeviceIDByName);
  EXPECT_TRUE(s.LogAlarms);
  EXPECT_EQ(s.Database, "Provider=SQLite;Data Source=/srv/host/1WireTemps.db");
  EXPECT_EQ(s.Speech, "1 Wire Interface for Hearthmoor by Orrinvale");
}

TEST(Settings, ConversionsOfStoredText) {
  EXPECT_TRUE(SettingToBool("True"));
  EXPECT_TRUE(SettingToBool("true"));
  EXPECT_FALSE(SettingToBool("False"));
  EXPECT_TRUE(SettingToBool("-1"));
  EXPECT_TRUE(SettingToBool("2"));
  EXPECT_FALSE(SettingToBool("0"));
  EXPECT_FALSE(SettingToBool("yes"));  // unreadable: 0
  EXPECT_EQ(SettingToInt(" 45 "), 45);
  EXPECT_EQ(SettingToInt("2.5"), 2);  // halves to even
  EXPECT_EQ(SettingToInt("3.5"), 4);
  EXPECT_EQ(SettingToInt("30s"), 0);
  EXPECT_EQ(SettingToInt(""), 0);
  EXPECT_EQ(SettingToInt("0x10"), 0);
  EXPECT_EQ(SettingToInt("99999999999"), 0);
}

TEST(Settings, KeysAreCaseInsensitiveAndUnreadableNumbersAreZero) {
  IniSettingsStore store;
  store.Set("settings", "Charty", "480");
  store.Set("SETTINGS", "pollcycle", "often");
  store.Set("Settings", "Range", "True");
  store.Set("Settings", "DeviceID", "0");
  store.Set("Settings", "SigFigs", "300");  // more than a byte holds
  const Settings s = LoadSettings(store, "");
  EXPECT_EQ(s.ChartY, 480);
  EXPECT_EQ(s.CycleSeconds, 0);  // not limited on load
  EXPECT_TRUE(s.Range);
  EXPECT_FALSE(s.DeviceIDByName);
  EXPECT_EQ(s.SigFigs, 0);
}

TEST(Settings, LimitsReplaceOutOfRangeValuesByTheBound) {
  Settings s;
  s.CycleSeconds = 0;
  s.ChartX = 100;
  s.ChartX1 = 149;
  s.ChartY1 = 100;
  s.PollTemp = -3;
  s.SigFigs = 11;
  EXPECT_THAT(ApplySettingsLimits(s),
              UnorderedElementsAre("PollCycle", "ChartX", "ChartX1", "PollTemp", "SigFigs"));
  EXPECT_EQ(s.CycleSeconds, 1);
  EXPECT_EQ(s.ChartX, 200);
  EXPECT_EQ(s.ChartX1, 150);
  EXPECT_EQ(s.ChartY1, 100);
  EXPECT_EQ(s.PollTemp, 0);
  EXPECT_EQ(s.SigFigs, 10);
  s.CycleSeconds = 70000;
  ApplySettingsLimits(s);
  EXPECT_EQ(s.CycleSeconds, 65535);
  EXPECT_TRUE(ApplySettingsLimits(s).empty());
}

TEST(Settings, ApplyWithoutSaveIsForgottenOnReload) {
  IniSettingsStore store;
  Settings s = LoadSettings(store, "");
  ASSERT_TRUE(SetSettingText(s, "pollcycle", "10"));
  ApplySettingsLimits(s);
  EXPECT_EQ(s.CycleSeconds, 10);
  EXPECT_EQ(LoadSettings(store, "").CycleSeconds, 30);

  SaveSettings(store, s);
  EXPECT_EQ(LoadSettings(store, "").CycleSeconds, 10);
}

TEST(Settings, SaveWritesEveryKeyInItsStoredForm) {
  IniSettingsStore store;
  Settings s = DefaultSettings("/h");
  s.DeviceIDByName = false;
  s.Range = true;
  s.WebPages[3] = false;
  SaveSettings(store, s);
  EXPECT_EQ(store.Keys("Settings").size(), SettingKeys().size());
  EXPECT_EQ(store.Get("Settings", "DeviceID"), "0");
  EXPECT_EQ(store.Get("Settings", "Range"), "True");
  EXPECT_EQ(store.Get("Settings", "Web Page3"), "0");
  EXPECT_EQ(store.Get("Settings", "Chart3D"), "1");
  EXPECT_EQ(store.Get("Settings", "StartColor"), "16777215");
  EXPECT_FALSE(store.Get("Settings", "strHouseCodes0").has_value());

  const Settings back = LoadSettings(store, "/elsewhere");
  for (const auto& key : SettingKeys())
    EXPECT_EQ(SettingText(back, key), SettingText(s, key)) << key;
  EXPECT_FALSE(SetSettingText(s, "NoSuchKey", "1"));
  EXPECT_EQ(SettingText(s, "NoSuchKey"), "");
}

}  // namespace
}  // namespace qb
