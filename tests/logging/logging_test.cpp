// Readings logged through the plug-in's settings on both engines: what is written and how rows
// are named, the connection kept open or not, the SQL shown in the log, the column pre-selection,
// and failures (table missing, connection lost, disk full) that are logged once and recovered
// from at the next good write.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "logging/database_browser.h"
#include "logging/database_fixture.h"
#include "platform/settings_store.h"
#include "registry/value_update.h"

namespace qb::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class LoggingTest : public DatabaseTest {
 protected:
  std::vector<std::string> Errors() { return host->LogTexts("1-Wire Error (Log Value)"); }
  DatabaseLogging& db() { return *ReadingsDatabase(); }
};

TEST_P(LoggingTest, ThermometerPowerOnAndZeroAreSkippedButOtherChannelsLogZero) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  Channel("8C00000000031B26N", "Kitchen", "Humidity");
  db().LogValue("940000000001E228M", 85);
  db().LogValue("940000000001E228M", 0);
  db().LogValue("8C00000000031B26N", 0);
  db().LogValue("940000000001E228M", 21.5);
  auto rows = Rows();
  ASSERT_EQ(rows->RecordCount(), 2);
  EXPECT_EQ(rows->Item(0).AsText(), "Kitchen Humidity");
  EXPECT_EQ(rows->Item(2).AsDouble(), 0);
  EXPECT_TRUE(Errors().empty());
}

TEST_P(LoggingTest, RowsNameTheChannelOrItsRomIdAndAQuoteIsJustText) {
  Channel("940000000001E228M", "Bob's", "Temp");
  db().LogValue("940000000001E228M", 21.5);
  Plugin().settings.DeviceIDByName = false;
  db().LogValue("940000000001E228M", 22.5);
  auto rows = Rows();
  ASSERT_EQ(rows->RecordCount(), 2);
  EXPECT_EQ(rows->Item(0).AsText(), "Bob's Temp");
  rows->MoveNext();
  EXPECT_EQ(rows->Item(0).AsText(), "940000000001E228");
  EXPECT_TRUE(Errors().empty());
}

TEST_P(LoggingTest, TheLogShowsTheStatementWithItsValuesAndDateDelimiter) {
  Plugin().settings.DebugLevel = 2;
  SetTime("2026-12-06 16:05:09");
  Channel("940000000001E228M", "O'Brien", "Temp");
  db().LogValue("940000000001E228M", 21.5);
  const std::string d = "'";  // "SQLite" and "PostgreSQL" both hold "SQL"
  EXPECT_THAT(
      host->LogTexts("1-Wire DB Update"),
      ElementsAre("INSERT INTO " + table + " (ROMAddress, DTime, Temp) VALUES('O''Brien Temp', " +
                  d + "Dec 06 2026 16:05:09" + d + ", '21.5')"));
  EXPECT_EQ(DateDelimiter("Provider=SQLOLEDB;Data Source=x"), "'");
  EXPECT_EQ(DateDelimiter("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x"), "#");
}

TEST_P(LoggingTest, KeepOpenDecidesWhetherTheConnectionOutlivesAWrite) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  db().LogValue("940000000001E228M", 21.5);
  EXPECT_FALSE(db().HasConnection());
  // A PostgreSQL connection waits idle in the pool; a SQLite file is closed.
  EXPECT_EQ(db().HasPooledConnection(), GetParam() == "PostgreSQL");
  db().LogValue("940000000001E228M", 21.6);
  EXPECT_FALSE(db().HasConnection());
  Plugin().settings.chkDBKeepOpen = true;
  db().LogValue("940000000001E228M", 21.7);
  auto first = db().Connect();
  db().LogValue("940000000001E228M", 21.8);
  EXPECT_EQ(db().Connect(), first) << "the kept connection is used again";
  EXPECT_EQ(RowCount(), 4);
}

TEST_P(LoggingTest, AnEmptyConnectionStringWritesAndLogsNothing) {
  Plugin().settings.Database = "";
  Plugin().settings.DebugLevel = 5;
  Channel("940000000001E228M", "Kitchen", "Temp");
  const size_t lines = host->log.size();
  db().LogValue("940000000001E228M", 21.5);
  EXPECT_EQ(RowCount(), 0);
  EXPECT_EQ(host->log.size(), lines);
}

