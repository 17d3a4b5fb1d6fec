// Today's history block on both engines: the summary, the rows and their threshold classes, the
// chart cell, and what a page shows when the database cannot be read.
#include "logging/chart_builder.h"
#include "logging/database_fixture.h"
#include "logging/history_html.h"
#include "logging/todays_history.h"
#include "web/html.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class HistoryTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    kitchen = Channel("940000000001E228M", "Kitchen", "Temp");
  }
  void TearDown() override {
    InstallChartBuilder(nullptr);
    DatabaseTest::TearDown();
  }
  // Logs readings at the given times of 7 December 2026 (UTC, the tests' time zone).
  void Log(std::vector<std::pair<std::string, double>> readings) {
    for (const auto& [time, value] : readings) {
      SetTime("2026-12-07 " + time);
      ReadingsDatabase()->LogValue(kitchen->ROM, value);
    }
    SetTime("2026-12-07 12:00:00");
  }
  std::string History() { return TodaysHistory(*kitchen, "ºC"); }

  std::shared_ptr<DSDevice> kitchen;
};

TEST_P(HistoryTest, SummaryAndRowsOfTodayNewestFirst) {
  SetTime("2026-12-06 23:59:59");
  ReadingsDatabase()->LogValue(kitchen->ROM, 19.0);  // yesterday: not shown
  Log({{"08:00:00", 20.5}, {"09:00:00", 22.0}, {"10:00:00", 21.0}});
  const std::string html = History();
  EXPECT_THAT(html,
              HasSubstr("<tr><td class=\"tablecolumn\">Lo</td><td class=\"tableroweven\">"
                        "20.500</td><td class=\"tablerowodd\">Dec 07 2026 08:00:00</td>"
                        "</tr><tr><td class=\"tablecolumn\">Hi</td><td class=\"tableroweven\">"
                        "22.000</td><td class=\"tablerowodd\">Dec 07 2026 09:00:00</td></tr>"
                        "<tr><td class=\"tablecolumn\">Avg</td><td class=\"tableroweven\">"
                        "21.167</td><td></td></tr>\r</table>\r"));
  const auto newest =
      html.find("21.000</td><td colspan=\"1\" class=\"tablecelloff\">Dec 07 2026 10");
  const auto oldest =
      html.find("20.500</td><td colspan=\"1\" class=\"tablecelloff\">Dec 07 2026 08");
  ASSERT_NE(newest, std::string::npos);
  ASSERT_NE(oldest, std::string::npos);
  EXPECT_LT(newest, oldest);
  EXPECT_THAT(html, Not(HasSubstr("19.000")));
  EXPECT_THAT(html, HasSubstr("<td align=\"center\" colspan=\"1\" class=\"tablecolumn\">Value "
                              "ºC</td>"));
  EXPECT_EQ(html.substr(html.size() - 25), "</table>\r\n</td></table>\r\n")
      << "no chart cell while no chart builder is installed";
}

TEST_P(HistoryTest, EqualLowsShowTheNewerTimeAndThresholdsColourTheRows) {
  Log({{"08:00:00", 18.0}, {"09:00:00", 25.0}, {"10:00:00", 20.0}, {"11:00:00", 18.0}});
  ReadingsDatabase()->low_threshold = 18;
  ReadingsDatabase()->high_threshold = 25;
  const std::string html = History();
  EXPECT_THAT(html, HasSubstr("Lo</td><td class=\"tableroweven\">18.000</td><td "
                              "class=\"tablerowodd\">Dec 07 2026 11:00:00"));
  EXPECT_THAT(html, HasSubstr("class=\"tablecellwav alarm\">18.000<"));
  EXPECT_THAT(html, HasSubstr("class=\"tablecelldim alarm\">25.000<"));
  EXPECT_THAT(html, HasSubstr("class=\"tableroweven\">20.000<"));
}

TEST_P(HistoryTest, RowsByRomIdAndAQuoteInTheName) {
  kitchen->HSLocation = "Bob's";
  Log({{"08:00:00", 20.0}});
  EXPECT_THAT(History(), HasSubstr(">20.000<"));
  Plugin().settings.DeviceIDByName = false;
  EXPECT_THAT(History(), Not(HasSubstr(">20.000<"))) << "rows were named, not by ROM id";
  Log({{"09:00:00", 21.0}});
  const std::string html = History();
  EXPECT_THAT(html, HasSubstr(">21.000<"));
  EXPECT_THAT(html, Not(HasSubstr(">20.000<")));
}

