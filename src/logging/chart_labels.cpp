#include "logging/chart_labels.h"

#include <algorithm>

#include "platform/chart_canvas.h"
#include "registry/value_text.h"

namespace qb {

std::string TimeLabel(double day_number) {
  const DayParts p = FromDayNumber(day_number);
  return PadTwo(std::to_string(p.hour)) + ":" + PadTwo(std::to_string(p.minute));
}

std::string DateLabel(double day_number) {
  const DayParts p = FromDayNumber(day_number);
  return PadTwo(std::to_string(p.day)) + "/" + PadTwo(std::to_string(p.month)) + "/" +
         std::to_string(p.year);
}

TimeLabels ChartTimeLabels(const std::vector<double>& x) {
  TimeLabels out;
  if (x.empty()) return out;
  const size_t n = x.size() - 1;
  if (n < 4) {
    out.labels.emplace_back(x[0], TimeLabel(x[0]));
    if (n >= 1) out.labels.emplace_back(x[1], TimeLabel(x[1]));
    return out;
  }
  const double span = x[n] - x[0];
  size_t step;
  std::string (*text)(double);
  if (span < 1) {
    out.form = "<1";
    step = n / 3;
    text = TimeLabel;
  } else if (span > 2) {
    out.form = ">2";
    step = n / 4;
    text = DateLabel;
  } else {
    out.form = "2";
    step = n / 2;
    text = [](double d) { return DateLabel(d) + " " + TimeLabel(d); };
  }
  // Five or more points give a step of at least one; kept so by construction, so that no
  // spacing of readings can make the walk stand still.
  step = std::max<size_t>(step, 1);
  for (size_t i = 0; i <= n; i += step) out.labels.emplace_back(x[i], text(x[i]));
  return out;
}

}  // namespace qb
