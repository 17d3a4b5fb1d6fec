#pragma once

#include <string>

namespace qb {

// The chart of the charts page: the readings of the ticked devices between `from` and `to`
// (date texts; one that cannot be read stands for one day before, or after, now), drawn into
// `file_name` of the chart folder (settings "ChartX1", "ChartY1", "StartColor1", "EndColor1",
// "Chart3D1"). `query` is the page's link (with "+" turned into blanks): a device is charted when
// it holds "&" + the device's id + "=", or, on a page not yet submitted, the device logged first.
// `depth3d` and `submitted` are whether the query holds "D3" and "B1".
//
// Returns the HTML of the page's right-hand column (a check box per logged device and the
// time-range form), or an empty text when the chart could not be made. Leaves the image map and
// the statistics rows of the charted devices for the page (below). Lets waiting events run
// between devices; everything it holds across them is its own.
std::string MainChart(const std::string& from, const std::string& to, bool depth3d, bool submitted,
                      const std::string& query, const std::string& file_name);

// The query of the devices the charts page offers: each logged identifier with its first and
// last time ("First", the identifier, "Last"), oldest first. It walks the readings table's index
// on (identifier, time) from one identifier to the next, a few index lookups per device, instead
// of reading every row of a table that may hold millions.
std::string ChartDevicesSql(const std::string& table, const std::string& id_column,
                            const std::string& time_column);

// The image map of the last MainChart chart (empty above 1000 points or after a failure).
std::string MainChartImageMap();
// The low/high/average rows of the devices the last MainChart charted.
std::string MainChartStatisticsRows();

}  // namespace qb