TEST_P(HistoryTest, AnIntegerReadingColumnIsSummedButNotListed) {
  const std::string ints = table + "I";
  admin->Execute("CREATE TABLE " + QuoteName(ints) +
                     " (\"ROMAddress\" text, \"DTime\" timestamp, \"Temp\" integer)",
                 {});
  Plugin().settings.Table = ints;
  Log({{"08:00:00", 20}, {"09:00:00", 22}});
  const std::string html = History();
  EXPECT_THAT(html, HasSubstr("Avg</td><td class=\"tableroweven\">21.000<"));
  EXPECT_THAT(html, Not(HasSubstr("<td colspan=\"1\" class=\"tableroweven\">")));
  EXPECT_THAT(html, HasSubstr("class=\"tablecelloff\">Dec 07 2026 09:00:00"));
  admin->Execute("DROP TABLE " + QuoteName(ints), {});
}

TEST_P(HistoryTest, AFreezerBelowZeroAllDayHasItsHighestReadingAsHi) {
  Log({{"08:00:00", -7.0}, {"09:00:00", -3.0}, {"10:00:00", -5.0}});
  const std::string html = History();
  EXPECT_THAT(html, HasSubstr("Hi</td><td class=\"tableroweven\">-3.000</td><td "
                              "class=\"tablerowodd\">Dec 07 2026 09:00:00</td>"));
  EXPECT_THAT(html, HasSubstr("Lo</td><td class=\"tableroweven\">-7.000</td><td "
                              "class=\"tablerowodd\">Dec 07 2026 08:00:00</td>"));
}

TEST_P(HistoryTest, ANumericReadingColumnIsListedAsNumbers) {
  // A table made by hand with an exact decimal column: its readings are numbers, not texts.
  const std::string exact = table + "N";
  admin->Execute("CREATE TABLE " + QuoteName(exact) +
                     " (\"ROMAddress\" text, \"DTime\" timestamp, \"Temp\" numeric(6,2))",
                 {});
  Plugin().settings.Table = exact;
  Log({{"08:00:00", 20.25}, {"09:00:00", -3.5}});
  ReadingsDatabase()->low_threshold = -100;
  ReadingsDatabase()->high_threshold = 100;
  const std::string html = History();
  admin->Execute("DROP TABLE " + QuoteName(exact), {});
  EXPECT_THAT(html, HasSubstr("<td colspan=\"1\" class=\"tableroweven\">20.250</td>"));
  EXPECT_THAT(html, HasSubstr("<td colspan=\"1\" class=\"tableroweven\">-3.500</td>"));
  EXPECT_THAT(html, HasSubstr("Hi</td><td class=\"tableroweven\">20.250</td>"));
}

TEST_P(HistoryTest, TemperaturesStoredInCelsiusAreShownInTheScaleSetNow) {
  Log({{"08:00:00", 20.0}, {"09:00:00", 22.5}});
  auto volts = Channel("AB0000000005A420G", "Kitchen", "Volts");
  SetTime("2026-12-07 09:30:00");
  ReadingsDatabase()->LogValue(volts->ROM, 4.5);
  SetTime("2026-12-07 12:00:00");
  ReadingsDatabase()->low_threshold = -100;
  ReadingsDatabase()->high_threshold = 500;
  Plugin().settings.Range = true;
  const std::string html = TodaysHistory(*kitchen, "ºF");
  EXPECT_THAT(html, HasSubstr("Hi</td><td class=\"tableroweven\">72.500</td>"));
  EXPECT_THAT(html, HasSubstr("Lo</td><td class=\"tableroweven\">68.000</td>"));
  EXPECT_THAT(html, HasSubstr(">72.500</td><td colspan=\"1\" class=\"tablecelloff\">"));
  EXPECT_THAT(html, Not(HasSubstr(">22.500<")));
  // Other channels are shown as stored.
  EXPECT_THAT(TodaysHistory(*volts, "V"), HasSubstr(">4.500</td>"));
  Plugin().settings.Range = false;
  EXPECT_THAT(History(), HasSubstr(">22.500</td>"));
}

