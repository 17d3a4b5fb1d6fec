// The SQLite engine of the database layer: the embedded default. Dates are stored as UTC text
// "YYYY-MM-DD hh:mm:ss" (SQLite's own date-and-time form), which sorts and compares in time order
// and which SQLite's date functions read.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

#include "platform/database_engines.h"

namespace qb {

namespace {

// How long a statement waits for another writer's lock before it fails: short, because the
// plug-in thread also polls the bus.
constexpr int kBusyTimeoutMs = 750;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// The column kind of a declared type, by SQLite's own affinity rules with dates first.
int32_t DeclaredKind(const char* decl) {
  if (!decl) return field_type::kEmpty;
  const std::string d = Upper(decl);
  if (d.find("TIME") != std::string::npos) return field_type::kTimestamp;
  if (d.find("DATE") != std::string::npos) return field_type::kDate;
  if (d.find("INT") != std::string::npos) return field_type::kInteger;
  if (d.find("CHAR") != std::string::npos || d.find("CLOB") != std::string::npos ||
      d.find("TEXT") != std::string::npos)
    return field_type::kText;
  if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
      d.find("DOUB") != std::string::npos || d.find("NUMERIC") != std::string::npos ||
      d.find("DECIMAL") != std::string::npos)
    return field_type::kDouble;
  return field_type::kEmpty;
}

// The kind of a computed column (no declared type), from the value it holds.
int32_t ValueKind(sqlite3_stmt* stmt, int col) {
  switch (sqlite3_column_type(stmt, col)) {
    case SQLITE_INTEGER:
      return field_type::kInteger;
    case SQLITE_FLOAT:
      return field_type::kDouble;
    case SQLITE_TEXT: {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
      return t && ParseTimestampText(t) ? field_type::kTimestamp : field_type::kText;
    }
    default:
      return field_type::kEmpty;
  }
}

DbValue ReadValue(sqlite3_stmt* stmt, int col, int32_t kind) {
  const int stored = sqlite3_column_type(stmt, col);
  if (stored == SQLITE_NULL) return std::monostate{};
  std::string text;
  if (stored == SQLITE_TEXT || stored == SQLITE_BLOB) {
    const auto* t = sqlite3_column_text(stmt, col);
    text.assign(reinterpret_cast<const char*>(t),
                static_cast<size_t>(sqlite3_column_bytes(stmt, col)));
  }
  switch (kind) {
    case field_type::kTimestamp:
    case field_type::kDate:
      if (stored == SQLITE_TEXT) {
        if (auto when = ParseTimestampText(text)) return *when;
        if (text.size() == 10) {
          if (auto day = ParseTimestampText(text + " 00:00:00")) return *day;
        }
      }
      break;
    case field_type::kInteger:
      if (stored == SQLITE_INTEGER) return static_cast<int64_t>(sqlite3_column_int64(stmt, col));
      break;
    case field_type::kDouble:
      if (stored == SQLITE_INTEGER || stored == SQLITE_FLOAT)
        return sqlite3_column_double(stmt, col);
      break;
    default:
      break;
  }
  if (stored == SQLITE_INTEGER) return static_cast<int64_t>(sqlite3_column_int64(stmt, col));
  if (stored == SQLITE_FLOAT) return sqlite3_column_double(stmt, col);
  return text;
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, &tail) !=
        SQLITE_OK)
      Fail();
    if (!stmt_) throw DatabaseError(SQLITE_MISUSE, "the statement is empty");
    for (; tail && *tail; ++tail) {
      if (*tail != ';' && !std::isspace(static_cast<unsigned char>(*tail)))
        throw DatabaseError(SQLITE_MISUSE, "only one statement may be run at a time");
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  sqlite3_stmt* get() const { return stmt_; }

  [[noreturn]] void Fail() const {
    throw DatabaseError(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_));
  }

  void Bind(const std::vector<DbValue>& params) {
    const int count = sqlite3_bind_parameter_count(stmt_);
    for (int i = 1; i <= count; ++i) {
      const char* name = sqlite3_bind_parameter_name(stmt_, i);
      // Parameters are $1, $2, ...: the number names the value, whatever order they appear in.
      size_t index = 0;
      if (!name || name[0] != '$' || (index = std::strtoul(name + 1, nullptr, 10)) == 0 ||
          index > params.size())
        throw DatabaseError(SQLITE_RANGE, std::string("no value for the parameter ") +
                                              (name ? name : "?") + " (write them $1, $2, ...)");
      const DbValue& v = params[index - 1];
      int rc = SQLITE_OK;
      if (std::holds_alternative<std::monostate>(v)) {
        rc = sqlite3_bind_null(stmt_, i);
      } else if (const auto* n = std::get_if<int64_t>(&v)) {
        rc = sqlite3_bind_int64(stmt_, i, *n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        rc = sqlite3_bind_double(stmt_, i, *d);
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        rc = sqlite3_bind_text(stmt_, i, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
      } else {
        const std::string t = UtcTimestampText(std::get<DbTime>(v));
        rc = sqlite3_bind_text(stmt_, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) Fail();
    }
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteConnection : public Connection {
 public:
  ~SqliteConnection() override { Close(); }

  int32_t State() const override { return db_ ? 1 : 0; }

  void Open(const std::string& connection_string) override {
    Close();
    const auto keys = ParseConnectionString(connection_string);
    auto source = keys.find("DATA SOURCE");
    if (source == keys.end()) source = keys.find("DATASOURCE");
    if (source == keys.end() || source->second.empty())
      throw DatabaseError(SQLITE_CANTOPEN, "the connection string names no Data Source file");
    const std::string path = source->second;
    // The database must exist: opening never creates one (a mistyped path would otherwise
    // collect readings in a new, empty file nobody looks at).
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
      throw DatabaseError(SQLITE_CANTOPEN, "the database file " + path + " does not exist");
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
      const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close(db);
      throw DatabaseError(rc, "cannot open the database file " + path + ": " + message);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    db_ = db;
    try {
      // Reads the schema now, so a file that is not a database fails here, not at the first write.
      Statement probe(db_, "SELECT count(*) FROM sqlite_master");
      if (sqlite3_step(probe.get()) != SQLITE_ROW) probe.Fail();
    } catch (const DatabaseError& e) {
      Close();
      throw DatabaseError(e.number(), "cannot open the database file " + path + ": " + e.what());
    }
  }

  std::shared_ptr<RecordSet> Execute(const std::string& sql,
                                     const std::vector<DbValue>& params) override {
    Require();
    Statement stmt(db_, sql);
    stmt.Bind(params);
    const int columns = sqlite3_column_count(stmt.get());
    std::vector<std::string> names;
    std::vector<int32_t> kinds;
    for (int c = 0; c < columns; ++c) {
      names.emplace_back(sqlite3_column_name(stmt.get(), c));
      kinds.push_back(DeclaredKind(sqlite3_column_decltype(stmt.get(), c)));
    }
    std::vector<std::vector<DbValue>> rows;
    for (;;) {
      const int rc = sqlite3_step(stmt.get());
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) stmt.Fail();
      if (rows.empty()) {
        for (int c = 0; c < columns; ++c) {
          if (kinds[c] == field_type::kEmpty) kinds[c] = ValueKind(stmt.get(), c);
        }
      }
      std::vector<DbValue> row;
      row.reserve(columns);
      for (int c = 0; c < columns; ++c) row.push_back(ReadValue(stmt.get(), c, kinds[c]));
      rows.push_back(std::move(row));
    }
    return std::make_shared<RecordSet>(std::move(names), std::move(kinds), std::move(rows));
  }

  std::vector<TableInfo> Tables() override {
    auto rs = Execute(
        "SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') ORDER BY name", {});
    std::vector<TableInfo> out;
    for (; !rs->Eof(); rs->MoveNext()) {
      TableInfo t{rs->Item(0).AsText(), Upper(rs->Item(1).AsText())};
      if (t.Name.rfind("sqlite_", 0) == 0) t.Type = "SYSTEM TABLE";
      out.push_back(std::move(t));
    }
    return out;
  }

  std::vector<ColumnInfo> Columns(const std::string& table) override {
    Require();
    // Preparing is enough to learn the columns; no row is read.
    Statement stmt(db_, "SELECT * FROM " + QuoteName(table) + " LIMIT 0");
    std::vector<ColumnInfo> out;
    for (int c = 0; c < sqlite3_column_count(stmt.get()); ++c) {
      out.push_back({sqlite3_column_name(stmt.get(), c),
                     DeclaredKind(sqlite3_column_decltype(stmt.get(), c))});
    }
    return out;
  }

  void Close() override {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  std::string Engine() const override { return "SQLite"; }

 private:
  void Require() const {
    if (!db_) throw DatabaseError(SQLITE_MISUSE, "the database connection is closed");
  }

  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> MakeSqliteConnection() {
  return std::make_unique<SqliteConnection>();
}

}  // namespace qb
