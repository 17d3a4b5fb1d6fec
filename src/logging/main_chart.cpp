#include "logging/main_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "core/log.h"
#include "core/plugin_state.h"
#include "logging/chart_dates.h"
#include "logging/chart_files.h"
#include "logging/chart_frame.h"
#include "logging/chart_labels.h"
#include "logging/chart_maker.h"
#include "logging/stored_units.h"
#include "logging/todays_history.h"
#include "platform/chart_canvas.h"
#include "platform/database.h"
#include "platform/event_loop.h"
#include "platform/html_escape.h"
#include "registry/records.h"
#include "registry/row_identity.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

namespace {

constexpr const char* kSource = "1-Wire (MainChart)";

struct MainChartState {
  std::string image_map;
  std::string statistics_rows;
};

MainChartState& State() {
  static MainChartState state;
  return state;
}

std::string ShortName(std::string id) {
  const std::string from = "Heating System Hot Water Tank";
  for (size_t at = id.find(from); at != std::string::npos; at = id.find(from, at))
    id.replace(at, from.size(), "Hot Water Tank");
  return id;
}

}  // namespace

std::string MainChartImageMap() {
  return State().image_map;
}
std::string MainChartStatisticsRows() {
  return State().statistics_rows;
}

std::string ChartDevicesSql(const std::string& table_name, const std::string& id_column,
                            const std::string& time_column) {
  const std::string table = QuoteName(table_name);
  const std::string id = QuoteName(id_column);
  const std::string time = QuoteName(time_column);
  // A loose index scan: the smallest identifier, then the smallest one above it, and so on. Rows
  // without an identifier are not offered (MIN passes over them).
  return "WITH RECURSIVE ids(id) AS (SELECT MIN(" + id + ") FROM " + table +
         " UNION ALL SELECT (SELECT MIN(" + id + ") FROM " + table + " WHERE " + id +
         " > ids.id) FROM ids WHERE ids.id IS NOT NULL) SELECT (SELECT MIN(" + time + ") FROM " +
         table + " WHERE " + id + " = ids.id) AS \"First\", ids.id AS " + id + ", (SELECT MAX(" +
         time + ") FROM " + table + " WHERE " + id + " = ids.id) AS \"Last\" FROM ids WHERE " +
         "ids.id IS NOT NULL ORDER BY 1, 2";
}

MainChartJob PrepareMainChart(const std::string& from_text, const std::string& to_text,
                              bool depth3d, bool submitted, const std::string& query,
                              const std::string& file_name) {
  MainChartJob job;
  job.from_text = from_text;
  job.to_text = to_text;
  job.depth3d = depth3d;
  job.submitted = submitted;
  job.query = query;
  job.file_name = file_name;
  job.now = TheClock().Now();
  job.settings = Plugin().settings;
  job.folder = ChartFolder();
  job.bus_name = BusName();
  if (job.settings.DeviceIDByName) {
    // The first channel of that name wins, as the registry's own lookup by name does.
    const auto roms = gROMs().ROMlist;
    for (const auto& rom : roms) {
      if (!rom || !rom->Devices) continue;
      const auto devices = rom->Devices->DevList;
      for (const auto& d : devices)
        if (d) job.keys_by_name.emplace(NameIdentifier(d->HSLocation, d->HSName), d->ROM);
    }
  }
  return job;
}

