#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "platform/database.h"

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

// The same chart in three steps, so that the database is read and the chart drawn away from the
// plug-in thread: PrepareMainChart copies what the chart needs of the plug-in (plug-in thread),
// DrawMainChart reads the database on a connection of its own and draws (any thread, touching
// nothing of the plug-in), and FinishMainChart writes its log lines and hands the image map and
// statistics rows to the page (plug-in thread). MainChart is the three in a row.
struct MainChartJob {
  std::string from_text, to_text;
  bool depth3d = false;
  bool submitted = false;
  std::string query;
  std::string file_name;
  DbTime now{};
  Settings settings;
  std::filesystem::path folder;  // where the chart file is written
  // Device names as the logged rows may hold them ("Location Name", after this program's bus name
  // when it has one) and the key each stands for.
  std::map<std::string, std::string> keys_by_name;
  // This program's bus name; rows named by name under another bus name are another program's.
  std::string bus_name;
};
struct MainChartDrawn {
  std::string column;  // the page's right-hand column; empty when the chart failed
  std::string image_map;
  std::string statistics_rows;
  std::vector<std::pair<LogClass, std::string>> log;  // lines of the drawing, in order
  std::string error;                                  // why the chart failed
};
MainChartJob PrepareMainChart(const std::string& from, const std::string& to, bool depth3d,
                              bool submitted, const std::string& query,
                              const std::string& file_name);
// `between_devices` runs after each charted device.
MainChartDrawn DrawMainChart(const MainChartJob& job,
                             const std::function<void()>& between_devices = {});
std::string FinishMainChart(const MainChartJob& job, MainChartDrawn& drawn);

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
