#include "logging/chart_maker.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/log.h"
#include "core/plugin_state.h"
#include "logging/chart_files.h"
#include "logging/chart_frame.h"
#include "logging/chart_labels.h"
#include "platform/chart_canvas.h"
#include "registry/records.h"
#include "registry/value_text.h"

namespace qb {

namespace {

constexpr const char* kSource = "1-Wire (MakeChart)";

}  // namespace

std::string ChartTipAttributes(const std::string& unit) {
  return "onmouseover='setDIV(\"{x}\",\"{value}" + unit +
         "\", \"visible\");' onmouseout='setDIV(\"{x}\",\"{value}\", \"hidden\");' ";
}

bool CanvasChartBuilder::MakeChart(RecordSet& readings, int32_t value_column, int32_t time_column,
                                   const DSDevice& record, const std::string& title) {
  try {
    DeleteOldCharts();
    WriteLog(LogClass::CycleInfo, kSource, "Creating chart Object");
    const Settings& settings = Plugin().settings;
    XYChart chart(settings.ChartX, settings.ChartY);
    DrawChartFrame(chart, settings.ChartX, settings.ChartY, settings.StartColor, settings.EndColor,
                   60, 80);
    LineLayer& layer = chart.AddLineLayer(settings.Chart3D ? 10 : 0);
    chart.YAxis().SetAutoScale(0.2);
    chart.XAxis().SetWidth(2);
    chart.YAxis().SetTitle(title);
    chart.YAxis().SetWidth(2);

    WriteLog(LogClass::CycleInfo, kSource, "Converting Data");
    // The rows come newest first; the chart runs from the oldest on the left to the newest.
    std::vector<std::pair<double, double>> points;
    for (readings.MoveFirst(); !readings.Eof(); readings.MoveNext()) {
      const Field time = readings.Item(time_column);
      const Field value = readings.Item(value_column);
      if (!std::holds_alternative<DbTime>(time.Value)) continue;  // a row without a time
      points.emplace_back(LocalDayNumber(std::get<DbTime>(time.Value)),
                          value.IsNull() ? NAN : value.AsDouble());
    }
    readings.MoveFirst();
    if (points.empty()) return false;  // nothing logged today: no chart
    std::stable_sort(points.begin(), points.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<double> x, y;
    for (const auto& [px, py] : points) {
      x.push_back(px);
      y.push_back(py);
    }
    const size_t n = x.size() - 1;
    chart.XAxis().SetLinearScale(x[0], x[n]);
    layer.AddDataSet(y, kAutoColour, record.ROM);
    for (const auto& [position, text] : ChartTimeLabels(x).labels)
      chart.XAxis().AddLabel(position, text);
    layer.SetXData(x);

    const std::string file_name = NewChartFileName();
    WriteLog(LogClass::CycleInfo, kSource, "Creating chart output - " + file_name);
    chart.MakeChart(ChartFolder() / file_name);
    NoteChartFile(ChartPage::Device, file_name);
    last_file_ = file_name;
    last_map_ = n > kMaxMapPoints ? std::string()
                                  : chart.GetHTMLImageMap("", "", ChartTipAttributes(title));
    return true;
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR (MakeChart)",
             std::string("The chart of today's readings was not drawn: ") + e.what());
    last_map_.clear();
    return false;
  }
}

}  // namespace qb
