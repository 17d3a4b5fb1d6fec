#include "platform/chart_scale.h"

#include <algorithm>
#include <cmath>

namespace qb {

namespace {

// The smallest round step (1, 2 or 5 times a power of ten) that splits `span` into at most
// `max_ticks` parts.
double RoundStep(double span, int max_ticks) {
  const double raw = span / std::max(1, max_ticks);
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

std::vector<double> TicksBetween(double low, double high, double step) {
  std::vector<double> ticks;
  const double first = std::ceil(low / step - 1e-9) * step;
  for (double t = first; t <= high + step * 1e-9; t += step) {
    ticks.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
    if (ticks.size() > 1000) break;
  }
  return ticks;
}

}  // namespace

AxisScale AutoScale(double min, double max, double top_extension, double bottom_extension,
                    double zero_affinity, int max_ticks) {
  if (!std::isfinite(min) || !std::isfinite(max) || min > max) {
    min = 0;
    max = 1;
  }
  double low = min;
  double high = max;
  if (high - low <= 0) {
    // One value (or all equal): a span around it, a tenth of its size or 1.
    const double half = std::max(std::abs(low) * 0.1, 0.5);
    low -= half;
    high += half;
  } else {
    const double span = high - low;
    high += span * top_extension;
    low -= span * bottom_extension;
    // Data that starts near zero, relative to its size, is drawn from zero.
    if (min >= 0 && low < 0) low = 0;
    if (min > 0 && min < zero_affinity * max) low = 0;
    if (max < 0 && max > zero_affinity * min) high = 0;
  }
  const double step = RoundStep(high - low, max_ticks);
  AxisScale scale;
  scale.low = std::floor(low / step + 1e-9) * step;
  scale.high = std::ceil(high / step - 1e-9) * step;
  scale.ticks = TicksBetween(scale.low, scale.high, step);
  return scale;
}

AxisScale LinearScale(double low, double high, int max_ticks) {
  AxisScale scale;
  scale.low = low;
  scale.high = high;
  const double a = std::min(low, high);
  const double b = std::max(low, high);
  if (!(b > a) || !std::isfinite(a) || !std::isfinite(b)) return scale;
  scale.ticks = TicksBetween(a, b, RoundStep(b - a, max_ticks));
  return scale;
}

}  // namespace qb
