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

// A library time (milliseconds since 1970, no time zone) as an ISO 8601 date and time, to the
// millisecond when it has a fraction: "2026-12-07T13:50:00" or "1970-01-01T00:00:00.500".
std::string IsoDate(int64_t time_ms);

ToolValues ReadClockButton(access::OneWireContainer& c);    // 04
ToolValues ReadThermochron(access::OneWireContainer& c);    // 21
ToolValues ReadBatteryDS2760(access::OneWireContainer& c);  // 30

}  // namespace qb
