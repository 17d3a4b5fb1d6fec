#include <gmock/gmock.h>

#include <map>

#include "catalogue/family_catalogue.h"
#include "core/hspi.h"
#include "core/plugin_state.h"
#include "logging/database_logging.h"
#include "logging/readings_table.h"
#include "onewire/onewire_state.h"
#include "registry/records.h"
#include "support/plugin_fixture.h"
#include "support/temp_dir.h"
#include "web/debug_page.h"
#include "web/query.h"
#include "web/settings_page.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kSwitch = "4800000000066912";  // DS2406: switch channels

class PagesTest : public PluginTest {
 protected:
  PagesTest() {
    ConnectHost();
    ResetRegistry();
    ResetOneWire();
    ResetReadingsDatabase();
    // No database: the test query reports its failure on the page instead of a row.
    Plugin().settings.Database = "";
  }
  ~PagesTest() override {
    ResetRegistry();
    ResetWeb();
    ResetReadingsDatabase();
  }

  // The settings form as a browser posts it after "Update", with some fields changed (an empty
  // value leaves the field out, as a browser leaves out a check box that is not ticked).
  std::string Post(std::map<std::string, std::string> changes) {
    std::map<std::string, std::string> fields = {
        {"speechOL", "Hello"}, {"speechOA", "Alarm+on"}, {"bFahren", "False"}, {"polltime", "30"},
        {"TimerOn", "ON"},     {"pollTemp", "1"},        {"pollAD", "1"},      {"pollI", "1"},
        {"AlarmMode", "0"},    {"iSigFig", "3"},         {"Log", "1"},         {"ShowPage0", "ON"},
        {"ShowPage1", "ON"},   {"ShowPage2", "ON"},      {"ShowPage3", "ON"},  {"DefPage", "0"},
        {"dbOpt", "False"},    {"DBLog", "ON"}};
    for (const auto& [name, value] : changes) fields[name] = value;
    std::string data = "ref_page=1-Wire&SETTINGS=On";
    for (const auto& [name, value] : fields) {
      if (!value.empty()) data += "&" + name + "=" + value;
    }
    data += "&button=Update";
    ParseQuery(data);
    return SettingsPost(data);
  }
  std::string Stored(const std::string& key) { return store.Get("Settings", key).value_or("?"); }
};

TEST_F(PagesTest, DebugPageListsEveryRecordWithItsRawFields) {
  // A device of a family with channels: the list hides its own record, the debug page does not.
  auto rom = gROMs().Find(kSwitch);
  auto own = gROMs().FindDev(kSwitch);
  auto channel = gROMs().FindDev(kSwitch + "S0");
  channel->hc = "B";
  channel->dc = 7;
  channel->HSName = "Pump <1>";
  channel->LogtoDB = 1;
  rom->Caps = 0x100;
  const std::string page = DebugPage();
  EXPECT_THAT(page, HasSubstr("1-Wire?ROMID=" + kSwitch + "\">" + kSwitch + "</a>"));
  EXPECT_THAT(page, HasSubstr(">B7</td>"));
  EXPECT_THAT(page, HasSubstr(">-</td>"));  // the record without a host device
  EXPECT_THAT(page, HasSubstr("Pump &lt;1&gt;"));
  EXPECT_THAT(page, HasSubstr(">256</td>"));
  EXPECT_THAT(page, HasSubstr("<td colspan=\"1\" class=\"tablerowodd\">1</td>"));  // Log
  EXPECT_THAT(page, Not(HasSubstr("Guest cannot")));
  host->web_user = "Guest";
  EXPECT_THAT(DebugPage(), HasSubstr("Guest cannot make changes"));
}