TEST_P(LoggingTest, TheBrowserPreselectsColumnsByKind) {
  admin->Execute("CREATE TABLE " + QuoteName(table + "T") +
                     " (\"ID\" text, \"When\" timestamp, \"Value\" double precision)",
                 {});
  DatabaseBrowserLists lists;
  lists.connection_text = connection_string;
  lists.table = table + "T";
  BrowseDatabase(2, lists);
  EXPECT_FALSE(lists.browsing);
  EXPECT_THAT(lists.column_lists[1], ElementsAre("ID", "When", "Value"));
  EXPECT_EQ(lists.sql_text, "INSERT INTO " + table + "T (ID, When, Value) VALUES");
  BrowseDatabase(1, lists);
  EXPECT_THAT(lists.tables, ::testing::Contains(table));
  admin->Execute("DROP TABLE " + QuoteName(table + "T"), {});
}

TEST_P(LoggingTest, AMissingTableIsLoggedOnceAndTheNextGoodWriteSucceeds) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  admin->Execute("DROP TABLE " + QuoteName(table), {});
  for (double v : {20.0, 20.1, 20.2}) db().LogValue("940000000001E228M", v);
  auto errors = Errors();
  ASSERT_EQ(errors.size(), 2u) << "one outage, one report";
  EXPECT_THAT(errors[0], HasSubstr(" ROM=940000000001E228M 20"));
  EXPECT_THAT(errors[1], HasSubstr("SQL = INSERT INTO " + table));
  EXPECT_EQ(db().LostReadings(), 3);

  CreateReadingsTable(*admin, table, Plugin().settings.Fields);
  db().LogValue("940000000001E228M", 20.3);
  EXPECT_EQ(RowCount(), 2);  // the reading, and the row without a value marking the lost ones
  EXPECT_THAT(host->LogTexts("1-Wire DB Update"),
              ElementsAre(HasSubstr("3 reading(s) could not be written")));
}

TEST_P(LoggingTest, ABusNameKeepsRowsApartAndRenamesMoveThemAllOrNone) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  Store().Set("Settings", "BusName", " Upper ");
  db().LogValue("940000000001E228M", 21.5);
  db().LogValue("940000000001E228M", 21.6);
  Store().Set("Settings", "BusName", "");
  db().LogValue("940000000001E228M", 19.0);  // another program's kitchen, without a bus name
  EXPECT_EQ(ResolveChartName("Kitchen Temp"), "940000000001E228M");
  Store().Set("Settings", "BusName", "Upper");
  EXPECT_EQ(ResolveChartName("Upper Kitchen Temp"), "940000000001E228M");
  EXPECT_EQ(ResolveChartName("Kitchen Temp"), "Kitchen Temp");  // not one of this bus's

  EXPECT_EQ(db().RenameRows({{"Upper Kitchen Temp", "Upper Cellar Temp"}, {"none", "x"}}), 2);
  std::map<std::string, int> by_id;
  for (auto rows = Rows(); !rows->Eof(); rows->MoveNext()) ++by_id[rows->Item(0).AsText()];
  EXPECT_EQ(by_id, (std::map<std::string, int>{{"Kitchen Temp", 1}, {"Upper Cellar Temp", 2}}));

  // A rename that fails takes back the ones before it.
  if (GetParam() == "SQLite") {
    admin->Execute(
        "CREATE TRIGGER refuse BEFORE UPDATE ON " + QuoteName(table) +
        " WHEN NEW.\"ROMAddress\" = 'refused' BEGIN SELECT RAISE(ABORT, 'refused'); END");
  } else {
    admin->Execute("ALTER TABLE " + QuoteName(table) +
                   " ADD CONSTRAINT refuse CHECK (\"ROMAddress\" <> 'refused')");
  }
  EXPECT_THROW(db().RenameRows({{"Upper Cellar Temp", "Attic"}, {"Kitchen Temp", "refused"}}),
               DatabaseError);
  by_id.clear();
  for (auto rows = Rows(); !rows->Eof(); rows->MoveNext()) ++by_id[rows->Item(0).AsText()];
  EXPECT_EQ(by_id, (std::map<std::string, int>{{"Kitchen Temp", 1}, {"Upper Cellar Temp", 2}}));
  // The connection is usable afterwards.
  db().LogValue("940000000001E228M", 22.0);
  EXPECT_EQ(RowCount(), 4);
}

