#pragma once

#include <cstdint>

#include "platform/chart_canvas.h"

namespace qb {

// The frame both charts are drawn in: a chart of `width` by `height` pixels whose background
// runs from `start_colour` to `end_colour` (colours as the settings store them, red in the low
// byte), and a white plot area with grey grid lines `plot_left` pixels from the left and 20
// from the top, `width - plot_trim` pixels wide and `height - 50` high.
void DrawChartFrame(XYChart& chart, int width, int height, int32_t start_colour, int32_t end_colour,
                    int plot_left, int plot_trim);

}  // namespace qb
