#pragma once

#include <optional>
#include <string>

#include "platform/database.h"

namespace qb {

// A local date and time typed into the charts page's range: "06 Dec 2026 16:05" (as the form
// writes it), "Dec 06 2026 16:05:09", "2026-12-06 16:05" or "06/12/2026 16:05", the time optional
// (midnight). Nothing for any other text or a date that does not exist (31 Feb).
std::optional<DbTime> ParseChartDate(const std::string& text);

// "dd mmm yyyy hh:nn" in local time with English month names, as the form shows the range.
std::string ChartFormDate(DbTime when);

}  // namespace qb
