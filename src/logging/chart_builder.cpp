#include "logging/chart_builder.h"

namespace qb {

namespace {

// Draws nothing until the chart images are built: the history then shows no chart cell.
class NoChartBuilder : public ChartBuilder {
 public:
  bool MakeChart(RecordSet&, int32_t, int32_t, const DSDevice&, const std::string&) override {
    return false;
  }
  std::string LastChartFile() const override { return {}; }
  std::string LastImageMap() const override { return {}; }
};

std::shared_ptr<ChartBuilder>& Installed() {
  static std::shared_ptr<ChartBuilder> builder = std::make_shared<NoChartBuilder>();
  return builder;
}

}  // namespace

std::shared_ptr<ChartBuilder> CurrentChartBuilder() {
  return Installed();
}

void InstallChartBuilder(std::shared_ptr<ChartBuilder> builder) {
  Installed() = builder ? std::move(builder) : std::make_shared<NoChartBuilder>();
}

}  // namespace qb
