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

  // A section opened again later collects its keys in first-seen order.
  ASSERT_TRUE(IniSettingsStore::Parse("[A]\nx=1\n[B]\ny=2\n[a]\nz=4\nX=3\n", sections, error));
  ASSERT_EQ(sections.size(), 2u);
  using Entries = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(sections[0].entries, (Entries{{"x", "3"}, {"z", "4"}}));
  EXPECT_EQ(sections[1].entries, (Entries{{"y", "2"}}));
}

TEST(IniSettingsStore, AnOversizedFileIsRefusedLeftAsItIsAndNeverOverwritten) {
  TempDir dir;
  const auto file = dir.path() / "settings.ini";
  std::string big = "[Settings]\nPollCycle=5\n";
  while (big.size() <= kMaxSettingsFileBytes) big += "; padding padding padding padding\n";
  std::ofstream(file) << big;
  IniSettingsStore store(file);
  const std::string problem = store.Load();
  EXPECT_NE(problem.find("at most 1048576 bytes (1 MB)"), std::string::npos) << problem;
  EXPECT_EQ(problem, SettingsFileSizeProblem(file));
  EXPECT_FALSE(store.Get("Settings", "PollCycle").has_value());
  store.Set("Settings", "PollCycle", "7");
  EXPECT_NE(store.LastWriteError().find("not saved"), std::string::npos);
  EXPECT_EQ(ReadFile(file), big);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);

  // A file that grew too big while the program ran is not written over either.
  std::ofstream(file, std::ios::trunc) << "[Settings]\nPollCycle=5\n";
  ASSERT_EQ(store.Load(), "");
  std::ofstream(file, std::ios::app) << big;
  store.Set("Settings", "PollCycle", "8");
  EXPECT_NE(store.LastWriteError().find("at most"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(file), big.size() + 23);
}

TEST(IniSettingsStore, TemporaryFilesOfASaveCutShortAreRemovedAtLoad) {
  TempDir dir;
  const auto file = dir.path() / "settings.ini";
  std::ofstream(file) << "[Settings]\nPollCycle=5\n";
  const auto stale = dir.path() / "settings.ini.tmp-Ab12Cd";
  const auto young = dir.path() / "settings.ini.tmp-Xy34Zw";
  const auto other = dir.path() / "settings.ini.tmp-notmine";
  for (const auto& p : {stale, young, other}) std::ofstream(p) << "[Settings]\n";
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(stale, old);
  std::filesystem::last_write_time(other, old);
  IniSettingsStore store(file);
  EXPECT_EQ(store.Load(), "");
  EXPECT_EQ(store.GetOr("Settings", "PollCycle", ""), "5");
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(young));  // perhaps another writer's, halfway through
  EXPECT_TRUE(std::filesystem::exists(other));  // not a name a save uses
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