// A database that fails again soon after it worked again (a disk at its limit) is one episode:
// one error, and one recovery at its end with every reading lost. Lost readings leave a row
// without a value where they are missing, so the charts and the history show the gap.
TEST_P(LoggingTest, AFailureThatComesBackIsOneEpisodeAndLostReadingsLeaveAGap) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  const std::string key = "940000000001E228M";
  auto recoveries = [&] { return host->LogTexts("1-Wire DB Update"); };
  admin->Execute("DROP TABLE " + QuoteName(table), {});
  db().LogValue(key, 20.0);
  clock.Advance(std::chrono::seconds(60));
  CreateReadingsTable(*admin, table, Plugin().settings.Fields);
  db().LogValue(key, 20.1);
  ASSERT_THAT(recoveries(), ElementsAre(HasSubstr("1 reading(s) could not be written")));

  // It fails again ten seconds later, and works again ten seconds after that.
  clock.Advance(std::chrono::seconds(10));
  admin->Execute("DROP TABLE " + QuoteName(table), {});
  db().LogValue(key, 20.2);
  const auto lost_at = clock.Now();
  clock.Advance(std::chrono::seconds(10));
  CreateReadingsTable(*admin, table, Plugin().settings.Fields);
  db().LogValue(key, 20.3);
  EXPECT_EQ(Errors().size(), 2u) << "the relapse is part of the first episode";
  EXPECT_EQ(recoveries().size(), 1u) << "its end is not known yet";
  clock.Advance(std::chrono::seconds(DatabaseLogging::kEpisodeSeconds));
  db().LogValue(key, 20.4);
  EXPECT_THAT(recoveries(), ElementsAre(HasSubstr("1 reading(s)"), HasSubstr("1 reading(s)")));
  EXPECT_EQ(db().LostReadings(), 0);

  auto rows = Rows();
  ASSERT_EQ(rows->RecordCount(), 3);
  rows->MoveFirst();
  EXPECT_TRUE(rows->Item(2).IsNull());
  EXPECT_EQ(
      std::chrono::time_point_cast<std::chrono::seconds>(std::get<DbTime>(rows->Item(1).Value)),
      std::chrono::time_point_cast<std::chrono::seconds>(lost_at));
  rows->MoveNext();
  EXPECT_EQ(rows->Item(2).AsDouble(), 20.3);
}

