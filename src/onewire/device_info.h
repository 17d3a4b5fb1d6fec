#pragma once

#include <string>

namespace qb {

// A plain-text description of a device, lines separated by line feeds: its type, family,
// alternate names and description; with `with_address` its ROM id and host code; its
// temperature resolution when selectable, and its power source. "Unsupported device" for a
// device the library has no container for.
std::string DeviceInfo(const std::string& rom, bool with_address);

}  // namespace qb
