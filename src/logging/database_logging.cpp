#include "logging/database_logging.h"

#include <algorithm>
#include <ctime>

#include "core/log.h"
#include "core/plugin_state.h"
#include "registry/records.h"
#include "registry/row_identity.h"
#include "registry/value_update.h"

namespace qb {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A single quote doubled, as SQL writes one inside a quoted text (for the SQL shown only).
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

std::shared_ptr<DatabaseLogging>& Instance() {
  static std::shared_ptr<DatabaseLogging> instance;
  return instance;
}

}  // namespace

std::string LogTimeText(DbTime when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s %02d %04d %02d:%02d:%02d", kMonths[tm.tm_mon % 12], tm.tm_mday,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string DateDelimiter(const std::string& connection_string) {
  std::string upper = connection_string;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper.find("SQL") != std::string::npos ? "'" : "#";
}

std::string BuildInsertPrefix(const std::string& table, const std::array<std::string, 3>& columns) {
  std::string text = "INSERT INTO " + table + " (";
  for (const auto& c : columns) text += c + ", ";
  text.resize(text.size() - 2);
  return text + ") VALUES";
}

DatabaseLogging::~DatabaseLogging() {
  CloseConnection();
}

std::string DatabaseLogging::Identifier(const std::string& key) {
  if (!Plugin().settings.DeviceIDByName) return key.substr(0, 16);
  const auto record = gROMs().FindDev(key);
  return record ? NameIdentifier(record->HSLocation, record->HSName) : NameIdentifier("", "");
}

std::shared_ptr<Connection> DatabaseLogging::Connect() {
  const std::string wanted = Plugin().settings.Database;
  if (connection_ && (opened_with_ != wanted || connection_->State() == 0)) DropConnection();
  if (connection_) return connection_;
  if (idle_) {
    auto idle = std::move(idle_);
    idle_.reset();
    const bool fresh =
        TheClock().MonotonicNow() - idle_since_ < std::chrono::seconds(kPoolIdleSeconds);
    if (fresh && idle_with_ == wanted && idle->State() == 1) {
      connection_ = std::move(idle);
      opened_with_ = wanted;
      from_pool_ = true;
      return connection_;
    }
    idle->Close();
  }
  if (retry_after_ && TheClock().MonotonicNow() < *retry_after_)
    throw DatabaseError(last_open_number_, last_open_error_);
  try {
    auto c = OpenDatabase(wanted);
    connection_ = std::move(c);
    opened_with_ = wanted;
    from_pool_ = false;
    retry_after_.reset();
    return connection_;
  } catch (const DatabaseError& e) {
    retry_after_ = TheClock().MonotonicNow() + std::chrono::seconds(kRetrySeconds);
    last_open_error_ = e.what();
    last_open_number_ = e.number();
    throw;
  }
}

void DatabaseLogging::Release() {
  if (Plugin().settings.chkDBKeepOpen || !connection_) return;
  if (connection_->Engine() == "PostgreSQL" && connection_->State() == 1) {
    if (idle_) idle_->Close();
    idle_ = std::move(connection_);
    connection_.reset();
    idle_with_ = opened_with_;
    idle_since_ = TheClock().MonotonicNow();
    return;
  }
  DropConnection();
}

void DatabaseLogging::DropConnection() {
  if (connection_) connection_->Close();
  connection_.reset();
  from_pool_ = false;
}

void DatabaseLogging::CloseConnection() {
  DropConnection();
  if (idle_) idle_->Close();
  idle_.reset();
}

void DatabaseLogging::LogValue(const std::string& key, double value) {
  // The power-on value of a thermometer (85) and a failed conversion (0) are not readings.
  if (!key.empty() && key.back() == 'M' && (value == 85 || value == 0)) return;
  const Settings settings = Plugin().settings;  // a copy: the lookup below lets events run
  if (settings.Database.empty()) return;

  const std::string identifier = Identifier(key);
  const DbTime now = std::chrono::time_point_cast<std::chrono::seconds>(
      Plugin().ReadingTime.value_or(TheClock().Now()));
  const std::string d = DateDelimiter(settings.Database);
  const std::string sql = BuildInsertPrefix(settings.Table, settings.Fields) + "(" +
                          Quoted(identifier) + ", " + d + LogTimeText(now) + d + ", " +
                          Quoted(PlainNumberText(value)) + ")";
  const std::string statement = "INSERT INTO " + QuoteName(settings.Table) + " (" +
                                QuoteName(settings.Fields[0]) + ", " +
                                QuoteName(settings.Fields[1]) + ", " +
                                QuoteName(settings.Fields[2]) + ") VALUES ($1, $2, $3)";
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      auto connection = Connect();
      if (attempt == 0) WriteLog(LogClass::Updates, "1-Wire DB Update", sql);
      if (const auto gap = gaps_.find(identifier); gap != gaps_.end()) {
        // The readings lost before this one: a row without a value marks where they are missing.
        connection->Execute(statement, {identifier, gap->second, DbValue()});
        gaps_.erase(gap);
      }
      connection->Execute(statement, {identifier, now, value});
      ++rows_written_;
      Succeeded();
      break;
    } catch (const std::exception& e) {
      // A failed statement on a lost connection leaves the connection unusable: drop it so the
      // next reading opens a new one (the server may be back by then). One taken idle from the
      // pool was lost while nobody used it: the reading is written on a new one at once.
      const bool lost = connection_ && connection_->State() == 0;
      const bool pooled = from_pool_;
      if (lost) DropConnection();
      if (lost && pooled && attempt == 0) continue;
      Failed(key, identifier, now, value, sql, e);
      break;
    }
  }
  Release();
}

