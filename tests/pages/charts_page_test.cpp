// The charts page on a SQLite readings table: its default range, the 3D choice, the statistics.
#include "web/charts_page.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "logging/chart_builder.h"
#include "logging/chart_files.h"
#include "logging/readings_table.h"
#include "platform/database.h"
#include "support/plugin_fixture.h"
#include "support/temp_dir.h"
#include "web/query.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ChartsPageTest : public PluginTest {
 protected:
  ChartsPageTest() {
    host->app_path = dir.str();
    ConnectHost();
    ResetChartFiles();
    using namespace std::chrono;
    clock.SetWallTime(sys_days{2026y / December / 7} + hours(12));  // the tests run in UTC
    const std::string file = (dir.path() / "t.db").string();
    Plugin().settings.Database = "Provider=SQLite;Data Source=" + file;
    EXPECT_EQ(CreateSqliteReadingsDatabase(file, "T_Temps", {"ROMAddress", "DTime", "Temp"}), "");
    auto db = OpenDatabase(Plugin().settings.Database);
    for (int h = 1; h < 6; ++h) {
      for (const char* id : {"Cellar Temp", "Attic <Temp>"}) {
        db->Execute("INSERT INTO T_Temps (ROMAddress, DTime, Temp) VALUES ($1, $2, $3)",
                    {DbValue(std::string(id)), DbValue(clock.Now() - hours(h)), DbValue(20.0 + h)});
      }
    }
  }
  ~ChartsPageTest() override {
    ResetChartFiles();
    ResetWeb();
  }
  std::string Page(const std::string& lnk) {
    ParseQuery(lnk);
    return ChartsPage(lnk);
  }
  // The file name of the chart image a page shows; empty when it shows none.
  static std::string ChartFile(const std::string& page) {
    std::smatch m;
    if (!std::regex_search(page, m, std::regex("<img src=\"1wire/([0-9]+\\.jpg)\""))) return {};
    return m[1].str();
  }
  TempDir dir;
};

TEST_F(ChartsPageTest, ByDefaultTheFirstLoggedDeviceFromADayAgoToADayAhead) {
  const std::string page = Page("1-Wire?PAGE=1");
  EXPECT_THAT(page, HasSubstr("value='06 Dec 2026 12:00'"));
  EXPECT_THAT(page, HasSubstr("value='08 Dec 2026 12:00'"));
  EXPECT_THAT(page, HasSubstr("<img src=\"1wire/"));
  EXPECT_THAT(page, HasSubstr("<area "));
  EXPECT_THAT(page, HasSubstr("function setDIV"));
  // The statistics: the device charted, its name as text.
  EXPECT_THAT(page, HasSubstr("<td class=\"tablecolumn\">Avg</td></tr>"));
  EXPECT_THAT(page, HasSubstr("Cellar Temp"));
  EXPECT_THAT(page, Not(HasSubstr("Attic <Temp>")));
}

TEST_F(ChartsPageTest, TickedDevicesTheTypedStartAndTheThreeDChoiceComeFromTheQuery) {
  std::string page = Page(
      "1-Wire?PAGE=1&Cellar+Temp=ON&Attic+%3CTemp%3E=ON&From=07+Dec+2026+08%3A00&To=&D3=ON&B1="
      "Submit");
  EXPECT_THAT(page, HasSubstr("name='D3' value='ON'checked>"));
  EXPECT_THAT(page, HasSubstr("value='07 Dec 2026 08:00'"));
  EXPECT_THAT(page, HasSubstr("value='08 Dec 2026 12:00'"));
  const size_t stats = page.find(">Avg</td></tr>");
  ASSERT_NE(stats, std::string::npos);
  EXPECT_THAT(page.substr(stats), HasSubstr("Attic &lt;Temp&gt;"));
  EXPECT_THAT(page.substr(stats), HasSubstr("Cellar Temp"));
  page = Page("1-Wire?PAGE=1&From=07+Dec+2026+08%3A00&To=&B1=Submit");
  EXPECT_THAT(page, Not(HasSubstr("name='D3' value='ON'checked>")));
  EXPECT_THAT(page.substr(page.find(">Avg</td></tr>")), Not(HasSubstr("Cellar Temp")));
}