TEST_F(PagesTest, SettingsPageShowsThePollArithmetic) {
  // Three thermometers, one of them a DS2438 (also a current sensor), and a switch.
  for (const char* rom : {"5A0000000001E228", "640000000002F210", "8C00000000031B26"}) {
    gROMs().Find(rom)->Caps = static_cast<int32_t>(FamilyCaps(rom));
  }
  gROMs().Find(kSwitch)->Caps = static_cast<int32_t>(FamilyCaps(kSwitch));
  Plugin().settings.CycleSeconds = 30;
  Plugin().settings.PollTemp = 2;
  std::string page = SettingsPage("1-Wire?PAGE=2");
  EXPECT_THAT(page, HasSubstr("will Poll every 30x2x3=<b>180</b> Seconds"));
  EXPECT_THAT(page, HasSubstr("<option Selected value=\"1\">Errors &amp; Alarms</option>"));
  EXPECT_THAT(page, HasSubstr("SQL Result"));
  EXPECT_THAT(page, HasSubstr("will Poll every 30x1x1=<b>30</b> Seconds"));  // Vsense
  Plugin().settings.Speech = "say \"<b>\"";
  EXPECT_THAT(SettingsPage(""), HasSubstr("value=\"say &quot;&lt;b&gt;&quot;\""));
}

TEST_F(PagesTest, SettingsPostAppliesAndStoresWithinLimits) {
  EXPECT_CALL(*timers, SetPollTimerEnabled(false));
  EXPECT_CALL(*timers, SetPollTimerEnabled(true)).Times(::testing::AnyNumber());
  const std::string page = Post({{"polltime", "0"},
                                 {"pollTemp", "-3"},
                                 {"TimerOn", ""},
                                 {"Log", "4"},
                                 {"iSigFig", "300"},
                                 {"speechOL", "Say+%22hi%22"},
                                 {"ShowPage0", ""},
                                 {"ShowPage2", ""},
                                 {"ShowPage3", ""},
                                 {"BusConvert", "ON"}});
  const Settings& s = Plugin().settings;
  EXPECT_EQ(s.BusConvert, 1);
  EXPECT_EQ(Stored("BusConvert"), "1");
  EXPECT_THAT(SettingsPage(""),
              HasSubstr("<input type=\"checkbox\" name=\"BusConvert\" value=\"ON\" checked>"));
  EXPECT_EQ(s.CycleSeconds, 1);
  EXPECT_EQ(s.PollTemp, 0);
  EXPECT_FALSE(s.chkTimer);
  EXPECT_EQ(s.DebugLevel, 4);
  EXPECT_EQ(s.SigFigs, 3);  // 300 does not fit: the value stays
  EXPECT_EQ(Stored("PollCycle"), "1");
  EXPECT_EQ(Stored("PollTemp"), "0");
  EXPECT_EQ(Stored("Debug"), "4");
  EXPECT_EQ(Stored("Speech"), "Say  hi ");
  // Only the charts page is left on: it becomes the default page.
  EXPECT_EQ(s.DefaultPage, 1);
  EXPECT_EQ(Stored("Default Page"), "1");
  EXPECT_EQ(Stored("Web Page0"), "0");
  EXPECT_EQ(Stored("Web Page1"), "1");
  EXPECT_THAT(page, HasSubstr("<option Selected value=\"4\">"));
  ASSERT_EQ(host->CountCalls("writelog"), 1u);
  EXPECT_EQ(host->CallsNamed("writelog")[0].args[1], "Update from Web Page");
  // The page says it was saved, and the host sends the browser on to it.
  EXPECT_THAT(page, HasSubstr("Settings saved."));
  EXPECT_EQ(Web().Answer.redirect, "1-Wire?PAGE=2&saved=1");

  // "Refresh" changes nothing and says nothing was saved.
  const std::string refresh = "ref_page=1-Wire&SETTINGS=On&polltime=99&button=Refresh";
  ParseQuery(refresh);
  Web().Answer = {};
  EXPECT_THAT(SettingsPost(refresh), Not(HasSubstr("Settings saved.")));
  EXPECT_EQ(s.CycleSeconds, 1);
  EXPECT_EQ(Web().Answer.redirect, "");
  // A guest's post changes nothing, live or stored, and is refused.
  host->web_user = "guest";
  EXPECT_THAT(Post({{"polltime", "5"}, {"ShowPage1", ""}}),
              HasSubstr("Guest cannot make changes: nothing was saved."));
  EXPECT_EQ(Web().Answer.status, 403);
  EXPECT_EQ(s.CycleSeconds, 1);
  EXPECT_EQ(Stored("PollCycle"), "1");
  EXPECT_EQ(s.DefaultPage, 1);
  EXPECT_EQ(Stored("Web Page1"), "1");
}

