// The PostgreSQL engine of the database layer (libpq). Each session runs in UTC, so a date and
// time travels as UTC text both ways whether the column is "timestamp" or "timestamptz"; short
// connect, statement and keep-alive timeouts keep a server that is down or unreachable from
// holding up the plug-in thread for long.
#include "platform/database_engines.h"

#ifdef QB_WITH_POSTGRESQL

#include <libpq-fe.h>

#include <cctype>
#include <charconv>
#include <map>

namespace qb {

namespace {

constexpr int32_t kGeneralError = -2147467259;

// Type numbers of the server's built-in types (pg_type.oid).
int32_t KindOfType(Oid type) {
  switch (type) {
    case 16:  // bool
    case 20:  // int8
    case 21:  // int2
    case 23:  // int4
      return field_type::kInteger;
    case 700:   // float4
    case 701:   // float8
    case 1700:  // numeric
      return field_type::kDouble;
    case 1042:  // bpchar
      return field_type::kChar;
    case 19:    // name
    case 25:    // text
    case 1043:  // varchar
      return field_type::kText;
    case 1082:  // date
      return field_type::kDate;
    case 1114:  // timestamp
    case 1184:  // timestamptz
      return field_type::kTimestamp;
    default:
      return field_type::kEmpty;
  }
}

DbValue ReadValue(const char* text, int length, int32_t kind) {
  const std::string t(text, static_cast<size_t>(length));
  switch (kind) {
    case field_type::kInteger: {
      if (t == "t") return int64_t{1};
      if (t == "f") return int64_t{0};
      int64_t v = 0;
      if (std::from_chars(t.data(), t.data() + t.size(), v).ec == std::errc()) return v;
      break;
    }
    case field_type::kDouble: {
      double v = 0;
      if (std::from_chars(t.data(), t.data() + t.size(), v).ec == std::errc()) return v;
      break;
    }
    case field_type::kTimestamp:
      if (auto when = ParseTimestampText(t)) return *when;
      break;
    case field_type::kDate:
      if (auto when = ParseTimestampText(t + " 00:00:00")) return *when;
      break;
    default:
      break;
  }
  return t;
}

std::string ParamText(const DbValue& v) {
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* d = std::get_if<double>(&v)) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *d);
    return ec == std::errc() ? std::string(buf, end) : std::string("NaN");
  }
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  return UtcTimestampText(std::get<DbTime>(v)) + "+00";
}

std::string Trimmed(const char* message) {
  std::string m = message ? message : "";
  while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
  return m;
}

class PostgresConnection : public Connection {
 public:
  ~PostgresConnection() override { Close(); }

  int32_t State() const override { return conn_ && PQstatus(conn_) == CONNECTION_OK ? 1 : 0; }

