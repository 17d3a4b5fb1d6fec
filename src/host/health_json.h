#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "host/device_table.h"

namespace qb {

// The bus health of the 1-Wire device behind a host device of the plug-in, as the JSON API and
// the MQTT attributes show it: {"since_start": {...}, "last_24h": {...}, "failed_percent_24h",
// "last_seen"}. Null for a device of another interface. Runs on the plug-in's thread.
nlohmann::json DeviceHealthJson(const DeviceRecord& device);
// The sums over the whole bus with the adapter's errors and recoveries, and every device's
// figures by ROM id.
nlohmann::json BusHealthJson();

}  // namespace qb
