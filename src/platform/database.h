#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace qb {

// The database layer: a connection to a relational database, named by a `Key=Value;` connection
// string ("Provider=SQLite;Data Source=PATH" or "Provider=PostgreSQL;Host=...;Port=...;
// Database=...;User ID=...;Password=..."), that runs SQL with bound parameters and hands back
// result sets. Column kinds are reported with the type numbers the logging and the pages test.
namespace field_type {
inline constexpr int32_t kEmpty = 0;        // no value of a known kind (NULL in a computed column)
inline constexpr int32_t kInteger = 3;      // whole number
inline constexpr int32_t kDouble = 5;       // floating point
inline constexpr int32_t kDate = 7;         // date
inline constexpr int32_t kChar = 129;       // fixed-width text
inline constexpr int32_t kTimestamp = 135;  // date and time
inline constexpr int32_t kText = 202;       // variable-width text
}  // namespace field_type

// A date and time: a point in time. Engines store it in their own date-and-time type.
using DbTime = std::chrono::system_clock::time_point;

// One value: NULL, a whole number, a floating-point number, a text or a date and time.
using DbValue = std::variant<std::monostate, int64_t, double, std::string, DbTime>;

// A failure of the database or of a statement. `number` is the engine's error code (SQLite's
// extended result code; for PostgreSQL the generic -2147467259); what() is the engine's message.
class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(int32_t number, const std::string& message)
      : std::runtime_error(message), number_(number) {}
  int32_t number() const { return number_; }

 private:
  int32_t number_;
};

// One column of the current row of a result set.
struct Field {
  std::string Name;
  int32_t Type = field_type::kEmpty;  // the column's kind (field_type)
  DbValue Value;

  bool IsNull() const { return std::holds_alternative<std::monostate>(Value); }
  // The value as a number: whole numbers and texts that hold a number convert, anything else is 0.
  double AsDouble() const;
  // The value as text: numbers in plain form, dates "YYYY-MM-DD hh:mm:ss" in local time.
  std::string AsText() const;
};

// The rows a statement returned, read into memory when the statement ran: it stays valid after the
// connection is closed or lost, and whatever runs meanwhile cannot invalidate it.
class RecordSet {
 public:
  RecordSet() = default;
  RecordSet(std::vector<std::string> names, std::vector<int32_t> types,
            std::vector<std::vector<DbValue>> rows);

  // Past the last row (true at once for an empty set).
  bool Eof() const { return closed_ || position_ >= rows_.size(); }
  // Before the first row: true only for an empty set, as rows start at the first one.
  bool Bof() const { return closed_ || rows_.empty(); }
  void MoveFirst() { position_ = 0; }
  void MoveNext() {
    if (position_ < rows_.size()) ++position_;
  }
  int32_t FieldCount() const { return static_cast<int32_t>(names_.size()); }
  // A column's name and kind, known even when the set has no rows.
  const std::string& ColumnName(int32_t position) const { return names_.at(position); }
  int32_t ColumnType(int32_t position) const { return types_.at(position); }
  int64_t RecordCount() const { return static_cast<int64_t>(rows_.size()); }
  // The field at a column position of the current row; throws DatabaseError at EOF or for a
  // position out of range.
  Field Item(int32_t position) const;
  // The column position of a name (case-insensitive), -1 when there is none.
  int32_t FindField(const std::string& name) const;
  void Close() { closed_ = true; }
  // Changes the value of one column in every row (a reading shown in another unit); NULLs stay.
  template <typename Change>
  void ChangeColumn(int32_t position, Change change) {
    if (position < 0 || position >= FieldCount()) return;
    for (auto& row : rows_) {
      DbValue& v = row[static_cast<size_t>(position)];
      if (!std::holds_alternative<std::monostate>(v)) v = change(v);
    }
  }

 private:
  std::vector<std::string> names_;
  std::vector<int32_t> types_;
  std::vector<std::vector<DbValue>> rows_;
  size_t position_ = 0;
  bool closed_ = false;
};

// A table or view of the database, as the table list gives it.
struct TableInfo {
  std::string Name;
  std::string Type;  // "TABLE", "VIEW" or "SYSTEM TABLE"
};

// A column of a table, in table order.
struct ColumnInfo {
  std::string Name;
  int32_t Type = field_type::kEmpty;
};

// A connection to one database. Not thread-safe: the plug-in thread uses it.
class Connection {
 public:
  virtual ~Connection() = default;
  // 0 closed, 1 open. A connection whose server went away reads as closed, so the next use opens
  // it again.
  virtual int32_t State() const = 0;
  // Opens the database named by the connection string; throws DatabaseError.
  virtual void Open(const std::string& connection_string) = 0;
  // Runs one statement. Parameters are written $1, $2, ... in the SQL text and bound in order;
  // names are quoted with QuoteName. Returns the rows (an empty set for statements without rows);
  // throws DatabaseError.
  virtual std::shared_ptr<RecordSet> Execute(const std::string& sql,
                                             const std::vector<DbValue>& params = {}) = 0;
  // The tables and views, in name order.
  virtual std::vector<TableInfo> Tables() = 0;
  // A table's columns with their kinds; throws DatabaseError when the table does not exist.
  virtual std::vector<ColumnInfo> Columns(const std::string& table) = 0;
  virtual void Close() = 0;
  // "SQLite" or "PostgreSQL".
  virtual std::string Engine() const = 0;
};

// The keys and values of a connection string; keys upper-cased, values trimmed.
std::map<std::string, std::string> ParseConnectionString(const std::string& connection_string);

// A closed connection of the engine the string's "Provider" names (SQLite when it names none but
// has a "Data Source"); throws DatabaseError for an engine this build does not have.
std::unique_ptr<Connection> CreateConnection(const std::string& connection_string);

// CreateConnection followed by Open.
std::shared_ptr<Connection> OpenDatabase(const std::string& connection_string);

// A table or column name quoted for every engine: "name", inner quotes doubled.
std::string QuoteName(const std::string& name);

// A date and time as the day number counted from 30 December 1899, with the time as the fraction,
// in local time (the form the chart image maps and the page script use).
double LocalDayNumber(DbTime when);

}  // namespace qb
