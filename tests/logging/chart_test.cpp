#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>

#include "logging/chart_files.h"
#include "logging/chart_maker.h"
#include "logging/main_chart.h"
#include "logging/readings_table.h"
#include "platform/chart_canvas.h"
#include "platform/database.h"
#include "registry/records.h"
#include "support/jpeg_decode.h"
#include "support/plugin_fixture.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

// A local time on 7 December 2026 plus `day` days (the tests run with TZ=UTC).
DbTime At(int day, int hour, int minute = 0) {
  using namespace std::chrono;
  return sys_days{2026y / December / 7} + days(day) + hours(hour) + minutes(minute);
}

size_t Areas(const std::string& map) {
  size_t count = 0;
  for (size_t at = map.find("<area"); at != std::string::npos; at = map.find("<area", at + 1))
    ++count;
  return count;
}

// Day numbers of the areas' {x}, in map order, with their pixel x.
std::vector<std::pair<int, double>> AreaXs(const std::string& map) {
  std::vector<std::pair<int, double>> out;
  const std::regex area("coords=\"(\\d+),\\d+,5\" onmouseover='setDIV\\(\"([0-9.]+)\"");
  for (std::sregex_iterator it(map.begin(), map.end(), area), end; it != end; ++it)
    out.emplace_back(std::stoi((*it)[1]), std::stod((*it)[2]));
  return out;
}

class ChartTest : public test::PluginTest {
 protected:
  void SetUp() override {
    host->app_path = dir.str();
    ConnectHost();
    ResetChartFiles();
    Plugin().settings.Database = "Provider=SQLite;Data Source=" + (dir.path() / "t.db").string();
    ASSERT_EQ(CreateSqliteReadingsDatabase((dir.path() / "t.db").string(), "T_Temps",
                                           {"ROMAddress", "DTime", "Temp"}),
              "");
    db = OpenDatabase(Plugin().settings.Database);
    // The rows the tests log need not reach the disk before the next one.
    db->Execute("PRAGMA synchronous = OFF");
  }
  void TearDown() override { ResetChartFiles(); }

  void Log(const std::string& id, DbTime when, double value) {
    db->Execute("INSERT INTO T_Temps (ROMAddress, DTime, Temp) VALUES ($1, $2, $3)",
                {DbValue(id), DbValue(when), DbValue(value)});
  }
  // Today's rows of one device as the history selects them: time, id, value, newest first.
  std::shared_ptr<RecordSet> Today(const std::string& id) {
    return db->Execute(
        "SELECT DTime, ROMAddress, Temp FROM T_Temps WHERE ROMAddress = $1 ORDER BY DTime DESC",
        {DbValue(id)});
  }
  bool ChartFile(const std::string& name) {
    return std::filesystem::exists(dir.path() / "html" / "1wire" / name);
  }

  test::TempDir dir;
  std::shared_ptr<Connection> db;
  DSDevice record = [] {
    DSDevice d;
    d.ROM = "4A0000001234AB28M";
    return d;
  }();
};

TEST_F(ChartTest, TodaysChartRunsOldestToNewestWithATipPerReading) {
  Plugin().settings.DebugLevel = 3;
  Log("Kitchen Temp", At(0, 8), 20.5);
  Log("Kitchen Temp", At(0, 9), 22.0);
  Log("Kitchen Temp", At(0, 10), 21.0);
  CanvasChartBuilder builder;
  auto rows = Today("Kitchen Temp");
  ASSERT_TRUE(builder.MakeChart(*rows, 2, 0, record, "ºC"));

  const auto image = test::DecodeJpeg(
      test::ReadFileBytes(dir.path() / "html" / "1wire" / builder.LastChartFile()));
  EXPECT_EQ(image.width, 590);
  EXPECT_EQ(image.height, 430);
  const std::string map = builder.LastImageMap();
  EXPECT_EQ(Areas(map), 3u);
  EXPECT_THAT(map, HasSubstr("setDIV(\"46363.375\",\"22ºC\", \"visible\");'"));
  const auto xs = AreaXs(map);
  ASSERT_EQ(xs.size(), 3u);
  EXPECT_LT(xs[0].second, xs[2].second);  // oldest first
  EXPECT_LT(xs[0].first, xs[2].first);    // and on the left
  EXPECT_THAT(host->LogTexts("1-Wire (MakeChart)"),
              ::testing::ElementsAre("Creating chart Object", "Converting Data",
                                     "Creating chart output - " + builder.LastChartFile()));
}

