#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host/device_table.h"

namespace qb {

// What GET /metrics answers, in the Prometheus text format (version 0.0.4): the plug-in's
// current readings with their ROM id and channel, every device's health counters, the read
// cycle's and the conversions' durations, the adapter's errors and recoveries, the database's
// rows written and failed, and the web requests answered by status. Runs on the plug-in's
// thread.
struct MetricsInputs {
  const DeviceTable* devices = nullptr;
  int64_t rows_written = 0;
  int64_t rows_failed = 0;
  std::map<int, int64_t> requests_by_status;
};
std::string MetricsText(const MetricsInputs& in);

// The content type of that text.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace qb