// Both "Store Value" choices: what is stored, which button the page checks, and how the next
// logged row names its channel.
TEST_F(PagesTest, TheStoreValueChoiceIsStoredShownAndNamesTheNextRow) {
  TempDir dir;
  const std::string file = (dir.path() / "1WireTemps.db").string();
  Settings& s = Plugin().settings;
  ASSERT_EQ(CreateSqliteReadingsDatabase(file, s.Table, s.Fields), "");
  s.Database = "Provider=SQLite;Data Source=" + file;
  const std::string key = "940000000001E228M";
  auto channel = gROMs().FindDev(key);
  channel->HSLocation = "Kitchen";
  channel->HSName = "Temp";
  auto last_row = [&] {
    ReadingsDatabase()->LogValue(key, 21.5);
    auto rows = OpenDatabase(s.Database)
                    ->Execute("SELECT \"ROMAddress\" FROM \"T_Temps\" ORDER BY rowid DESC");
    return rows->Eof() ? std::string("<none>") : rows->Item(0).AsText();
  };

  std::string page = Post({{"dbOpt", "True"}, {"DBLog", ""}});
  EXPECT_FALSE(Plugin().settings.DeviceIDByName);
  EXPECT_EQ(Stored("DeviceID"), "0");
  EXPECT_THAT(page, HasSubstr("<input type=\"radio\" value=\"True\" checked name=\"dbOpt\">"
                              "ROM Address"));
  EXPECT_THAT(page, HasSubstr("<input type=\"radio\" name=\"dbOpt\" value=\"False\">Device Name"));
  EXPECT_EQ(last_row(), "940000000001E228");

  page = Post({{"dbOpt", "False"}, {"DBLog", ""}});
  EXPECT_TRUE(Plugin().settings.DeviceIDByName);
  EXPECT_EQ(Stored("DeviceID"), "1");
  EXPECT_THAT(page, HasSubstr("<input type=\"radio\" value=\"True\" name=\"dbOpt\">ROM Address"));
  EXPECT_THAT(page, HasSubstr("<input type=\"radio\" checked name=\"dbOpt\" value=\"False\">"
                              "Device Name"));
  EXPECT_EQ(last_row(), "Kitchen Temp");
  EXPECT_THAT(page, HasSubstr("a device renamed or moved starts a new series"));
  ReadingsDatabase()->CloseConnection();
}

// Switching the temperature scale converts the values shown at once, both ways; other channels
// and thermometers not read yet are left alone.
TEST_F(PagesTest, SwitchingTheScaleConvertsTheShownTemperaturesAtOnce) {
  auto add = [&](const std::string& key, const std::string& dc, const std::string& shown) {
    auto record = gROMs().FindDev(key);
    record->hc = "Q";
    record->dc = std::stoi(dc);
    record->HSString = shown;
    host->AddDevice("Q", dc, kPluginName, key)->string_ = shown;
    return record;
  };
  auto boiler = add("940000000001E228M", "1", "64.000");
  boiler->Reading = 64;
  add("AB0000000005A420G", "2", "4.990");
  add("950000000002E228M", "3", "");
  auto shown = [&](const std::string& dc) { return host->DeviceString("Q" + dc); };
  Post({{"bFahren", "True"}});
  EXPECT_TRUE(Plugin().settings.Range);
  EXPECT_EQ(shown("1"), "147.200\u00BAF");
  EXPECT_EQ(shown("2"), "4.990");
  EXPECT_EQ(shown("3"), "");
  Post({{"bFahren", "True"}});  // no switch: nothing converted again
  EXPECT_EQ(shown("1"), "147.200\u00BAF");
  Post({{"bFahren", "False"}});
  EXPECT_EQ(shown("1"), "64.000\u00BAC");
  EXPECT_EQ(boiler->HSString, "64.000\u00BAC");
}

}  // namespace
}  // namespace qb::test
