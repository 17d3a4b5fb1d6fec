#include "logging/todays_history.h"

#include <ctime>
#include <functional>

#include "core/log.h"
#include "core/plugin_state.h"
#include "logging/chart_builder.h"
#include "logging/database_logging.h"
#include "logging/history_html.h"
#include "logging/stored_units.h"
#include "logging/tooltip_script.h"
#include "platform/event_loop.h"
#include "registry/records.h"
#include "registry/row_identity.h"
#include "registry/value_text.h"

namespace qb {

namespace {

std::string Number(double value) {
  return FormatDecimals(value, Plugin().settings.SigFigs);
}

// The low, high and average of readings, with the times of the first two. `between_rows` runs
// after each row.
std::string LoHiAvg(RecordSet& readings, bool with_times, int sig_figs,
                    const std::function<void()>& between_rows);

std::string TimeText(const Field& field) {
  if (const auto* when = std::get_if<DbTime>(&field.Value)) return LogTimeText(*when);
  return history_html::Escape(field.AsText());
}

// Local midnight of the day `now` falls on.
DbTime StartOfToday(DbTime now) {
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  tm.tm_hour = 0;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

}  // namespace

std::string LoHiAvgRows(RecordSet& readings, bool with_times) {
  return LoHiAvg(readings, with_times, Plugin().settings.SigFigs, [] { Loop().DoEvents(); });
}

std::string LoHiAvgRows(RecordSet& readings, bool with_times, int sig_figs) {
  return LoHiAvg(readings, with_times, sig_figs, [] {});
}

namespace {

std::string LoHiAvg(RecordSet& readings, bool with_times, int sig_figs,
                    const std::function<void()>& between_rows) {
  const auto Number = [sig_figs](double value) { return FormatDecimals(value, sig_figs); };
  if (readings.Bof()) return {};
  double low = 20000000, high = -20000000, sum = 0;
  int64_t count = 0;
  std::string low_time, high_time, identifier;
  try {
    readings.MoveFirst();
    identifier = readings.Item(1).AsText();
    for (; !readings.Eof(); readings.MoveNext()) {
      ++count;
      const Field reading = readings.Item(2);
      if (!reading.IsNull()) {
        const double v = reading.AsDouble();
        sum += v;
        // Strictly below and above: on ties the earlier row wins, which newest first is the
        // most recent reading.
        if (v < low) {
          low = v;
          low_time = TimeText(readings.Item(0));
        }
        if (v > high) {
          high = v;
          high_time = TimeText(readings.Item(0));
        }
      }
      between_rows();
    }
  } catch (const std::exception&) {
    // What was summed so far is shown.
  }
  const double average = count != 0 ? sum / static_cast<double>(count) : 0;
  readings.MoveFirst();
  if (with_times) {
    return "<tr><td class=\"tablecolumn\">Lo</td><td class=\"tableroweven\">" + Number(low) +
           "</td><td class=\"tablerowodd\">" + low_time + "</td></tr>" +
           "<tr><td class=\"tablecolumn\">Hi</td><td class=\"tableroweven\">" + Number(high) +
           "</td><td class=\"tablerowodd\">" + high_time + "</td></tr>" +
           "<tr><td class=\"tablecolumn\">Avg</td><td class=\"tableroweven\">" + Number(average) +
           "</td><td></td></tr>";
  }
  return "<tr><td class=\"tableroweven\">" + history_html::Escape(identifier) +
         "</td><td class=\"tablerowodd\">" + Number(low) + "</td><td class=\"tableroweven\">" +
         low_time + "</td><td class=\"tablerowodd\">" + Number(high) +
         "</td><td class=\"tableroweven\">" + high_time + "</td><td class=\"tablerowodd\">" +
         Number(average) + "</td></tr>";
}

}  // namespace

std::string TodaysHistory(DatabaseLogging& database, const DSDevice& record,
                          const std::string& unit) {
  // A copy: the page's record may leave the registry while events run below.
  const DSDevice channel = record;
  const Settings settings = Plugin().settings;
  std::string out =
      "<table border=\"0\" cellpadding=\"0\" cellspacing=\"1\"><td class=\"tableheader\" "
      "colspan=3>Todays History</td></tr>";
  auto error = [&](const std::exception& e) {
    if (settings.DebugLevel <= 0) return;
    out += "<p>ERROR:<br>" + history_html::Escape(e.what()) + "</p>";
    WriteLog(LogClass::ErrorsAlarms, "1-Wire Error", e.what());
  };

  const std::string identifier = settings.DeviceIDByName
                                     ? NameIdentifier(channel.HSLocation, channel.HSName)
                                     : channel.ROM.substr(0, 16);
  const std::string statement =
      "SELECT " + QuoteName(settings.Fields[1]) + ", " + QuoteName(settings.Fields[0]) + ", " +
      QuoteName(settings.Fields[2]) + " FROM " + QuoteName(settings.Table) + " WHERE " +
      QuoteName(settings.Fields[0]) + " = $1 AND " + QuoteName(settings.Fields[1]) +
      " >= $2 ORDER BY " + QuoteName(settings.Fields[1]) + " DESC";
  const std::vector<DbValue> params = {identifier, StartOfToday(TheClock().Now())};

  std::shared_ptr<RecordSet> readings;
  try {
    readings = database.Connect()->Execute(statement, params);
    if (HoldsTemperatures(settings.DeviceIDByName ? channel.ROM : identifier))
      ShowTemperatures(*readings, 2);
  } catch (const std::exception& e) {
    error(e);
  }
  if (readings) {
    out += LoHiAvgRows(*readings, true) + "\r</table>\r";
    out += history_html::Table(0, 1) + "<tr>";
    out += history_html::Cell("tablecolumn", 1, 3) + "Value " + unit + "</td>";
    out += history_html::Cell("tablecolumn", 1, 3) + "Time" + "</td></tr>\r\n";
    int32_t value_column = -1, time_column = -1;
    try {
      for (; !readings->Eof(); readings->MoveNext()) {
        out += "<tr>";
        for (int32_t c = readings->FieldCount() - 1; c >= 0; --c) {
          const Field field = readings->Item(c);
          if (field.Type == field_type::kDouble) {
            const double v = field.AsDouble();
            // A reading that reached a limit is also marked "alarm" (the style sheet's alarm
            // colour).
            const char* cls = v <= database.low_threshold    ? "tablecellwav alarm"
                              : v >= database.high_threshold ? "tablecelldim alarm"
                                                             : "tableroweven";
            out += history_html::Cell(cls, 1, 0) + (field.IsNull() ? "" : Number(v)) + "</td>";
            value_column = c;
          } else if (field.Type == field_type::kDate || field.Type == field_type::kTimestamp) {
            out += history_html::Cell("tablecelloff", 1, 0) + TimeText(field) + "</td>";
            time_column = c;
          }
          Loop().DoEvents();
        }
        out += "</tr>\r\n";
      }
    } catch (const std::exception& e) {
      error(e);
    }
    out += "</table>\r\n</td>";
    try {
      // The chart gets the same rows as a set of its own at its first row (newest first, as the
      // table shows them); the rows are in memory, so the query need not run a second time.
      auto again = std::make_shared<RecordSet>(*readings);
      again->MoveFirst();
      auto builder = CurrentChartBuilder();
      if (builder->MakeChart(*again, value_column, time_column, channel, unit)) {
        out += "<td align=\"left\" valign=\"top\"><img src=\"1wire/" + builder->LastChartFile() +
               "\" border=\"0\" usemap=\"#map1\"><map name='map1'>" + builder->LastImageMap() +
               "</map></td>" + TooltipScript("320");
      }
    } catch (const std::exception& e) {
      error(e);
    }
    readings->Close();
  }
  out += "</table>\r\n";
  database.Release();
  return out;
}

std::string TodaysHistory(const DSDevice& record, const std::string& unit) {
  const auto database = ReadingsDatabase();
  return TodaysHistory(*database, record, unit);
}

}  // namespace qb