TEST_F(ChartTest, NoReadingsOrNoFolderNoChartAndAbove1000ReadingsNoImageMap) {
  CanvasChartBuilder builder;
  EXPECT_FALSE(builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC"));
  for (int i = 0; i < 1200; ++i)
    Log("Kitchen Temp", At(0, 0) + std::chrono::seconds(i * 60), 20 + i % 7);
  ASSERT_TRUE(builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC"));
  EXPECT_TRUE(ChartFile(builder.LastChartFile()));
  EXPECT_EQ(builder.LastImageMap(), "");
  // A chart folder that cannot be written: no chart, and a line that says why.
  std::filesystem::remove_all(dir.path() / "html");
  test::WriteFile(dir.path() / "html", "a file where the folder should be");
  EXPECT_FALSE(builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC"));
  EXPECT_EQ(host->LogTexts("1-Wire ERROR (MakeChart)").size(), 1u);
}

TEST_F(ChartTest, ChartsDrawnCloseTogetherKeepEachOthersFilesButOldOnesGo) {
  Log("Kitchen Temp", At(0, 8), 20.5);
  std::filesystem::create_directories(dir.path() / "html" / "1wire");
  test::WriteFile(dir.path() / "html" / "1wire" / "77.jpg", "left from an earlier run");
  ASSERT_TRUE(ChartFile("77.jpg"));
  CanvasChartBuilder builder;
  ASSERT_TRUE(builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC"));
  const std::string first = builder.LastChartFile();
  const std::string charts_page = NewChartFileName();
  ASSERT_NE(MainChart("07 Dec 2026 00:00", "08 Dec 2026 00:00", false, false, "", charts_page), "");
  ASSERT_TRUE(builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC"));
  EXPECT_NE(builder.LastChartFile(), first);
  EXPECT_TRUE(ChartFile(first));
  EXPECT_TRUE(ChartFile(charts_page));
  EXPECT_FALSE(ChartFile("77.jpg"));
  // Many device charts later the first is gone, the charts page's is still there.
  for (size_t i = 0; i < kChartsKeptPerPage; ++i)
    builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC");
  EXPECT_FALSE(ChartFile(first));
  EXPECT_TRUE(ChartFile(charts_page));
}

class MainChartTest : public ChartTest {
 protected:
  void SetUp() override {
    ChartTest::SetUp();
    // Zeta was logged first; Alpha sorts first and has the most rows.
    Log("Zeta Temp", At(0, 1), 18.0);
    Log("Zeta Temp", At(0, 2), 18.5);
    for (int h = 3; h < 12; ++h) Log("Alpha Temp", At(0, h), 21.0 + h / 10.0);
    Log("Cellar <Humidity>", At(0, 5), 64);
  }
  std::string Chart(const std::string& query, bool submitted, bool d3 = false) {
    return MainChart("07 Dec 2026 00:00", "08 Dec 2026 00:00", d3, submitted, query,
                     NewChartFileName());
  }
};

TEST_F(MainChartTest, AFreshPageChartsTheFirstLoggedDeviceOnly) {
  const std::string html = Chart("/1-Wire?PAGE=1", false);
  EXPECT_THAT(html, HasSubstr("<input type=\"checkbox\" name=\"Zeta Temp\" value=\"ON\"checked>"));
  EXPECT_THAT(html, HasSubstr("<input type=\"checkbox\" name=\"Alpha Temp\" value=\"ON\">"));
  EXPECT_THAT(html, HasSubstr("value='07 Dec 2026 00:00'"));
  EXPECT_EQ(Areas(MainChartImageMap()), 2u);
  EXPECT_THAT(MainChartStatisticsRows(), HasSubstr("Zeta Temp"));
  EXPECT_THAT(MainChartStatisticsRows(), Not(HasSubstr("Alpha Temp")));
}

TEST_F(MainChartTest, ASubmittedPageChartsTheTickedDevicesWithEscapedNames) {
  const std::string html =
      Chart("/1-Wire?PAGE=1&Alpha Temp=ON&Cellar <Humidity>=ON&D3=ON&B1=Submit", true, true);
  EXPECT_THAT(html, HasSubstr("name=\"Alpha Temp\" value=\"ON\"checked>"));
  EXPECT_THAT(html, HasSubstr("name=\"Zeta Temp\" value=\"ON\">"));
  EXPECT_THAT(html, HasSubstr("name=\"Cellar &lt;Humidity&gt;\" value=\"ON\"checked>"));
  EXPECT_THAT(html, Not(HasSubstr("<Humidity>")));
  EXPECT_THAT(html, HasSubstr("name='D3' value='ON'checked>"));
  EXPECT_EQ(Areas(MainChartImageMap()), 10u);
  // Nothing ticked: an empty chart, still drawn.
  EXPECT_NE(Chart("/1-Wire?PAGE=1&B1=Submit", true), "");
  EXPECT_EQ(MainChartStatisticsRows(), "");
}

TEST_F(MainChartTest, AChartsPageBuiltWhileAnotherWaitsKeepsItsOwnRowsAndFile) {
  std::string inner_file;
  loop.Post([&] {
    inner_file = NewChartFileName();
    MainChart("07 Dec 2026 00:00", "08 Dec 2026 00:00", false, false, "", inner_file);
  });
  const std::string outer_file = NewChartFileName();
  ASSERT_NE(MainChart("07 Dec 2026 00:00", "08 Dec 2026 00:00", false, true,
                      "&Alpha Temp=ON&Cellar <Humidity>=ON&B1=Submit", outer_file),
            "");
  ASSERT_FALSE(inner_file.empty()) << "the other page ran while this one let events run";
  EXPECT_THAT(MainChartStatisticsRows(), HasSubstr("Alpha Temp"));
  EXPECT_THAT(MainChartStatisticsRows(), Not(HasSubstr("Zeta Temp")));
  EXPECT_EQ(Areas(MainChartImageMap()), 10u);
  EXPECT_TRUE(ChartFile(inner_file));
  EXPECT_TRUE(ChartFile(outer_file));
}

TEST_F(MainChartTest, ADatabaseThatCannotBeOpenedGivesNoColumnAndALogLine) {
  Plugin().settings.Database =
      "Provider=SQLite;Data Source=" + (dir.path() / "no" / "x.db").string();
  EXPECT_EQ(Chart("", false), "");
  EXPECT_EQ(host->LogTexts("1-Wire ERROR (MainChart)").size(), 1u);
}

// The two charts a person looks at: written to the build folder, and to docs/ with
// QB_UPDATE_SCREENSHOTS=1.
TEST_F(ChartTest, DrawsTheChartsShownInTheDocs) {
  const std::vector<std::filesystem::path> targets = {
      QB_SCREENSHOT_DIR, std::getenv("QB_UPDATE_SCREENSHOTS")
                             ? std::filesystem::path(QB_SOURCE_DIR) / "docs"
                             : std::filesystem::path()};
  // Today: one thermometer every 10 minutes from midnight to 17:50.
  for (int i = 0; i < 108; ++i)
    Log("Kitchen Temp", At(0, 0, i * 10),
        20.0 + 1.8 * std::sin(i / 17.0) + 0.15 * std::sin(i * 1.3));
  CanvasChartBuilder builder;
  ASSERT_TRUE(builder.MakeChart(*Today("Kitchen Temp"), 2, 0, record, "ºC"));
  // A week of three devices, hourly.
  for (int h = 0; h < 7 * 24; ++h) {
    Log("Living Room Temp", At(-7, h), 21 + 1.5 * std::sin(h * 2 * M_PI / 24));
    Log("Outside Temp", At(-7, h, 20), 4 + 5 * std::sin((h - 6) * 2 * M_PI / 24) - h / 40.0);
    Log("Cellar Humidity", At(-7, h, 40), 62 + 4 * std::cos(h / 30.0));
  }
  Plugin().settings.ChartX1 = 640;
  Plugin().settings.ChartY1 = 360;
  const std::string week = NewChartFileName();
  ASSERT_NE(MainChart("30 Nov 2026 00:00", "07 Dec 2026 00:00", false, true,
                      "&Living Room Temp=ON&Outside Temp=ON&Cellar Humidity=ON&B1=Submit", week),
            "");
  for (const auto& target : targets) {
    if (target.empty()) continue;
    std::filesystem::copy_file(dir.path() / "html" / "1wire" / builder.LastChartFile(),
                               target / "chart_today.jpg",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(dir.path() / "html" / "1wire" / week, target / "chart_week.jpg",
                               std::filesystem::copy_options::overwrite_existing);
  }
}

}  // namespace
}  // namespace qb
