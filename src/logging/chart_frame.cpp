#include "logging/chart_frame.h"

#include "registry/value_text.h"

namespace qb {

void DrawChartFrame(XYChart& chart, int width, int height, int32_t start_colour, int32_t end_colour,
                    int plot_left, int plot_trim) {
  chart.SetBackground(
      chart.GradientColor(0, 0, width, height, SwapRedBlue(start_colour), SwapRedBlue(end_colour)),
      -1, 2);
  chart.SetPlotArea(plot_left, 20, width - plot_trim, height - 50, 0xffffff, 0xffffff, 0xc0c0c0,
                    0xc0c0c0);
}

}  // namespace qb
