#pragma once

#include <string>

namespace qb {

// The maintenance view: every record of every physical device, unfiltered, with the raw fields
// the device list hides (host code, device key, database flag, capability bits). Changes nothing.
std::string DebugPage();

}  // namespace qb