int64_t DatabaseLogging::RenameRows(
    const std::vector<std::pair<std::string, std::string>>& renames) {
  const Settings settings = Plugin().settings;
  if (settings.Database.empty() || renames.empty()) return 0;
  const std::string id = QuoteName(settings.Fields[0]);
  const std::string statement =
      "UPDATE " + QuoteName(settings.Table) + " SET " + id + " = $1 WHERE " + id + " = $2";
  int64_t moved = 0;
  auto connection = Connect();
  try {
    connection->Execute("BEGIN");
    for (const auto& [from, to] : renames) {
      if (from == to) continue;
      // Counted first: an UPDATE hands back no rows to count.
      const auto count = connection->Execute(
          "SELECT COUNT(*) FROM " + QuoteName(settings.Table) + " WHERE " + id + " = $1", {from});
      if (!count->Eof()) moved += static_cast<int64_t>(count->Item(0).AsDouble());
      connection->Execute(statement, {to, from});
      WriteLog(LogClass::Updates, "1-Wire DB Update",
               "UPDATE " + settings.Table + " SET " + settings.Fields[0] + " = " + Quoted(to) +
                   " WHERE " + settings.Fields[0] + " = " + Quoted(from));
    }
    connection->Execute("COMMIT");
  } catch (const std::exception&) {
    try {
      if (connection->State() == 1) connection->Execute("ROLLBACK");
    } catch (const std::exception&) {
    }
    if (connection->State() == 0) DropConnection();
    Release();
    throw;
  }
  Release();
  return moved;
}

void DatabaseLogging::Succeeded() {
  if (failure_.empty()) return;
  const auto now = TheClock().MonotonicNow();
  if (relapsed_) {
    // Working again after a relapse: said once it has lasted, so a disk at its limit is one
    // episode, not a line for every reading that found room.
    if (!working_since_) working_since_ = now;
    if (now - *working_since_ < std::chrono::seconds(kEpisodeSeconds)) return;
  }
  WriteLog(LogClass::ErrorsAlarms, "1-Wire DB Update",
           "Writing to the database works again; " + std::to_string(lost_) +
               " reading(s) could not be written while it failed");
  failure_.clear();
  lost_ = 0;
  relapsed_ = false;
  working_since_.reset();
  recovered_at_ = now;
}

void DatabaseLogging::Failed(const std::string& key, const std::string& identifier, DbTime when,
                             double value, const std::string& sql, const std::exception& error) {
  ++lost_;
  gaps_.try_emplace(identifier, when);
  working_since_.reset();
  ++rows_failed_;
  const std::string message = error.what();
  // The same failure again (the database is still down): counted, not logged reading by reading.
  if (message == failure_) return;
  if (failure_.empty() && recovered_at_ &&
      TheClock().MonotonicNow() - *recovered_at_ < std::chrono::seconds(kEpisodeSeconds)) {
    // Failing again soon after it worked again: the same episode, reported at its end.
    relapsed_ = true;
    failure_ = message;
    return;
  }
  failure_ = message;
  const auto* db = dynamic_cast<const DatabaseError*>(&error);
  const int64_t number = db ? db->number() : ErrorNumber(error);
  WriteLog(LogClass::ErrorsAlarms, "1-Wire Error (Log Value)",
           "Error " + std::to_string(number) + " " + message + " ROM=" + key + " " +
               PlainNumberText(value));
  WriteLog(LogClass::ErrorsAlarms, "1-Wire Error (Log Value)", "SQL = " + sql);
}

std::shared_ptr<DatabaseLogging> ReadingsDatabase() {
  auto& instance = Instance();
  if (!instance) instance = std::make_shared<DatabaseLogging>();
  return instance;
}

void ResetReadingsDatabase() {
  Instance() = std::make_shared<DatabaseLogging>();
}

}  // namespace qb
