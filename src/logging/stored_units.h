#pragma once

#include <cstdint>
#include <string>

#include "platform/database.h"

namespace qb {

struct Settings;

// Temperatures are logged in °C whatever the scale the pages show, so that a series keeps one
// unit when the scale is switched. The history and the charts show them in the scale set now.

// Whether the rows logged under this identifier (or channel key) are temperatures: a key ending
// in "M", a name that belongs to such a key, or the ROM id of a device whose only measurement is
// its temperature (rows named by ROM id mix all channels of a device, so a thermometer that
// also measures voltages cannot be told apart and is shown as stored).
bool HoldsTemperatures(const std::string& identifier);
// The same for a channel key or ROM id already resolved from a name (any thread).
bool KeyHoldsTemperatures(const std::string& key);

// A stored °C value in the scale set now, rounded to the configured decimals.
double ShownTemperature(double celsius);

// The value column of readings of a temperature, in the scale set now (unchanged in °C).
void ShowTemperatures(RecordSet& readings, int32_t value_column);
// The same in the scale and decimals of `settings` (any thread).
void ShowTemperatures(RecordSet& readings, int32_t value_column, const Settings& settings);

}  // namespace qb
