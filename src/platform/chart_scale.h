#pragma once

#include <vector>

namespace qb {

// The numeric scale of a chart axis: its ends and the values that get a tick, a label and a
// grid line.
struct AxisScale {
  double low = 0;
  double high = 1;
  std::vector<double> ticks;
};

// A scale for data from `min` to `max` with round tick steps (1, 2 or 5 times a power of ten) and
// at most `max_ticks` ticks. The range is widened by `top_extension` and `bottom_extension` (parts
// of the data's span) before rounding outwards to whole steps; when the smaller end is less than
// `zero_affinity` times the larger one (same sign) the scale starts at zero. A data set of one
// value gets a span of its own around it.
AxisScale AutoScale(double min, double max, double top_extension, double bottom_extension,
                    double zero_affinity, int max_ticks);

// Ticks at round steps inside a fixed range (low may be above high for a reversed axis).
AxisScale LinearScale(double low, double high, int max_ticks);

}  // namespace qb
