#pragma once

#include <nlohmann/json.hpp>

#include "host/device_table.h"

namespace qb {

// The place along the cable of the 1-Wire device behind a host device of the plug-in, as the
// chain scan found it (1 the first): every host device of that 1-Wire device shows it. Null when
// it is not known (the chain scan is off, did not reach the device, or the device has no chain
// mode) and for a device of another interface. Runs on the plug-in's thread.
nlohmann::json ChainPositionJson(const DeviceRecord& device);

}  // namespace qb
