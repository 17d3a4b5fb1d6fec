#pragma once

#include <string>

#include "platform/database.h"

namespace qb {

struct DSDevice;
class DatabaseLogging;

// The history block of the device page: today's low, high and average, today's readings newest
// first coloured against the alarm thresholds of `database`, and the chart of the same readings.
// `unit` heads the value column and titles the chart. Errors become "<p>ERROR:<br>...</p>"
// paragraphs (debug level above 0) and the block still closes its tables.
std::string TodaysHistory(DatabaseLogging& database, const DSDevice& record,
                          const std::string& unit);
// The same on the process's readings database.
std::string TodaysHistory(const DSDevice& record, const std::string& unit);

// The low/high/average rows of a result set whose columns are (date and time, identifier,
// reading): three rows with the times when `with_times`, else one row that starts with the
// identifier. Empty for an empty set. Leaves the set at its first row.
std::string LoHiAvgRows(RecordSet& readings, bool with_times);
// The same with values to `sig_figs` decimals, without letting events run between rows (any
// thread).
std::string LoHiAvgRows(RecordSet& readings, bool with_times, int sig_figs);

}  // namespace qb
