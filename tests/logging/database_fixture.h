#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "core/plugin_state.h"
#include "logging/database_logging.h"
#include "logging/readings_table.h"
#include "platform/database.h"
#include "registry/records.h"
#include "support/plugin_fixture.h"
#include "support/temp_dir.h"

namespace qb::test {

// The PostgreSQL server the tests use: a connection string in QB_TEST_POSTGRES (test.sh starts a
// throwaway server and sets it). Without one the PostgreSQL cases are skipped and say so, unless
// QB_REQUIRE_POSTGRES=1 (as on CI), when they fail.
inline std::string PostgresUnderTest() {
  const char* cs = std::getenv("QB_TEST_POSTGRES");
  return cs ? cs : "";
}

// A plug-in with a readings database on the engine the test is instantiated for: SQLite in a
// temporary file, or a table of its own on the PostgreSQL test server. Settings point at it.
class DatabaseTest : public PluginTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    ConnectHost();
    ResetRegistry();
    ResetReadingsDatabase();
    Settings& s = Plugin().settings;
    s.chkDBKeepOpen = false;
    s.DebugLevel = 1;
    if (GetParam() == "SQLite") {
      connection_string = "Provider=SQLite;Data Source=" + (dir.path() / "1WireTemps.db").string();
      s.Table = "T_Temps";
    } else {
      connection_string = PostgresUnderTest();
      if (connection_string.empty()) {
        if (const char* need = std::getenv("QB_REQUIRE_POSTGRES"); need && std::string(need) == "1")
          FAIL() << "QB_REQUIRE_POSTGRES=1 but QB_TEST_POSTGRES names no server";
        GTEST_SKIP() << "SKIPPED: no PostgreSQL server for this test: set QB_TEST_POSTGRES to a "
                        "connection string (test.sh starts one)";
      }
      static std::atomic<int> serial{0};
      s.Table = "T_Temps_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
    }
    s.Database = connection_string;
    table = s.Table;
    if (GetParam() == "SQLite") {
      ASSERT_EQ(
          CreateSqliteReadingsDatabase((dir.path() / "1WireTemps.db").string(), table, s.Fields),
          "");
    } else {
      auto c = OpenDatabase(connection_string);
      CreateReadingsTable(*c, table, s.Fields);
    }
    admin = OpenDatabase(connection_string);
  }

  void TearDown() override {
    ReadingsDatabase()->CloseConnection();
    if (admin && GetParam() != "SQLite") {
      try {
        admin->Execute("DROP TABLE IF EXISTS " + QuoteName(table), {});
      } catch (...) {
      }
    }
    if (admin) admin->Close();
    ResetReadingsDatabase();
    ResetRegistry();
  }

  // A channel record with a host location and name (the registry creates it).
  std::shared_ptr<DSDevice> Channel(const std::string& key, const std::string& location,
                                    const std::string& name) {
    auto d = gROMs().FindDev(key);
    d->HSLocation = location;
    d->HSName = name;
    return d;
  }

  // Every row of the readings table, oldest first.
  std::shared_ptr<RecordSet> Rows() {
    return admin->Execute("SELECT \"ROMAddress\", \"DTime\", \"Temp\" FROM " + QuoteName(table) +
                              " ORDER BY \"DTime\"",
                          {});
  }
  int64_t RowCount() { return Rows()->RecordCount(); }

  // Moves the simulated clock to a UTC date and time ("2026-12-31 23:59:59").
  void SetTime(const std::string& utc) {
    std::tm tm{};
    strptime(utc.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    clock.SetWallTime(std::chrono::system_clock::from_time_t(timegm(&tm)));
  }

  TempDir dir;
  std::string connection_string;
  std::string table;
  std::shared_ptr<Connection> admin;
};

inline std::string EngineName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

}  // namespace qb::test
