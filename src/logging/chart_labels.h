#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qb {

// Labels of a time axis whose values are day numbers (days from 30 December 1899) in time order.
// With n the index of the last point:
// - n below 4: a time label ("hh:nn") at the first point and, when there is one, at the second;
// - a span below one day: time labels at every (n / 3)-th point;
// - a span above two days: date labels ("dd/mm/yyyy") at every (n / 4)-th point;
// - otherwise date-time labels ("dd/mm/yyyy hh:nn") at every (n / 2)-th point;
// each series starting at the first point.
struct TimeLabels {
  std::vector<std::pair<double, std::string>> labels;
  std::string form;  // "<1", ">2" or "2" (the span's rule), empty for fewer than five points
};
TimeLabels ChartTimeLabels(const std::vector<double>& x);

// The label texts of a day number (local date and time).
std::string TimeLabel(double day_number);
std::string DateLabel(double day_number);

}  // namespace qb
