#include "logging/readings_table.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace qb {

std::array<std::string, 2> ReadingsTableStatements(const std::string& engine,
                                                   const std::string& table,
                                                   const std::array<std::string, 3>& columns) {
  const bool postgres = engine == "PostgreSQL";
  return {"CREATE TABLE " + QuoteName(table) + " (" + QuoteName(columns[0]) + " " +
              (postgres ? "text" : "TEXT") + ", " + QuoteName(columns[1]) + " " +
              (postgres ? "timestamptz" : "DATETIME") + ", " + QuoteName(columns[2]) + " " +
              (postgres ? "double precision" : "DOUBLE") + ")",
          "CREATE INDEX " + QuoteName(table + "_" + columns[0] + "_" + columns[1]) + " ON " +
              QuoteName(table) + " (" + QuoteName(columns[0]) + ", " + QuoteName(columns[1]) + ")"};
}

void CreateReadingsTable(Connection& connection, const std::string& table,
                         const std::array<std::string, 3>& columns) {
  for (const auto& sql : ReadingsTableStatements(connection.Engine(), table, columns))
    connection.Execute(sql, {});
}

std::string CreateSqliteReadingsDatabase(const std::string& path, const std::string& table,
                                         const std::array<std::string, 3>& columns) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(path, ec)) return {};
  const std::string building = path + ".new-" + std::to_string(::getpid());
  try {
    // An empty file is an empty SQLite database.
    if (!std::ofstream(building, std::ios::binary | std::ios::trunc))
      return "cannot create " + building;
    {
      auto connection = OpenDatabase("Provider=SQLite;Data Source=" + building);
      CreateReadingsTable(*connection, table, columns);
      connection->Close();
    }
    fs::rename(building, path);
    return {};
  } catch (const std::exception& e) {
    fs::remove(building, ec);
    return e.what();
  }
}

}  // namespace qb
