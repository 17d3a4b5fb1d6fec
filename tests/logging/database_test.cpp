// The database layer on both engines: column kinds, dates that sort and compare as times across
// month and year ends, values bound as parameters; and SQLite files that cannot be used.
#include "logging/database_fixture.h"
#include "logging/main_chart.h"

namespace qb::test {
namespace {

using namespace std::chrono;

DbTime Utc(const std::string& text) {
  std::tm tm{};
  strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  return system_clock::from_time_t(timegm(&tm));
}

using EngineTest = DatabaseTest;

TEST_P(EngineTest, ColumnKindsAreTheTypeNumbersTheLoggingTests) {
  auto columns = admin->Columns(table);
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(columns[0].Name, "ROMAddress");
  EXPECT_EQ(columns[0].Type, field_type::kText);
  EXPECT_EQ(columns[1].Type, field_type::kTimestamp);
  EXPECT_EQ(columns[2].Type, field_type::kDouble);
  const std::string ints = table + "_i";
  admin->Execute("CREATE TABLE " + QuoteName(ints) + " (n integer, d date)", {});
  auto more = admin->Columns(ints);
  EXPECT_EQ(more[0].Type, field_type::kInteger);
  EXPECT_EQ(more[1].Type, field_type::kDate);
  admin->Execute("DROP TABLE " + QuoteName(ints), {});
  EXPECT_THROW(admin->Columns("no such table"), DatabaseError);

  bool listed = false;
  for (const auto& t : admin->Tables()) listed |= t.Name == table && t.Type == "TABLE";
  EXPECT_TRUE(listed);
}

TEST_P(EngineTest, DatesSortAndCompareAsTimesAcrossMonthAndYearEnds) {
  const std::string insert = "INSERT INTO " + QuoteName(table) + " VALUES ($1, $2, $3)";
  // Written out of order; as text "Jan 01 2027" would sort before "Dec 31 2026" and "Nov 30"
  // after "Dec 01".
  for (const char* when : {"2027-01-01 00:00:00", "2026-11-30 23:59:59", "2026-12-31 23:59:59",
                           "2026-12-01 00:00:00", "2027-01-01 00:00:01"}) {
    admin->Execute(insert, {std::string("A"), Utc(when), 1.0});
  }
  auto rows = admin->Execute(
      "SELECT \"DTime\" FROM " + QuoteName(table) + " WHERE \"DTime\" >= $1 ORDER BY \"DTime\"",
      {Utc("2026-12-01 00:00:00")});
  std::vector<DbTime> seen;
  for (; !rows->Eof(); rows->MoveNext()) {
    ASSERT_EQ(rows->Item(0).Type, field_type::kTimestamp);
    seen.push_back(std::get<DbTime>(rows->Item(0).Value));
  }
  EXPECT_EQ(seen, (std::vector<DbTime>{Utc("2026-12-01 00:00:00"), Utc("2026-12-31 23:59:59"),
                                       Utc("2027-01-01 00:00:00"), Utc("2027-01-01 00:00:01")}));
}

TEST_P(EngineTest, QuotesInValuesAreDataNotSql) {
  const std::string name = "Bob's \"den\"'); DROP TABLE x; --";
  admin->Execute("INSERT INTO " + QuoteName(table) + " VALUES ($1, $2, $3)",
                 {name, Utc("2026-12-07 10:00:00"), 21.5});
  auto rows = admin->Execute(
      "SELECT \"ROMAddress\", \"Temp\" FROM " + QuoteName(table) + " WHERE \"ROMAddress\" = $1",
      {name});
  ASSERT_FALSE(rows->Eof());
  EXPECT_EQ(rows->Item(0).AsText(), name);
  EXPECT_EQ(rows->Item(1).AsDouble(), 21.5);
}

TEST_P(EngineTest, ComputedColumnsKeepTheirKinds) {
  admin->Execute("INSERT INTO " + QuoteName(table) + " VALUES ($1, $2, $3)",
                 {std::string("A"), Utc("2026-12-07 10:00:00"), 21.5});
  auto rows = admin->Execute(
      "SELECT MIN(\"DTime\") AS \"First\", COUNT(*) AS n FROM " + QuoteName(table), {});
  EXPECT_EQ(rows->Item(0).Type, field_type::kTimestamp);
  EXPECT_EQ(std::get<DbTime>(rows->Item(0).Value), Utc("2026-12-07 10:00:00"));
  EXPECT_EQ(rows->Item(1).Type, field_type::kInteger);
  EXPECT_EQ(rows->Item(1).AsDouble(), 1);
}

// The charts page lists the logged devices on every load: on a table of millions of rows that
// must be a few index lookups per device, not a read of every row.
TEST_P(EngineTest, TheChartsDeviceListUsesTheIndexAndListsOldestFirst) {
  const std::string insert = "INSERT INTO " + QuoteName(table) +
                             " (\"ROMAddress\", \"DTime\", \"Temp\") VALUES ($1, $2, $3)";
  for (const auto& [id, time] : {std::pair{"B", "2026-12-07 09:00:00"},
                                 {"A", "2026-12-07 10:00:00"},
                                 {"B", "2026-12-07 11:00:00"},
                                 {"C", "2026-12-06 23:00:00"},
                                 {"A", "2026-12-08 00:00:00"}}) {
    admin->Execute(insert, {DbValue(std::string(id)), DbValue(Utc(time)), DbValue(1.5)});
  }
  admin->Execute("INSERT INTO " + QuoteName(table) + " (\"DTime\", \"Temp\") VALUES ($1, $2)",
                 {DbValue(Utc("2026-12-01 00:00:00")), DbValue(2.0)});
  const std::string sql = ChartDevicesSql(table, "ROMAddress", "DTime");
  auto devices = admin->Execute(sql, {});
  std::vector<std::string> ids;
  for (devices->MoveFirst(); !devices->Eof(); devices->MoveNext())
    ids.push_back(devices->Item(1).AsText());
  EXPECT_EQ(ids, (std::vector<std::string>{"C", "B", "A"}));

  std::string plan;
  int scans = 0, searches = 0;
  if (GetParam() == "SQLite") {
    auto rows = admin->Execute("EXPLAIN QUERY PLAN " + sql, {});
    for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext()) {
      const std::string line = rows->Item(3).AsText();
      plan += line + "\n";
      if (line.find(table) == std::string::npos) continue;
      scans += line.rfind("SCAN", 0) == 0;
      searches +=
          line.rfind("SEARCH", 0) == 0 && line.find("USING COVERING INDEX") != std::string::npos;
    }
  } else {
    // A small table is read whole whatever the indexes; forbid that to see what the query allows.
    admin->Execute("SET enable_seqscan = off", {});
    auto rows = admin->Execute("EXPLAIN " + sql, {});
    for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext()) {
      const std::string line = rows->Item(0).AsText();
      plan += line + "\n";
      scans += line.find("Scan") != std::string::npos && line.find(table) != std::string::npos;
      searches += line.find("Index Cond") != std::string::npos;
    }
    scans -= searches;  // each index scan with a condition is a lookup
  }
  EXPECT_EQ(scans, 0) << plan;
  EXPECT_GE(searches, 3) << plan;
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineTest, ::testing::Values("SQLite", "PostgreSQL"),
                         EngineName);