MainChartDrawn DrawMainChart(const MainChartJob& job,
                             const std::function<void()>& between_devices) {
  MainChartDrawn drawn;
  auto log = [&drawn](LogClass level, std::string text) {
    drawn.log.emplace_back(level, std::move(text));
  };
  // The key a logged identifier stands for (a name, when rows are named by name).
  auto key_of = [&job](const std::string& id) {
    const auto it = job.keys_by_name.find(id);
    return it == job.keys_by_name.end() ? id : it->second;
  };
  try {
    const DbTime from = ParseChartDate(job.from_text).value_or(job.now - std::chrono::hours(24));
    const DbTime to = ParseChartDate(job.to_text).value_or(job.now + std::chrono::hours(24));
    const Settings& settings = job.settings;
    const std::string& query = job.query;

    log(LogClass::Updates, "Connecting to database");
    const std::shared_ptr<Connection> db = OpenDatabase(settings.Database);

    log(LogClass::Updates, "Creating chart object");
    XYChart chart(settings.ChartX1, settings.ChartY1);
    DrawChartFrame(chart, settings.ChartX1, settings.ChartY1, settings.StartColor1,
                   settings.EndColor1, 50, 165);
    // The legend stands right of the plot, in the sans face of the axis labels (a serif face
    // at this size reads poorly on screen).
    chart.AddLegend(settings.ChartX1 - 110, 13, false, "arial.ttf", 7).SetBackground(kTransparent);
    const bool depth = job.submitted ? job.depth3d : settings.Chart3D1;
    LineLayer& layer = chart.AddLineLayer(depth ? 10 : 0);
    chart.YAxis().SetAutoScale(0.2);
    chart.XAxis().SetWidth(2);
    chart.YAxis().SetTitle("Temperature " + TempUnitText(settings.Range) + "   Humidity %");
    chart.YAxis().SetWidth(2);

    const std::string table = QuoteName(settings.Table);
    const std::string f0 = QuoteName(settings.Fields[0]);
    const std::string f1 = QuoteName(settings.Fields[1]);
    const std::string f2 = QuoteName(settings.Fields[2]);
    log(LogClass::Updates, "Fetching data");
    const std::shared_ptr<RecordSet> devices =
        db->Execute(ChartDevicesSql(settings.Table, settings.Fields[0], settings.Fields[1]));
    std::string html;
    std::string statistics_rows;
    size_t charted = 0;
    size_t total_last_indexes = 0;
    double x_low = std::numeric_limits<double>::infinity(), x_high = -x_low;
    for (devices->MoveFirst(); !devices->Eof(); devices->MoveNext()) {
      const Field id_field = devices->Item(1);
      if (id_field.IsNull()) continue;
      const std::string id = id_field.AsText();
      const bool selected =
          query.find("&" + id + "=") != std::string::npos || (!job.submitted && charted == 0);
      // Another program's series (rows of another bus name) has no device page here.
      const bool foreign = settings.DeviceIDByName && !job.bus_name.empty() &&
                           id.compare(0, job.bus_name.size() + 1, job.bus_name + " ") != 0;
      const std::string label =
          "<font size='1' face='Arial'>" + EscapeHtml(ShortName(id)) + "</font>";
      html +=
          "<input type=\"checkbox\" name=\"" + EscapeHtml(id) + "\" value=\"ON\"" +
          (selected ? "checked>" : ">") +
          (foreign ? label
                   : "<a href=\"1-Wire?ROMID=" + EscapeHtml(key_of(id)) + "\">" + label + "</a>") +
          "\r\n<br>";
      if (!selected) continue;

      // Time, identifier and value: the column order the statistics rows read.
      const std::shared_ptr<RecordSet> rows =
          db->Execute("SELECT " + f1 + ", " + f0 + ", " + f2 + " FROM " + table + " WHERE " + f0 +
                          " = $1 AND " + f1 + " >= $2 AND " + f1 + " <= $3 ORDER BY " + f1 + " ASC",
                      {DbValue(id), DbValue(from), DbValue(to)});
      if (KeyHoldsTemperatures(key_of(id))) ShowTemperatures(*rows, 2, settings);
      log(LogClass::CycleInfo, "Converting data for " + id);
      std::vector<double> x, y;
      for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext()) {
        const Field time = rows->Item(0);
        if (!std::holds_alternative<DbTime>(time.Value)) continue;
        const Field value = rows->Item(2);
        x.push_back(LocalDayNumber(std::get<DbTime>(time.Value)));
        y.push_back(value.IsNull() ? NAN : value.AsDouble());
      }
      statistics_rows += LoHiAvgRows(*rows, false, settings.SigFigs);
      log(LogClass::CycleInfo, "Adding data set for " + id);
      layer.AddDataSet(y, kAutoColour, id);
      log(LogClass::CycleInfo, "Setting scale for " + id);
      if (!x.empty()) {
        // The scale spans every device charted so far, not only the last one.
        x_low = std::min(x_low, x.front());
        x_high = std::max(x_high, x.back());
        chart.XAxis().SetLinearScale(x_low, x_high);
      }
      log(LogClass::CycleInfo, "Setting XData for " + id);
      layer.SetXData(x);
      const TimeLabels labels = ChartTimeLabels(x);
      log(LogClass::CycleInfo,
          "Adding labels for " + id + (labels.form.empty() ? "" : " (" + labels.form + ")"));
      for (const auto& [position, text] : labels.labels) chart.XAxis().AddLabel(position, text);
      ++charted;
      if (!x.empty()) total_last_indexes += x.size() - 1;
      if (between_devices) between_devices();
    }
    if (!std::isfinite(x_low)) {
      // Nothing to draw: the chart shows the range asked for.
      chart.XAxis().SetLinearScale(LocalDayNumber(from), LocalDayNumber(to));
    }

    html += "</td></tr><tr><td valign='top' align='right'>";
    html +=
        "From:<input type='text' name='From' size='15' value='" + ChartFormDate(from) + "'><br>";
    html += "To:<input type='text' name='To' size='15' value='" + ChartFormDate(to) + "'><br>";
    html += std::string("3D Graph<input type='checkbox' name='D3' value='ON'") +
            (query.find("D3") != std::string::npos ? "checked>" : ">");
    html += "<input type='submit' value='Submit' name='B1'>";

    log(LogClass::Updates, "Creating chart output - " + job.file_name);
    chart.MakeChart(job.folder / job.file_name);
    drawn.image_map = total_last_indexes <= kMaxMapPoints
                          ? chart.GetHTMLImageMap("", "", ChartTipAttributes(""))
                          : std::string();
    drawn.statistics_rows = std::move(statistics_rows);
    drawn.column = std::move(html);
  } catch (const std::exception& e) {
    drawn.column.clear();
    drawn.error = e.what();
    if (drawn.error.empty()) drawn.error = "unknown failure";
  }
  return drawn;
}

std::string FinishMainChart(const MainChartJob& job, MainChartDrawn& drawn) {
  for (const auto& [level, text] : drawn.log) WriteLog(level, kSource, text);
  if (drawn.column.empty()) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR (MainChart)",
             "The chart was not drawn: " + drawn.error);
    State() = MainChartState{};
    return {};
  }
  NoteChartFile(ChartPage::Charts, job.file_name);
  State().image_map = std::move(drawn.image_map);
  State().statistics_rows = std::move(drawn.statistics_rows);
  return std::move(drawn.column);
}

std::string MainChart(const std::string& from_text, const std::string& to_text, bool depth3d,
                      bool submitted, const std::string& query, const std::string& file_name) {
  MainChartJob job;
  try {
    DeleteOldCharts();
    // Copies: the settings may be applied anew while events run between devices.
    job = PrepareMainChart(from_text, to_text, depth3d, submitted, query, file_name);
  } catch (const std::exception& e) {
    MainChartDrawn failed;
    failed.error = e.what();
    return FinishMainChart(job, failed);
  }
  MainChartDrawn drawn = DrawMainChart(job, [] { Loop().DoEvents(); });
  return FinishMainChart(job, drawn);
}

}  // namespace qb