TEST_F(ChartsPageTest, TwelveHundredReadingsGiveTheChartWithoutTipsAndTheirStatistics) {
  using namespace std::chrono;
  auto db = OpenDatabase(Plugin().settings.Database);
  db->Execute("BEGIN");  // one write to the disk, not 1200
  for (int i = 0; i < 1200; ++i) {
    db->Execute("INSERT INTO T_Temps (ROMAddress, DTime, Temp) VALUES ($1, $2, $3)",
                {DbValue(std::string("Boiler")), DbValue(clock.Now() - seconds(60 * i + 30)),
                 DbValue(60.0 + (i % 10))});
  }
  db->Execute("COMMIT");
  const std::string page = Page("1-Wire?PAGE=1&Boiler=ON&From=06+Dec+2026+12%3A00&To=&B1=Submit");
  const std::string image = ChartFile(page);
  ASSERT_FALSE(image.empty()) << page;
  EXPECT_GT(std::filesystem::file_size(ChartFolder() / image), 1000u);
  // More than 1000 points: an empty map, so no tips.
  EXPECT_THAT(page, HasSubstr("<map name='map1'></map>"));
  EXPECT_THAT(page, Not(HasSubstr("<area ")));
  EXPECT_THAT(page.substr(page.find(">Avg</td></tr>")), HasSubstr("Boiler"));
  EXPECT_THAT(page, HasSubstr(">60.000<"));
  EXPECT_THAT(page, HasSubstr(">69.000<"));
}

TEST_F(ChartsPageTest, TheThreeDChoiceDrawsTheLinesWithDepth) {
  auto chart_of = [&](const std::string& query) {
    const std::string page = Page("1-Wire?PAGE=1&Cellar+Temp=ON&B1=Submit" + query);
    const std::string image = ChartFile(page);
    if (image.empty()) return std::string();
    std::ifstream in(ChartFolder() / image, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  Plugin().settings.Chart3D1 = false;
  const std::string flat = chart_of("");
  const std::string deep = chart_of("&D3=ON");
  ASSERT_FALSE(flat.empty());
  ASSERT_FALSE(deep.empty());
  EXPECT_NE(flat, deep);
  // The same page again draws the same picture: the difference is the depth alone.
  EXPECT_EQ(chart_of(""), flat);
}

// The chart drawn ahead on a thread of its own (what the web server does) gives the page the chart
// drawn by the page itself gives, in the scale set (°F here), with the statistics; the page takes
// it once, and the next one draws anew.
TEST_F(ChartsPageTest, AChartDrawnAheadOnAnotherThreadMakesTheSamePage) {
  Plugin().settings.Range = 1;
  // A thermometer's channel key: its readings are shown in the scale set.
  OpenDatabase(Plugin().settings.Database)
      ->Execute("INSERT INTO T_Temps (ROMAddress, DTime, Temp) VALUES ($1, $2, $3)",
                {DbValue(std::string("28000000000001A2M")),
                 DbValue(clock.Now() - std::chrono::hours(2)), DbValue(20.0)});
  const std::string lnk =
      "1-Wire?PAGE=1&Cellar+Temp=ON&Attic+%3CTemp%3E=ON&28000000000001A2M=ON&B1=Submit";
  auto without_image = [](std::string page) {
    return std::regex_replace(page, std::regex("1wire/[0-9]+\\.jpg"), "1wire/chart.jpg");
  };
  const std::string direct = Page(lnk);
  ASSERT_FALSE(ChartFile(direct).empty()) << direct;
  EXPECT_THAT(direct, HasSubstr(">68.000<"));  // 20 °C

  ParseQuery(lnk);
  std::function<void()> work = ChartsGroundwork(lnk);
  ASSERT_TRUE(work);
  std::thread(work).join();
  const std::string ahead = Page(lnk);
  EXPECT_EQ(without_image(ahead), without_image(direct));
  const std::string image = ChartFile(ahead);
  ASSERT_FALSE(image.empty());
  EXPECT_NE(image, ChartFile(direct));
  EXPECT_GT(std::filesystem::file_size(ChartFolder() / image), 1000u);
  // Nothing left over: the next page draws its own chart.
  const std::string again = Page(lnk);
  EXPECT_NE(ChartFile(again), image);
  EXPECT_EQ(without_image(again), without_image(direct));

  // A chart drawn ahead for another query is not taken for this one.
  const std::string cellar_only = "1-Wire?PAGE=1&Cellar+Temp=ON&B1=Submit";
  ParseQuery(cellar_only);
  std::thread(ChartsGroundwork(cellar_only)).join();
  EXPECT_EQ(without_image(Page(lnk)), without_image(direct));
  EXPECT_THAT(Page(cellar_only), Not(HasSubstr("Attic &lt;Temp&gt;</td>")));
}

}  // namespace
}  // namespace qb::test
