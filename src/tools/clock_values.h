#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "access/container.h"

namespace qb {

// What `quellbrook-bus read` prints for the clock and battery families, as key=value pairs with
// the keys of the bus file where there is one.
using ToolValues = std::vector<std::pair<std::string, std::string>>;

// A measured value as the tool prints it: to six decimals at most, trailing zeros dropped, so
// that the noise of the unit conversions (0.049999999999999996 for 0.05) never shows. Six
// decimals are finer than any device's own step (the DS2450's 16-bit step is 39 uV).
std::string ToolNumber(double value);

// A library time (milliseconds since 1970, no time zone) as an ISO 8601 date and time, to the
// millisecond when it has a fraction: "2026-12-07T13:50:00" or "1970-01-01T00:00:00.500".
std::string IsoDate(int64_t time_ms);

ToolValues ReadClockButton(access::OneWireContainer& c);    // 04
ToolValues ReadThermochron(access::OneWireContainer& c);    // 21
ToolValues ReadBatteryDS2760(access::OneWireContainer& c);  // 30

}  // namespace qb
