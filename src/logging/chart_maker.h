#pragma once

#include <string>

#include "logging/chart_builder.h"

namespace qb {

// The chart of one channel's readings of today, drawn on the chart canvas into the chart folder
// (settings "ChartX", "ChartY", "StartColor", "EndColor", "Chart3D"). The readings are drawn in
// time order whatever order the result set holds them in. An empty set draws no chart.
class CanvasChartBuilder : public ChartBuilder {
 public:
  bool MakeChart(RecordSet& readings, int32_t value_column, int32_t time_column,
                 const DSDevice& record, const std::string& title) override;
  std::string LastChartFile() const override { return last_file_; }
  std::string LastImageMap() const override { return last_map_; }

 private:
  std::string last_file_;
  std::string last_map_;
};

// The point tips of a chart's image map: each area shows its point's time and value (followed by
// `unit`) through the page script of TooltipScript.
std::string ChartTipAttributes(const std::string& unit);

// Image maps are left out of charts with more points than this (the page would grow too large).
inline constexpr size_t kMaxMapPoints = 1000;

}  // namespace qb
