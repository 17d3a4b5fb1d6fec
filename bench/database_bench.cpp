// The database logging's own cost, as ratios against the same work done directly on the engine:
//
// 1. Rows per second logged by LogValue (connection kept open, and the default of one connection
//    per reading) against a plain prepared INSERT loop, each row its own transaction in both.
// 2. TodaysHistory on a readings table of a year of 20 channels at one row a minute (10.5 million
//    rows) against the same SELECT run directly and read to the end.
// 3. The charts page's list of logged devices on that table: the walk along the index the page
//    uses against the GROUP BY over every row it used before.
//
// SQLite always; PostgreSQL when QB_TEST_POSTGRES (or --postgres CS) names a server.
//   database_bench [--short] [--logging] [--postgres CONNECTION_STRING]
// --short (the test suite's run) uses a few hundred rows and a three-day table; --logging measures
// the logging rates (1.) only.
#include <sqlite3.h>
#ifdef QB_WITH_POSTGRESQL
#include <libpq-fe.h>
#endif
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "core/plugin_state.h"
#include "logging/database_logging.h"
#include "logging/main_chart.h"
#include "logging/readings_table.h"
#include "logging/todays_history.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "registry/records.h"

namespace {

using namespace qb;
using Seconds = std::chrono::duration<double>;

constexpr int kChannels = 20;

double Time(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

std::string Key(int channel) {
  char rom[17];
  std::snprintf(rom, sizeof rom, "00%012X28", static_cast<unsigned>(channel + 1));
  return std::string(rom) + "M";
}

void Check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "database_bench: %s\n", what.c_str());
    std::exit(1);
  }
}

struct Engine {
  std::string name;
  std::string cs;
  // Creates an empty readings table; returns its name.
  std::function<void(const std::string& table)> create;
  // The plain loop: `rows` prepared INSERTs of (rom, time, value), each in its own transaction.
  std::function<void(const std::string& table, int rows, DbTime start)> plain_inserts;
  // Fills the table with `minutes` rows per channel, one a minute, ending at `end`.
  std::function<void(const std::string& table, int minutes, DbTime end)> fill;
  // The history's SELECT run directly, every row read; returns the row count.
  std::function<int(const std::string& table, const std::string& rom, DbTime from)> plain_select;
};

