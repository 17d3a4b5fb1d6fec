#include "platform/settings_store.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace qb {
namespace {

using test::ReadFile;
using test::TempDir;

TEST(IniSettingsStore, ChangesAreWrittenAndReadBack) {
  TempDir dir;
  const auto file = dir.path() / "sub" / "settings.ini";
  {
    IniSettingsStore store(file);
    EXPECT_EQ(store.Load(), "");  // no file yet: empty, no complaint
    store.Set("Settings", "Speech", "  padded text  ");
    store.Set("Settings", "Database", "Provider=SQLite;Data Source=/x/1WireTemps.db");
    store.Set("Log", "10A1B2C3D4E5F628M", "1");
    store.Set("Settings", "multi", "line\none");
  }
  IniSettingsStore again(file);
  EXPECT_EQ(again.Load(), "");
  EXPECT_EQ(again.Get("settings", "SPEECH"), "  padded text  ");
  EXPECT_EQ(again.Get("Settings", "Database"), "Provider=SQLite;Data Source=/x/1WireTemps.db");
  EXPECT_EQ(again.Get("LOG", "10a1b2c3d4e5f628m"), "1");
  EXPECT_EQ(again.Get("Settings", "multi"), "line one");
  EXPECT_FALSE(again.Get("Settings", "absent").has_value());
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "sub")) {
    EXPECT_EQ(entry.path().filename(), "settings.ini") << "a temporary file was left behind";
  }
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  again.Remove("Settings", "speech");
  IniSettingsStore third(file);
  third.Load();
  EXPECT_FALSE(third.Get("Settings", "Speech").has_value());
}

TEST(IniSettingsStore, AnEditMadeWhileTheProgramRunsSurvivesItsNextWrite) {
  TempDir dir;
  const auto file = dir.path() / "settings.ini";
  test::WriteFile(file, "[Settings]\nPollCycle=5\nDebug=2\n[MQTT]\nEnabled=1\n");
  IniSettingsStore store(file);
  ASSERT_EQ(store.Load(), "");
  store.Set("Settings", "Debug", "3");
  // The user saves the file from an editor: one value changed, one added, one removed.
  test::WriteFile(file, "[Settings]\nPollCycle=5\nDebug=3\n[MQTT]\nEnabled=0\nBroker=b\n");
  // The program then stores what it learnt, and removes a key it no longer needs.
  store.Set("DS2438", "26000000000001A5", "1");
  store.Remove("Settings", "PollCycle");
  IniSettingsStore again(file);
  ASSERT_EQ(again.Load(), "");
  EXPECT_EQ(again.Get("MQTT", "Enabled"), "0");
  EXPECT_EQ(again.Get("MQTT", "Broker"), "b");
  EXPECT_EQ(again.Get("DS2438", "26000000000001A5"), "1");
  EXPECT_EQ(again.Get("Settings", "Debug"), "3");
  EXPECT_FALSE(again.Get("Settings", "PollCycle").has_value());
  // The store itself now holds the user's values too.
  EXPECT_EQ(store.Get("MQTT", "Enabled"), "0");
  // A file broken halfway through a save is not taken over: the store writes what it holds.
  test::WriteFile(file, "[Settings\n");
  store.Set("Settings", "Debug", "4");
  IniSettingsStore third(file);
  ASSERT_EQ(third.Load(), "");
  EXPECT_EQ(third.Get("Settings", "Debug"), "4");
  EXPECT_EQ(third.Get("MQTT", "Enabled"), "0");
}

TEST(IniSettingsStore, HandWrittenFilesAreRead) {
  std::vector<IniSettingsStore::Section> sections;
  std::string error;
  ASSERT_TRUE(IniSettingsStore::Parse(
      "\xEF\xBB\xBF; comment\n[Settings]\r\n PollCycle = 12 \n# note\n\n[settings]\npollcycle=15\n",
      sections, error))
      << error;
  ASSERT_EQ(sections.size(), 1u);
  ASSERT_EQ(sections[0].entries.size(), 1u);
  EXPECT_EQ(sections[0].entries[0].second, "15");  // the later line wins
}

TEST(IniSettingsStore, ABrokenFileIsMovedAsideNotOverwritten) {
  TempDir dir;
  const auto file = dir.path() / "settings.ini";
  const std::string broken = "[Settings]\nPollCycle=5\nthis line is not a setting\n";
  std::ofstream(file) << broken;
  IniSettingsStore store(file);
  const std::string problem = store.Load();
  EXPECT_NE(problem.find("line 3"), std::string::npos) << problem;
  EXPECT_NE(problem.find("moved to"), std::string::npos) << problem;
  EXPECT_FALSE(store.Get("Settings", "PollCycle").has_value());
  store.Set("Settings", "PollCycle", "7");
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().rfind("settings.ini.broken-", 0) == 0) {
      EXPECT_EQ(ReadFile(entry.path()), broken);
      ++kept;
    }
  }
  EXPECT_EQ(kept, 1);

  // A section named by blanks only would be written back as "[]", which could not be read again.
  for (const char* bad : {"key=value before a section\n", "[Unclosed\n", "[Settings]\n=no key\n",
                          "[ \t]\nkey=value\n", "[\n"}) {
    std::vector<IniSettingsStore::Section> sections;
    std::string error;
    EXPECT_FALSE(IniSettingsStore::Parse(bad, sections, error)) << bad;
    EXPECT_NE(error.find("line"), std::string::npos);
  }
}

TEST(IniSettingsStore, BatchWritesOnceAtTheEndAndNamesAreChecked) {
  TempDir dir;
  const auto file = dir.path() / "settings.ini";
  IniSettingsStore store(file);
  {
    SettingsBatch batch(store);
    store.Set("Settings", "A", "1");
    EXPECT_FALSE(std::filesystem::exists(file));
    store.Set("Settings", "B", "2");
  }
  EXPECT_EQ(ReadFile(file), "[Settings]\nA=1\nB=2\n");
  EXPECT_THROW(store.Set("Settings", "bad=key", "1"), std::invalid_argument);
  EXPECT_THROW(store.Set("[x", "key", "1"), std::invalid_argument);
}

TEST(IniSettingsStore, AnUnwritableFileIsReportedNotThrown) {
  IniSettingsStore store("/proc/qb-no-such-place/settings.ini");
  store.Set("Settings", "A", "1");
  EXPECT_EQ(store.Get("Settings", "A"), "1");
  EXPECT_NE(store.LastWriteError(), "");
}

}  // namespace
}  // namespace qb