  void Open(const std::string& connection_string) override {
    Close();
    const auto keys = ParseConnectionString(connection_string);
    std::vector<std::pair<std::string, std::string>> params;
    auto take = [&](const char* key, const char* pq_key) {
      if (auto it = keys.find(key); it != keys.end() && !it->second.empty())
        params.emplace_back(pq_key, it->second);
    };
    take("HOST", "host");
    take("SERVER", "host");
    take("PORT", "port");
    take("DATABASE", "dbname");
    take("USER ID", "user");
    take("USER", "user");
    take("PASSWORD", "password");
    take("SSLMODE", "sslmode");
    auto timeout = keys.find("TIMEOUT");
    params.emplace_back("connect_timeout",
                        timeout != keys.end() && !timeout->second.empty() ? timeout->second : "3");
    params.emplace_back("options", "-c TimeZone=UTC -c statement_timeout=5000");
    params.emplace_back("keepalives_idle", "10");
    params.emplace_back("keepalives_interval", "3");
    params.emplace_back("keepalives_count", "3");
    params.emplace_back("tcp_user_timeout", "10000");
    params.emplace_back("application_name", "quellbrook-1wire");
    std::vector<const char*> k, v;
    for (const auto& [key, value] : params) {
      k.push_back(key.c_str());
      v.push_back(value.c_str());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(k.data(), v.data(), 0);
    if (!conn) throw DatabaseError(kGeneralError, "out of memory connecting to PostgreSQL");
    if (PQstatus(conn) != CONNECTION_OK) {
      const std::string message = Trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      throw DatabaseError(kGeneralError, "cannot connect to PostgreSQL: " + message);
    }
    // Server notices ("table does not exist, skipping") are not errors: libpq would print them
    // on standard error.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    conn_ = conn;
  }

  std::shared_ptr<RecordSet> Execute(const std::string& sql,
                                     const std::vector<DbValue>& params) override {
    Require();
    std::vector<std::string> texts;
    std::vector<const char*> values;
    texts.reserve(params.size());
    for (const auto& p : params) {
      if (std::holds_alternative<std::monostate>(p)) {
        texts.emplace_back();
        values.push_back(nullptr);
      } else {
        texts.push_back(ParamText(p));
        values.push_back(texts.back().c_str());
      }
    }
    const int count_params = static_cast<int>(params.size());
    PGresult* res = nullptr;
    if (const std::string name = Prepared(sql, count_params); !name.empty()) {
      res = PQexecPrepared(conn_, name.c_str(), count_params, values.data(), nullptr, nullptr, 0);
      if (!Succeeded(res) && PQstatus(conn_) == CONNECTION_OK) {
        // The table may have changed under the prepared plan (dropped, made anew, altered): the
        // statement is prepared again at its next use, and runs unprepared now.
        PQclear(res);
        Forget(sql);
        res = nullptr;
      }
    }
    if (!res) {
      res = PQexecParams(conn_, sql.c_str(), count_params, nullptr, values.data(), nullptr, nullptr,
                         0);
    }
    const ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::string message = Trimmed(res ? PQresultErrorMessage(res) : PQerrorMessage(conn_));
      if (message.empty()) message = Trimmed(PQerrorMessage(conn_));
      PQclear(res);
      throw DatabaseError(kGeneralError, message);
    }
    const int columns = PQnfields(res);
    const int count = PQntuples(res);
    std::vector<std::string> names;
    std::vector<int32_t> kinds;
    for (int c = 0; c < columns; ++c) {
      names.emplace_back(PQfname(res, c));
      kinds.push_back(KindOfType(PQftype(res, c)));
    }
    std::vector<std::vector<DbValue>> rows(static_cast<size_t>(count));
    for (int r = 0; r < count; ++r) {
      auto& row = rows[static_cast<size_t>(r)];
      row.reserve(columns);
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(res, r, c)) {
          row.emplace_back(std::monostate{});
        } else {
          row.push_back(ReadValue(PQgetvalue(res, r, c), PQgetlength(res, r, c), kinds[c]));
        }
      }
    }
    PQclear(res);
    return std::make_shared<RecordSet>(std::move(names), std::move(kinds), std::move(rows));
  }

  std::vector<TableInfo> Tables() override {
    auto rs = Execute(
        "SELECT table_name, table_type, table_schema FROM information_schema.tables "
        "ORDER BY table_name",
        {});
    std::vector<TableInfo> out;
    for (; !rs->Eof(); rs->MoveNext()) {
      const std::string schema = rs->Item(2).AsText();
      const std::string type = rs->Item(1).AsText();
      const bool system = schema == "pg_catalog" || schema == "information_schema";
      out.push_back({rs->Item(0).AsText(), system           ? "SYSTEM TABLE"
                                           : type == "VIEW" ? "VIEW"
                                                            : "TABLE"});
    }
    return out;
  }

  std::vector<ColumnInfo> Columns(const std::string& table) override {
    auto rs = Execute("SELECT * FROM " + QuoteName(table) + " WHERE false", {});
    std::vector<ColumnInfo> out;
    // The result set keeps the names and kinds even without rows.
    for (int32_t c = 0; c < rs->FieldCount(); ++c) out.push_back(ColumnAt(*rs, c));
    return out;
  }

  void Close() override {
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
    prepared_.clear();
  }

  std::string Engine() const override { return "PostgreSQL"; }

 private:
  static ColumnInfo ColumnAt(const RecordSet& rs, int32_t c) {
    return {rs.ColumnName(c), rs.ColumnType(c)};
  }

  void Require() const {
    if (!conn_) throw DatabaseError(kGeneralError, "the database connection is closed");
    if (PQstatus(conn_) != CONNECTION_OK)
      throw DatabaseError(kGeneralError, "the connection to PostgreSQL was lost");
  }

  static bool Succeeded(PGresult* res) {
    const ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }

  // Only these statements can be prepared; others (CREATE, DROP, ...) run as they are.
  static bool Preparable(const std::string& sql) {
    std::string word;
    for (char c : sql) {
      if (std::isspace(static_cast<unsigned char>(c)) && word.empty()) continue;
      if (!std::isalpha(static_cast<unsigned char>(c))) break;
      word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return word == "SELECT" || word == "INSERT" || word == "UPDATE" || word == "DELETE";
  }

  // The name of the statement prepared on this connection for `sql` (prepared at its first use),
  // or empty when it runs unprepared. The server then parses and plans a reading's INSERT once
  // per connection instead of once per row.
  std::string Prepared(const std::string& sql, int count_params) {
    if (auto it = prepared_.find(sql); it != prepared_.end()) return it->second;
    if (prepared_.size() >= kMostPrepared || !Preparable(sql)) return {};
    const std::string name = "qb_statement_" + std::to_string(++serial_);
    PGresult* res = PQprepare(conn_, name.c_str(), sql.c_str(), count_params, nullptr);
    const bool ok = res && PQresultStatus(res) == PGRES_COMMAND_OK;
    PQclear(res);
    // Its error (a table that does not exist yet) shows when it runs unprepared; it is prepared
    // at a later use that succeeds.
    if (!ok) return {};
    prepared_[sql] = name;
    return name;
  }

  void Forget(const std::string& sql) {
    auto it = prepared_.find(sql);
    if (it == prepared_.end()) return;
    PQclear(PQexec(conn_, ("DEALLOCATE " + it->second).c_str()));
    prepared_.erase(it);
  }

  // Distinct statements the plug-in runs are few (the insert, the history's and the charts'
  // selects, the table list): more than this are run unprepared.
  static constexpr size_t kMostPrepared = 32;

  PGconn* conn_ = nullptr;
  std::map<std::string, std::string> prepared_;  // statement text -> prepared name
  uint64_t serial_ = 0;
};

}  // namespace

std::unique_ptr<Connection> MakePostgresConnection() {
  return std::make_unique<PostgresConnection>();
}

}  // namespace qb

#else

namespace qb {

std::unique_ptr<Connection> MakePostgresConnection() {
  return nullptr;
}

}  // namespace qb

#endif