TEST(DatabaseLayer, ConnectionStringsNameTheEngine) {
  const auto keys = ParseConnectionString(" Provider = SQLite ;Data Source=/a b/c.db;;x");
  EXPECT_EQ(keys.at("PROVIDER"), "SQLite");
  EXPECT_EQ(keys.at("DATA SOURCE"), "/a b/c.db");
  EXPECT_EQ(CreateConnection("provider=sqlite;data source=x")->Engine(), "SQLite");
  EXPECT_EQ(CreateConnection("Provider=PostgreSQL;Host=h")->Engine(), "PostgreSQL");
  try {
    CreateConnection("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\x.mdb");
    FAIL() << "a Jet connection string opened";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("Microsoft.Jet.OLEDB.4.0"));
  }
}

TEST(DatabaseLayer, DayNumbersCountFromThe30thOfDecember1899) {
  // Tests run with TZ=UTC: 1 January 1970 noon is day 25569.5.
  EXPECT_DOUBLE_EQ(LocalDayNumber(Utc("1970-01-01 12:00:00")), 25569.5);
  EXPECT_DOUBLE_EQ(LocalDayNumber(Utc("2026-12-07 06:00:00")), 46363.25);
}

TEST(SqliteFiles, MissingUnreadableAndLockedFilesFailClearly) {
  TempDir dir;
  const auto missing = dir.path() / "nope.db";
  try {
    OpenDatabase("Provider=SQLite;Data Source=" + missing.string());
    FAIL();
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("does not exist"));
  }
  EXPECT_FALSE(std::filesystem::exists(missing)) << "opening must not create a database";

  const auto junk = dir.path() / "junk.db";
  WriteFile(junk, std::string(4096, 'x'));
  try {
    OpenDatabase("Provider=SQLite;Data Source=" + junk.string());
    FAIL();
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("not a database"));
  }

  const auto locked = dir.path() / "locked.db";
  ASSERT_EQ(
      CreateSqliteReadingsDatabase(locked.string(), "T_Temps", {"ROMAddress", "DTime", "Temp"}),
      "");
  auto writer = OpenDatabase("Provider=SQLite;Data Source=" + locked.string());
  auto holder = OpenDatabase("Provider=SQLite;Data Source=" + locked.string());
  holder->Execute("BEGIN EXCLUSIVE", {});
  try {
    writer->Execute("INSERT INTO \"T_Temps\" VALUES ('a', '2026-12-07 10:00:00', 1)", {});
    FAIL() << "wrote into a locked database";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("locked"));
  }
  holder->Execute("COMMIT", {});
  EXPECT_NO_THROW(
      writer->Execute("INSERT INTO \"T_Temps\" VALUES ('a', '2026-12-07 10:00:00', 1)", {}));
}

}  // namespace
}  // namespace qb::test
