#pragma once

#include <string>

namespace qb {

// The device list: one row per host device of the registry with its value, a link to its detail
// page, its part type, the time of its last change and buttons that command it.
std::string DeviceListPage();

}  // namespace qb