TEST_P(LoggingTest, AnUnreachableDatabaseIsNotRetriedReadingByReading) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  Plugin().settings.Database =
      GetParam() == "SQLite" ? "Provider=SQLite;Data Source=" + (dir.path() / "gone.db").string()
                             : "Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User ID=x";
  db().LogValue("940000000001E228M", 20.0);
  db().LogValue("940000000001E228M", 20.1);
  EXPECT_EQ(Errors().size(), 2u);
  // Back with the right connection string, but still inside the wait after the failed open.
  Plugin().settings.Database = connection_string;
  clock.Advance(std::chrono::seconds(DatabaseLogging::kRetrySeconds + 1));
  db().LogValue("940000000001E228M", 20.2);
  EXPECT_EQ(RowCount(), 2);  // the reading, and the row without a value marking the lost ones
  EXPECT_EQ(db().LostReadings(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, LoggingTest, ::testing::Values("SQLite", "PostgreSQL"),
                         EngineName);

// A PostgreSQL server that drops the plug-in's kept connection (restarted, or the link went
// down): the failure is logged, the next reading connects again without a restart.
class PostgresLoggingTest : public LoggingTest {};

TEST_P(PostgresLoggingTest, ALostConnectionIsReplacedAtTheNextReading) {
  Plugin().settings.chkDBKeepOpen = true;
  Channel("940000000001E228M", "Kitchen", "Temp");
  db().LogValue("940000000001E228M", 20.0);
  // Only this test's connection goes: the other tests share the server and run alongside.
  const int64_t pid =
      static_cast<int64_t>(db().Connect()->Execute("SELECT pg_backend_pid()")->Item(0).AsDouble());
  admin->Execute("SELECT pg_terminate_backend($1)", {pid});
  db().LogValue("940000000001E228M", 20.1);
  db().LogValue("940000000001E228M", 20.2);
  EXPECT_EQ(RowCount(), 3);  // 20.0, the row marking where 20.1 was lost, 20.2
  EXPECT_EQ(Errors().size(), 2u);
  EXPECT_THAT(host->LogTexts("1-Wire DB Update"),
              ElementsAre(HasSubstr("1 reading(s) could not be written")));
}

// Without keep-open, readings do not each cost a server connection: the released connection is
// pooled and taken again, its INSERT prepared once; one the server dropped while it waited is
// replaced at once and the reading written, nothing lost.
TEST_P(PostgresLoggingTest, WithoutKeepOpenTheConnectionIsPooledAndItsInsertPreparedOnce) {
  Channel("940000000001E228M", "Kitchen", "Temp");
  auto backend = [&] {
    const auto pid = db().Connect()->Execute("SELECT pg_backend_pid()")->Item(0).AsDouble();
    db().Release();
    return static_cast<int64_t>(pid);
  };
  auto prepared_inserts = [&] {
    const auto n = db().Connect()
                       ->Execute(
                           "SELECT count(*) FROM pg_prepared_statements WHERE statement "
                           "LIKE 'INSERT INTO %'")
                       ->Item(0)
                       .AsDouble();
    db().Release();
    return n;
  };
  db().LogValue("940000000001E228M", 20.0);
  const int64_t first = backend();
  for (double v : {20.1, 20.2, 20.3}) db().LogValue("940000000001E228M", v);
  EXPECT_EQ(backend(), first);
  EXPECT_EQ(prepared_inserts(), 1);

  admin->Execute("SELECT pg_terminate_backend($1)", {first});
  db().LogValue("940000000001E228M", 20.4);
  EXPECT_NE(backend(), first);
  EXPECT_EQ(RowCount(), 5);
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ(prepared_inserts(), 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, PostgresLoggingTest, ::testing::Values("PostgreSQL"), EngineName);

// SQLite on a file system that fills up (a tiny tmpfs; needs root to mount it).
TEST(SqliteFullDisk, AFullDiskIsLoggedAndWritingResumesWhenThereIsRoom) {
  TempDir dir;
  const auto mnt = dir.path() / "tiny";
  std::filesystem::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=96k") != 0)
    GTEST_SKIP() << "SKIPPED: cannot mount a tmpfs here (needs root): " << std::strerror(errno);
  struct Unmount {
    std::filesystem::path p;
    ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
  } unmount{mnt};

  auto host = std::make_shared<TestHost>();
  SimulatedClock clock;
  HeadlessEventLoop loop{clock};
  IniSettingsStore store;
  ResetPluginState();
  Plugin().services = PluginServices{&store, nullptr, &loop, &clock};
  Plugin().host = host;
  ResetRegistry();
  ResetReadingsDatabase();
  const auto file = (mnt / "1WireTemps.db").string();
  ASSERT_EQ(CreateSqliteReadingsDatabase(file, "T_Temps", Plugin().settings.Fields), "");
  Plugin().settings.Database = "Provider=SQLite;Data Source=" + file;
  Plugin().settings.DeviceIDByName = false;
  // Fills the rest of the file system.
  const auto filler = mnt / "filler";
  WriteFile(filler, std::string(200 * 1024, 'x'));

  auto db = ReadingsDatabase();
  int written = 0;
  for (int i = 0; i < 2000 && db->LostReadings() == 0; ++i) {
    clock.Advance(std::chrono::seconds(60));
    db->LogValue("940000000001E228M", 20 + i % 7);
    ++written;
  }
  EXPECT_GT(db->LostReadings(), 0) << "the disk never filled";
  db->LogValue("940000000001E228M", 30);
  EXPECT_EQ(host->LogTexts("1-Wire Error (Log Value)").size(), 2u);

  std::filesystem::remove(filler);
  db->LogValue("940000000001E228M", 31);
  EXPECT_EQ(db->LostReadings(), 0);
  auto check = OpenDatabase(Plugin().settings.Database);
  auto rows = check->Execute("SELECT COUNT(*), COUNT(\"Temp\") FROM \"T_Temps\"", {});
  // The rows written before the disk filled, 31, and the row without a value marking the gap.
  EXPECT_EQ(rows->Item(0).AsDouble(), written + 1);
  EXPECT_EQ(rows->Item(1).AsDouble(), written);
  check->Close();
  db->CloseConnection();
  ResetReadingsDatabase();
  ResetPluginState();
}

}  // namespace
}  // namespace qb::test

namespace qb::test {
namespace {

class OldDatabaseSetting : public PluginTest {};

TEST_F(OldDatabaseSetting, AJetDatabaseOrTheOldPathIsReplacedByTheDefaultWithALogLine) {
  ConnectHost();
  host->app_path = "/srv/host";
  for (const char* old : {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\x\\1WireTemps.mdb",
                          "C:\\Program Files\\Hearthmoor\\1WireTemps.mdb", ""}) {
    store.Set("Settings", "Database", old);
    host->log.clear();
    LoadProcessSettings();
    EXPECT_EQ(Plugin().settings.Database, "Provider=SQLite;Data Source=/srv/host/1WireTemps.db");
    EXPECT_EQ(host->LogTexts("1-Wire I/F").size(), std::string(old).empty() ? 0u : 1u) << old;
  }
  store.Set("Settings", "Database", "Provider=PostgreSQL;Host=db");
  LoadProcessSettings();
  EXPECT_EQ(Plugin().settings.Database, "Provider=PostgreSQL;Host=db");
}

}  // namespace
}  // namespace qb::test
