#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/plugin_parts.h"
#include "platform/clock.h"
#include "platform/database.h"

namespace qb {

// "mmm dd yyyy hh:nn:ss" in local time with English month names ("Dec 06 2026 16:05:09"): how
// dates appear in the SQL shown in the log and on the pages.
std::string LogTimeText(DbTime when);

// "'" when the upper-cased connection string contains "SQL", else "#": the date delimiter of the
// SQL text shown in the log.
std::string DateDelimiter(const std::string& connection_string);

// "INSERT INTO {table} ({c0}, {c1}, {c2}) VALUES": the statement's start as the settings show it.
std::string BuildInsertPrefix(const std::string& table, const std::array<std::string, 3>& columns);

// The readings database: the one connection shared by the logging, the history and the charts,
// and the logging of readings. Table, columns, connection string, keep-open and identification
// come from the plug-in's settings at each call, so applied settings take effect at once.
//
// Statements run with bound parameters and quoted names; the text logged as "SQL = ..." is the
// classic form with the values written in, for a person to read. Dates are stored in the engine's
// own date-and-time type.
//
// When the database fails (down, unreachable, locked, full, table missing) the failure is logged
// once with its SQL, not once per reading; the readings lost meanwhile are counted and reported
// when writing works again. A database that fails again within kEpisodeSeconds of working again
// (a disk at its limit frees and fills by turns) is still the same episode: the relapse is not
// logged, and its recovery is reported once writes have worked for kEpisodeSeconds, with every
// reading lost since the episode began.
//
// Where a channel's readings were lost, the history shows a gap: before the channel's next row is
// written, a row without a value (NULL) is written at the time of its first lost reading. The
// charts break the channel's line there, and the history lists that time with an empty value. After
// a failed open the database is not tried again for kRetrySeconds, so an unreachable server cannot
// hold up polling reading after reading.
//
// Without keep-open, a PostgreSQL connection released after an operation is kept idle for up to
// kPoolIdleSeconds and taken again by the next operation (as a connection pool does), so a reading
// does not cost a new server connection; SQLite files are closed at once, as opening one is cheap.
// A pooled connection that the server dropped meanwhile is replaced at once, the reading retried.
class DatabaseLogging : public ValueLog {
 public:
  static constexpr int kRetrySeconds = 15;
  static constexpr int kPoolIdleSeconds = 60;
  static constexpr int kEpisodeSeconds = 60;

  ~DatabaseLogging() override;

  // Appends one reading of the channel with this key. Temperature channels (key ending in "M")
  // reading exactly 85 or 0 are not written; nor is anything with an empty connection string.
  void LogValue(const std::string& key, double value) override;
  // Renames identifiers in the readings table in one transaction (rolled back on any failure).
  int64_t RenameRows(const std::vector<std::pair<std::string, std::string>>& renames) override;

  // The shared connection, opened when it is closed (or was lost, or the connection string
  // changed). Throws DatabaseError, at once while a failed open waits for its retry time.
  std::shared_ptr<Connection> Connect();
  // Ends an operation on the shared connection: releases it unless keep-open is set (closed, or
  // for PostgreSQL kept idle in the pool).
  void Release();
  // Closes and releases the connection and the pooled one whatever keep-open says (shut-down).
  void CloseConnection();
  // Whether an operation holds the connection (a pooled idle one does not count).
  bool HasConnection() const { return connection_ != nullptr; }
  // Whether an idle connection waits in the pool.
  bool HasPooledConnection() const { return idle_ != nullptr; }

  // How a channel's rows are identified: the first 16 characters of the key when rows name
  // devices by address, else the channel's host location, a blank and its name. The lookup lets
  // events run.
  static std::string Identifier(const std::string& key);

  // The alarm thresholds the history colours readings against; the device page sets them.
  double low_threshold = 0;
  double high_threshold = 0;

  // Readings not written since the database began failing (0 once its recovery is reported).
  int64_t LostReadings() const { return lost_; }
  // Rows written and rows that could not be written since the program started.
  int64_t RowsWritten() const { return rows_written_; }
  int64_t RowsFailed() const { return rows_failed_; }

 private:
  void Failed(const std::string& key, const std::string& identifier, DbTime when, double value,
              const std::string& sql, const std::exception& error);
  // After a write that worked: reports the recovery when one is due.
  void Succeeded();

  void DropConnection();

  std::shared_ptr<Connection> connection_;
  std::string opened_with_;
  bool from_pool_ = false;  // connection_ was taken from the pool
  std::shared_ptr<Connection> idle_;
  std::string idle_with_;
  Clock::Monotonic idle_since_{};
  std::optional<Clock::Monotonic> retry_after_;
  std::string last_open_error_;
  int32_t last_open_number_ = 0;
  std::string failure_;  // the error being reported; empty while writes work
  int64_t lost_ = 0;
  // When the last recovery was reported: a failure within kEpisodeSeconds is a relapse.
  std::optional<Clock::Monotonic> recovered_at_;
  bool relapsed_ = false;
  // Since when writes have worked again after a relapse.
  std::optional<Clock::Monotonic> working_since_;
  // The time of each identifier's first lost reading, where its gap row goes.
  std::map<std::string, DbTime> gaps_;
  int64_t rows_written_ = 0;
  int64_t rows_failed_ = 0;
};

// The process's readings database (created on first use).
std::shared_ptr<DatabaseLogging> ReadingsDatabase();
// A fresh one (tests).
void ResetReadingsDatabase();

}  // namespace qb