class RecordingChart : public ChartBuilder {
 public:
  bool MakeChart(RecordSet& readings, int32_t value_column, int32_t time_column,
                 const DSDevice& record, const std::string& title) override {
    rows = readings.RecordCount();
    columns = {value_column, time_column};
    rom = record.ROM;
    this->title = title;
    return true;
  }
  std::string LastChartFile() const override { return "4711.jpg"; }
  std::string LastImageMap() const override { return "<area>"; }
  int64_t rows = -1;
  std::pair<int32_t, int32_t> columns;
  std::string rom, title;
};

TEST_P(HistoryTest, TheChartCellShowsTheBuildersImage) {
  auto chart = std::make_shared<RecordingChart>();
  InstallChartBuilder(chart);
  Log({{"08:00:00", 20.0}, {"09:00:00", 21.0}});
  const std::string html = History();
  EXPECT_EQ(chart->rows, 2);
  EXPECT_EQ(chart->columns, std::make_pair(2, 0));
  EXPECT_EQ(chart->rom, "940000000001E228M");
  EXPECT_EQ(chart->title, "ºC");
  EXPECT_THAT(html, HasSubstr("</td><td align=\"left\" valign=\"top\"><img src=\"1wire/4711.jpg\" "
                              "border=\"0\" usemap=\"#map1\"><map name='map1'><area></map></td>"
                              "</b><div id='info'"));
}

TEST_P(HistoryTest, ADatabaseThatCannotBeReadGivesErrorParagraphsInClosedTables) {
  Plugin().settings.Table = "no such table";
  const std::string html = History();
  EXPECT_THAT(html, HasSubstr("<p>ERROR:<br>"));
  EXPECT_EQ(html.rfind("</table>\r\n"), html.size() - 10);
  EXPECT_FALSE(host->LogTexts("1-Wire Error").empty());
}

TEST_P(HistoryTest, NoRowsTodayGivesEmptyTables) {
  const std::string html = History();
  EXPECT_THAT(html, Not(HasSubstr("tablecolumn\">Lo<")));
  EXPECT_THAT(html, HasSubstr("Time</td></tr>\r\n</table>"));
  EXPECT_THAT(html, Not(HasSubstr("ERROR")));
}

INSTANTIATE_TEST_SUITE_P(Engines, HistoryTest, ::testing::Values("SQLite", "PostgreSQL"),
                         EngineName);

TEST(HistoryHtml, FragmentsMatchThePagesHelpers) {
  EXPECT_EQ(history_html::Table(0, 1), MakeTable(0, 1));
  EXPECT_EQ(history_html::Cell("tablecolumn", 1, 3), MakeCell("tablecolumn", 1, 3, false));
  EXPECT_EQ(history_html::Cell("tablecelloff", 1, 0), MakeCell("tablecelloff", 1, 0, false));
  EXPECT_EQ(history_html::Escape("<a href='x'>&\"</a>"), EscapeHtml("<a href='x'>&\"</a>"));
}

TEST(HistoryRows, OneRowFormForTheChartsPage) {
  using std::chrono::hours;
  const DbTime t0{hours(24 * 20000)};
  RecordSet set({"DTime", "ROMAddress", "Temp"}, {135, 202, 5},
                {{t0 + hours(2), std::string("A<b>"), 21.0},
                 {t0 + hours(1), std::string("A<b>"), std::monostate{}},
                 {t0, std::string("A<b>"), 20.0}});
  ResetPluginState();
  EXPECT_EQ(LoHiAvgRows(set, false),
            "<tr><td class=\"tableroweven\">A&lt;b&gt;</td><td class=\"tablerowodd\">20.000</td>"
            "<td class=\"tableroweven\">Oct 04 2024 00:00:00</td><td class=\"tablerowodd\">"
            "21.000</td><td class=\"tableroweven\">Oct 04 2024 02:00:00</td><td "
            "class=\"tablerowodd\">13.667</td></tr>");
  EXPECT_FALSE(set.Eof()) << "left at the first row for the caller";
  RecordSet empty({"DTime", "ROMAddress", "Temp"}, {135, 202, 5}, {});
  EXPECT_EQ(LoHiAvgRows(empty, false), "");
}

}  // namespace
}  // namespace qb::test
