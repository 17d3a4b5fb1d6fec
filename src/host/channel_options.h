#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "host/device_table.h"

namespace qb {

// The plug-in's options of one channel that PATCH /api/devices/{ref} sets beside the name and
// location: "counter_total" (true or false) for a counter channel, "calibration" (two pairs of a
// raw and a true value, or null) for a measured channel.

// Whether the body names any of them.
bool HasChannelOptions(const nlohmann::json& body);
// What is wrong with them for this device (empty when they can be applied); checked before
// anything is changed, so a refused request changes nothing.
std::string ChannelOptionsProblem(const nlohmann::json& body, const DeviceRecord& device);
// Applies them; runs on the plug-in's thread.
void ApplyChannelOptions(const nlohmann::json& body, const DeviceRecord& device);
// The options a device has now, added to its JSON.
void AddChannelOptions(nlohmann::json& shown, const DeviceRecord& device);

}  // namespace qb
