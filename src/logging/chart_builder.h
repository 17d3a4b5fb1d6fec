#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/database.h"

namespace qb {

struct DSDevice;

// Draws the chart of one channel's readings of today for the history block of the device page.
class ChartBuilder {
 public:
  virtual ~ChartBuilder() = default;
  // Draws the readings of `readings` (one device's rows of today, newest first) with the value
  // and the time taken from the given column positions; `record`'s ROM names the data set and
  // `title` (the unit text) labels the y axis and follows each value in the point tips. True when
  // the chart file was written.
  virtual bool MakeChart(RecordSet& readings, int32_t value_column, int32_t time_column,
                         const DSDevice& record, const std::string& title) = 0;
  // The file name (in the chart folder) of the last chart drawn.
  virtual std::string LastChartFile() const = 0;
  // The image-map areas of the last chart; empty when it has none.
  virtual std::string LastImageMap() const = 0;
};

// The chart builder the history uses: a placeholder that draws nothing and reports false until
// the real builder is installed.
std::shared_ptr<ChartBuilder> CurrentChartBuilder();
// Installs the builder (null puts the placeholder back).
void InstallChartBuilder(std::shared_ptr<ChartBuilder> builder);

}  // namespace qb
