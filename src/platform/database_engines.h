#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/database.h"

// What the engines of the database layer share; not for callers of the layer.
namespace qb {

std::unique_ptr<Connection> MakeSqliteConnection();
// Null when the build has no PostgreSQL client library.
std::unique_ptr<Connection> MakePostgresConnection();

// A date and time as the engines store and bind it: "YYYY-MM-DD hh:mm:ss" in UTC. Fixed width,
// so text order is time order.
std::string UtcTimestampText(DbTime when);
// Reads "YYYY-MM-DD hh:mm:ss" with an optional fraction and an optional UTC offset ("+01",
// "-05:30", "Z"; none means UTC); nothing when the text is not such a time.
std::optional<DbTime> ParseTimestampText(const std::string& text);

}  // namespace qb
