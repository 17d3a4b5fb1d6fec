#pragma once

#include <array>
#include <string>

#include "platform/database.h"

namespace qb {

// The statements that create a readings table with its three columns (identifier text, date and
// time in the engine's own type, reading as a double) and its index on (identifier, date and
// time), for the connection's engine. The README shows the PostgreSQL ones.
std::array<std::string, 2> ReadingsTableStatements(const std::string& engine,
                                                   const std::string& table,
                                                   const std::array<std::string, 3>& columns);

// Runs them on an open connection; throws DatabaseError.
void CreateReadingsTable(Connection& connection, const std::string& table,
                         const std::array<std::string, 3>& columns);

// Creates the SQLite database file `path` holding an empty readings table, unless the file exists.
// The file appears complete or not at all (built beside it, then renamed). Returns an empty text
// or what went wrong.
std::string CreateSqliteReadingsDatabase(const std::string& path, const std::string& table,
                                         const std::array<std::string, 3>& columns);

}  // namespace qb