std::string UtcText(DbTime t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

Engine Sqlite(const std::string& path) {
  Engine e;
  e.name = "SQLite";
  e.cs = "Provider=SQLite;Data Source=" + path;
  auto open = [path] {
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "cannot open " + path);
    return db;
  };
  e.create = [path](const std::string& table) {
    std::filesystem::remove(path);
    Check(CreateSqliteReadingsDatabase(path, table, {"ROMAddress", "DTime", "Temp"}).empty(),
          "cannot create the SQLite database");
  };
  e.plain_inserts = [open](const std::string& table, int rows, DbTime start) {
    sqlite3* db = open();
    sqlite3_stmt* st = nullptr;
    const std::string sql = "INSERT INTO \"" + table + "\" VALUES (?, ?, ?)";
    Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
    for (int i = 0; i < rows; ++i) {
      const std::string rom = Key(i % kChannels).substr(0, 16);
      const std::string t = UtcText(start + std::chrono::seconds(i));
      sqlite3_bind_text(st, 1, rom.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 2, t.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(st, 3, 20 + i % 50 * 0.1);
      Check(sqlite3_step(st) == SQLITE_DONE, sqlite3_errmsg(db));
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
  };
  e.fill = [open](const std::string& table, int minutes, DbTime end) {
    sqlite3* db = open();
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt* st = nullptr;
    const std::string sql = "INSERT INTO \"" + table + "\" VALUES (?, ?, ?)";
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    for (int m = minutes - 1; m >= 0; --m) {
      const std::string t = UtcText(end - std::chrono::minutes(m));
      for (int c = 0; c < kChannels; ++c) {
        const std::string rom = Key(c).substr(0, 16);
        sqlite3_bind_text(st, 1, rom.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, t.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(st, 3, 15 + (m + c) % 100 * 0.1);
        Check(sqlite3_step(st) == SQLITE_DONE, sqlite3_errmsg(db));
        sqlite3_reset(st);
      }
    }
    sqlite3_finalize(st);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
    sqlite3_close(db);
  };
  e.plain_select = [open](const std::string& table, const std::string& rom, DbTime from) {
    sqlite3* db = open();
    sqlite3_stmt* st = nullptr;
    const std::string sql =
        "SELECT \"DTime\", \"ROMAddress\", \"Temp\" FROM \"" + table +
        "\" WHERE \"ROMAddress\" = ? AND \"DTime\" >= ? ORDER BY \"DTime\" DESC";
    Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK, sqlite3_errmsg(db));
    const std::string t = UtcText(from);
    sqlite3_bind_text(st, 1, rom.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, t.c_str(), -1, SQLITE_TRANSIENT);
    int rows = 0;
    double sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      ++rows;
      sum += sqlite3_column_double(st, 2);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows + (sum < 0 ? 1 : 0);
  };
  return e;
}

#ifdef QB_WITH_POSTGRESQL
Engine Postgres(const std::string& cs) {
  Engine e;
  e.name = "PostgreSQL";
  e.cs = cs;
  // libpq's own connection, from the same keys our layer reads.
  auto open = [cs] {
    const auto keys = ParseConnectionString(cs);
    std::string info;
    auto add = [&](const char* key, const char* pq) {
      if (auto it = keys.find(key); it != keys.end())
        info += std::string(pq) + "='" + it->second + "' ";
    };
    add("HOST", "host");
    add("PORT", "port");
    add("DATABASE", "dbname");
    add("USER ID", "user");
    add("PASSWORD", "password");
    PGconn* c =
        PQconnectdb((info + "options='-c TimeZone=UTC -c client_min_messages=warning'").c_str());
    Check(PQstatus(c) == CONNECTION_OK, PQerrorMessage(c));
    return c;
  };
  auto exec = [](PGconn* c, const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    const auto s = PQresultStatus(r);
    Check(s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK, PQerrorMessage(c));
    PQclear(r);
  };
  e.create = [cs, open, exec](const std::string& table) {
    PGconn* c = open();
    exec(c, "DROP TABLE IF EXISTS \"" + table + "\"");
    PQfinish(c);
    auto db = OpenDatabase(cs);
    CreateReadingsTable(*db, table, {"ROMAddress", "DTime", "Temp"});
  };
  e.plain_inserts = [open](const std::string& table, int rows, DbTime start) {
    PGconn* c = open();
    PGresult* p = PQprepare(c, "ins", ("INSERT INTO \"" + table + "\" VALUES ($1, $2, $3)").c_str(),
                            3, nullptr);
    Check(PQresultStatus(p) == PGRES_COMMAND_OK, PQerrorMessage(c));
    PQclear(p);
    for (int i = 0; i < rows; ++i) {
      const std::string rom = Key(i % kChannels).substr(0, 16);
      const std::string t = UtcText(start + std::chrono::seconds(i)) + "+00";
      const std::string v = std::to_string(20 + i % 50 * 0.1);
      const char* values[] = {rom.c_str(), t.c_str(), v.c_str()};
      PGresult* r = PQexecPrepared(c, "ins", 3, values, nullptr, nullptr, 0);
      Check(PQresultStatus(r) == PGRES_COMMAND_OK, PQerrorMessage(c));
      PQclear(r);
    }
    PQfinish(c);
  };
  e.fill = [open, exec](const std::string& table, int minutes, DbTime end) {
    PGconn* c = open();
    const std::string end_text = UtcText(end) + "+00";
    exec(c, "INSERT INTO \"" + table +
                "\" SELECT '00' || lpad(upper(to_hex(ch + 1)), 12, '0') || '28', '" + end_text +
                "'::timestamptz - m * interval '1 minute', 15 + ((m + ch) % 100) * 0.1 "
                "FROM generate_series(0, " +
                std::to_string(minutes - 1) + ") AS m, generate_series(0, " +
                std::to_string(kChannels - 1) + ") AS ch");
    exec(c, "ANALYZE \"" + table + "\"");
    PQfinish(c);
  };
  e.plain_select = [open](const std::string& table, const std::string& rom, DbTime from) {
    PGconn* c = open();
    const std::string t = UtcText(from) + "+00";
    const char* values[] = {rom.c_str(), t.c_str()};
    const std::string sql =
        "SELECT \"DTime\", \"ROMAddress\", \"Temp\" FROM \"" + table +
        "\" WHERE \"ROMAddress\" = $1 AND \"DTime\" >= $2 ORDER BY \"DTime\" DESC";
    PGresult* r = PQexecParams(c, sql.c_str(), 2, nullptr, values, nullptr, nullptr, 0);
    Check(PQresultStatus(r) == PGRES_TUPLES_OK, PQerrorMessage(c));
    const int rows = PQntuples(r);
    double sum = 0;
    for (int i = 0; i < rows; ++i) sum += std::atof(PQgetvalue(r, i, 2));
    PQclear(r);
    PQfinish(c);
    return rows + (sum < 0 ? 1 : 0);
  };
  return e;
}

#endif

void Run(Engine& e, bool short_run, bool logging_only, SimulatedClock& clock) {
  const std::string table = "T_Bench";
  Settings& s = Plugin().settings;
  s.Database = e.cs;
  s.Table = table;
  s.DeviceIDByName = false;
  s.DebugLevel = 0;
  const int rows = short_run ? 20 : (e.name == "SQLite" ? 3000 : 5000);

  // 1. Logging rate.
  e.create(table);
  const DbTime start = clock.Now();
  e.plain_inserts(table, rows / 10, start - std::chrono::hours(1));  // warms the engine up
  const double plain = Time([&] { e.plain_inserts(table, rows, start); });
  auto log_rows = [&](bool keep_open) {
    s.chkDBKeepOpen = keep_open;
    ResetReadingsDatabase();
    auto db = ReadingsDatabase();
    const double t = Time([&] {
      for (int i = 0; i < rows; ++i) {
        clock.Advance(std::chrono::seconds(1));
        db->LogValue(Key(i % kChannels), 20 + i % 50 * 0.1);
      }
    });
    Check(db->LostReadings() == 0, "readings were lost");
    db->CloseConnection();
    return t;
  };
  const double kept = log_rows(true);
  const double reopened = log_rows(false);
  std::printf(
      "%-10s logging %d rows: plain prepared INSERT %.0f rows/s, LogValue kept open %.0f "
      "rows/s (ratio %.2f), LogValue one connection per row %.0f rows/s (ratio %.2f)\n",
      e.name.c_str(), rows, rows / plain, rows / kept, kept / plain, rows / reopened,
      reopened / plain);

  if (logging_only) return;

  // 2. Today's history on a year (or, short, three days) of 20 channels.
  const int minutes = short_run ? 3 * 1440 : 365 * 1440;
  e.create(table);
  std::tm tm{};
  const std::time_t now = std::chrono::system_clock::to_time_t(clock.Now());
  localtime_r(&now, &tm);
  tm.tm_hour = 23;
  tm.tm_min = 59;
  tm.tm_sec = 0;
  const DbTime end = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  clock.SetWallTime(end);
  const double filled = Time([&] { e.fill(table, minutes, end); });
  tm.tm_hour = 0;
  tm.tm_min = 0;
  const DbTime midnight = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  DSDevice record;
  record.ROM = Key(7);
  ResetReadingsDatabase();
  s.chkDBKeepOpen = false;  // the default: the history opens its own connection, as the direct run
  const int repeats = short_run ? 2 : 20;
  size_t html = 0;
  const double ours = Time([&] {
    for (int i = 0; i < repeats; ++i) html += TodaysHistory(record, "ºC").size();
  });
  int direct_rows = 0;
  const double direct = Time([&] {
    for (int i = 0; i < repeats; ++i)
      direct_rows = e.plain_select(table, Key(7).substr(0, 16), midnight);
  });
  Check(direct_rows == 1440 && html > 1440 * 50, "the history did not find today's 1440 rows");
  std::printf(
      "%-10s history of %d rows today in a table of %d rows (filled in %.1f s): "
      "TodaysHistory %.2f ms, the query alone %.2f ms, ratio %.2f\n",
      e.name.c_str(), direct_rows, minutes * kChannels, filled, ours / repeats * 1e3,
      direct / repeats * 1e3, ours / direct);

  // The charts page's list of logged devices, on every load of the page: the former GROUP BY,
  // which reads every row, against the walk along the index.
  {
    auto db = OpenDatabase(e.cs);
    auto count = [&](const std::string& sql) {
      auto rs = db->Execute(sql, {});
      int n = 0;
      for (rs->MoveFirst(); !rs->Eof(); rs->MoveNext()) ++n;
      return n;
    };
    const std::string t = "\"" + table + "\"";
    const std::string grouped =
        "SELECT MIN(\"DTime\") AS \"First\", \"ROMAddress\", MAX(\"DTime\") "
        "AS \"Last\" FROM " +
        t + " GROUP BY \"ROMAddress\" ORDER BY MIN(\"DTime\")";
    const std::string walked = ChartDevicesSql(table, "ROMAddress", "DTime");
    int grouped_n = 0, walked_n = 0;
    const double before = Time([&] { grouped_n = count(grouped); });
    const double after = Time([&] {
      for (int i = 0; i < repeats; ++i) walked_n = count(walked);
    });
    Check(grouped_n == kChannels && walked_n == kChannels,
          "the charts device list did not find every channel");
    std::printf(
        "%-10s charts device list of %d channels in a table of %d rows: GROUP BY %.1f ms, index "
        "walk %.2f ms, ratio %.0f\n",
        e.name.c_str(), walked_n, minutes * kChannels, before * 1e3, after / repeats * 1e3,
        before / (after / repeats));
    if (e.name == "PostgreSQL") db->Execute("DROP TABLE " + t, {});
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool short_run = false;
  bool logging_only = false;  // the logging rates only, without the year-long history table
  std::string postgres = std::getenv("QB_TEST_POSTGRES") ? std::getenv("QB_TEST_POSTGRES") : "";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--short") == 0)
      short_run = true;
    else if (std::strcmp(argv[i], "--logging") == 0)
      logging_only = true;
    else if (std::strcmp(argv[i], "--postgres") == 0 && i + 1 < argc)
      postgres = argv[++i];
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "qb-dbbench-XXXXXX").string();
  const std::filesystem::path dir = mkdtemp(pattern.data());
  SimulatedClock clock(std::chrono::system_clock::now());
  HeadlessEventLoop loop(clock);
  IniSettingsStore store;
  ResetPluginState();
  Plugin().services = PluginServices{&store, nullptr, &loop, &clock};

  Engine sqlite = Sqlite((dir / "bench.db").string());
  Run(sqlite, short_run, logging_only, clock);
  if (postgres.empty()) {
    std::printf("PostgreSQL skipped: no server (set QB_TEST_POSTGRES or pass --postgres)\n");
  } else {
#ifdef QB_WITH_POSTGRESQL
    Engine pg = Postgres(postgres);
    Run(pg, short_run, logging_only, clock);
#else
    std::printf("PostgreSQL skipped: built without it\n");
#endif
  }
  ResetReadingsDatabase();
  ResetPluginState();
  std::filesystem::remove_all(dir);
  return 0;
}
